#pragma once
// The subscription file and the all-groups file in the news directory.
//
// The subscription file holds one record per subscribed group:
//
//     Y0000000140 comp.lang.c<CR><LF>
//     ^^         ^
//     |number    blank, then the group name
//     flag
//
// The ten-character number field is either "*" and nine digits (a new group
// that is to receive its last N articles) or ten digits: the upstream number
// of the last article the fetch positioned on (0: never fetched, so every
// article the upstream has). The fetch reads records by byte offset and
// overwrites only the number field in place, so the layout up to the group
// name is fixed-width. A record of 15 characters or fewer (an empty line, a
// group name under 4 characters, the end of the file) ends the fetch's walk.
//
// The all-groups file is the upstream's LIST reply as received: the status
// line, one "name last first flag" line per group, the "." line, and the
// reply to QUIT. Its readers skip the first line and stop at the first line
// shorter than 5 characters.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Setup;

namespace store {

// Longest group name a record may carry: the store's limit on group names
// (what the reader's buffers and the group page hold). Longer records are
// skipped, not cut: a cut name would fetch the wrong group.
inline constexpr std::size_t kMaxSubscribedGroupName = 249;

struct SubscriptionRecord {
    long offset = 0;  // byte offset of the record's flag character
    long next = 0;    // byte offset of the record after it
    std::string group;
    // The last upstream number handled, or -N for "the last N articles".
    long start = 0;
};

enum class RecordStatus {
    Ok,        // record holds a usable group
    End,       // end of the file, or a record of 15 characters or fewer
    Unusable,  // too long, garbled number field or unsafe name: skip to next
};

struct RecordRead {
    RecordStatus status = RecordStatus::End;
    SubscriptionRecord record;  // offset and next are set for Ok and Unusable
    std::string problem;        // for Unusable: why, for the log
};

// Reads the record that begins at offset. A record ends at CR LF, and also
// at a lone CR or LF (a file edited by hand).
RecordRead ReadSubscriptionRecord(const std::string& path, long offset);

// Overwrites the number field of the record at recordOffset with lastSeen as
// ten digits. Refuses (false) when the file cannot be opened, when the bytes
// there no longer look like a record's number field (the file changed under
// us), or when the number does not fit.
bool WriteSubscriptionNumber(const std::string& path, long recordOffset, long lastSeen);

// The record line for a new subscription: "Y*%09d " for retrieve > 0 (the
// last N articles), else "Y0000000000 ", then the name and CR LF.
std::string SubscriptionLine(std::string_view group, long retrieve);

// Appends a record (the file is created when missing). false when the name
// cannot be a record or the file cannot be written.
bool AppendSubscription(const std::string& path, std::string_view group, long retrieve);

// Rewrites the file without the records of group (names compared without
// regard to case when ignoreCase, else exactly). Every other line is kept in
// its order, short ones included, with CR LF line ends. The new file is
// written beside the old one and renamed over it. A missing file counts as
// empty. false when the rewrite failed; the old file is then unchanged.
bool RemoveSubscription(const std::string& path, std::string_view group, bool ignoreCase = true);

// The group names of the records, in file order, up to the first line
// shorter than 5 characters (the page's reading).
std::vector<std::string> SubscribedGroups(const std::string& path);

// A group's category: the text before its first "." or blank.
std::string StripToPeriod(std::string_view text);
// The group name of an all-groups line: the text before its first blank.
std::string StripToSpace(std::string_view text);

// The subscription page's operations without a window. Paths are the news
// directory (ending in "/") and the two file names from "Newsfeed01".
class SubscriptionPage {
public:
    enum class Change { Done, Locked, BadName, Failed };

    static constexpr std::string_view kNoGroupFileSetting =
        "Group file does not yet exist. \rAfter completing the server information,\r"
        "run a 'Refresh Newsgroups' event before subscribing to groups.\r";
    static constexpr std::string_view kNoGroupFile =
        "Group file does not exist. \rYou must run a 'Refresh Newsgroups' event before "
        "subscribing to groups.\r";
    static constexpr std::string_view kFileTitle = "File not available";
    static constexpr std::string_view kLocked =
        "Modification are not allowed while a server session is in progress.";
    static constexpr std::string_view kLockedTitle = "Operation Unsuccessful";
    static constexpr std::string_view kNotFound = "Group not found";
    static constexpr std::string_view kNotFoundTitle = "Program Information";

    SubscriptionPage(std::string newsDir, std::string allGroupFile, std::string subGroupFile);
    // The page over the files the main settings name, read as the page
    // reads them: the news directory "admin"/"Newspath" (a "/" added when
    // missing) and "Newsfeed01"/"allgroupfile" and "subgroupfile", each "?"
    // when not set.
    static SubscriptionPage FromSetup(const Setup& setup);

    // MsgLoadCat: the categories of the all-groups file, sorted, each once
    // (compared without regard to case). nullopt: the file name is not
    // configured ("?") or the file cannot be read; the caller shows
    // kNoGroupFileSetting or kNoGroupFile. Reads the whole file at once; a
    // front-end that must stay responsive runs a GroupListScan instead.
    std::optional<std::vector<std::string>> MsgLoadCat() const;
    bool GroupFileConfigured() const;

    // CategoryClick: the subscribed and unsubscribed groups of a category
    // (category compared exactly), each list sorted. Reads the whole file
    // at once, as MsgLoadCat.
    struct CategoryGroups {
        std::vector<std::string> subscribed;
        std::vector<std::string> unsubscribed;
    };
    CategoryGroups CategoryClick(std::string_view category) const;

    // UnsubClick subscribes a group; retrieve is the page's Retrieve text
    // ("all" or anything not starting with digits: everything). SubClick
    // unsubscribes (names compared without regard to case). Both refuse
    // while the lock file exists.
    Change UnsubClick(std::string_view group, std::string_view retrieve) const;
    Change SubClick(std::string_view group) const;

    // CmSearch: the index of the first entry after `after` (-1: from the
    // start) that contains needle (case-sensitive); nullopt: kNotFound. Does
    // not wrap around.
    static std::optional<std::size_t> CmSearch(const std::vector<std::string>& entries, long after,
                                               std::string_view needle);

    bool FeedSessionRunning() const;
    std::string AllGroupsPath() const { return newsDir_ + allGroupFile_; }
    std::string SubscriptionPath() const { return newsDir_ + subGroupFile_; }

private:
    std::string newsDir_;
    std::string allGroupFile_;
    std::string subGroupFile_;
};

// The newsfeed page's "Server Information": "Newsfeed01"/"name" and "port"
// as the page reads them (each "?" when not set) and writes them.
struct FeedServer {
    std::string name;  // up to 255 characters
    std::string port;  // up to 5
};
FeedServer ReadFeedServer(const Setup& setup);
// false when the settings file could not be written.
bool WriteFeedServer(const Setup& setup, const FeedServer& server);

// The newsfeed page's loads of the all-groups file, a slice of lines at a
// time: its categories, the groups of one category, or the groups a search
// finds. An upstream's list
// has 100,000 lines and more; a front-end runs one Step between the loop's
// other work, so readers are served while the page fills. Names are kept in
// hash sets, so a load takes time in proportion to the file.
class GroupListScan {
public:
    enum class Status {
        Running,        // more lines to read
        Done,           // the lists are complete
        NotConfigured,  // no "AllGroupFile" setting: show kNoGroupFileSetting
        Unreadable,     // the all-groups file cannot be read: show kNoGroupFile
    };

    // The categories: the text before each line's first "." or blank, each
    // once (compared without regard to case, the first spelling kept).
    static GroupListScan Categories(const SubscriptionPage& page);
    // One category's groups (its name compared exactly): the subscribed ones,
    // read at once from the subscription file, and the all-groups file's
    // others, each once (compared without regard to case). A missing
    // all-groups file leaves only the subscribed ones.
    static GroupListScan Category(const SubscriptionPage& page, std::string_view category);
    // Every unsubscribed group whose name contains needle (with regard to
    // case, as the page's search compares), in Unsubscribed(); each once.
    static GroupListScan Search(const SubscriptionPage& page, std::string_view needle);

    GroupListScan(GroupListScan&&) noexcept;
    GroupListScan& operator=(GroupListScan&&) noexcept;
    ~GroupListScan();

    // Reads up to maxLines more lines; when the file is done the lists are
    // sorted without regard to case.
    Status Step(std::size_t maxLines);
    // Reads the rest at once.
    Status Finish();
    Status GetStatus() const { return status_; }
    std::size_t LinesRead() const { return lines_; }

    // Complete once the status is Done.
    const std::vector<std::string>& CategoryList() const { return categories_; }
    const std::vector<std::string>& Subscribed() const { return subscribed_; }
    const std::vector<std::string>& Unsubscribed() const { return unsubscribed_; }

private:
    enum class Kind { Categories, Category, Search };
    GroupListScan(Kind kind, std::string category);
    void Open(const SubscriptionPage& page);
    void Take(std::string_view line);
    void Complete();

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    Kind kind_;
    std::string category_;  // or the needle of a search
    Status status_ = Status::Running;
    std::unique_ptr<std::FILE, Closer> file_;
    std::size_t lines_ = 0;
    std::vector<std::string> categories_;
    std::vector<std::string> subscribed_;
    std::vector<std::string> unsubscribed_;
    struct Seen;
    std::unique_ptr<Seen> seen_;  // lower-case names already listed
};

}  // namespace store
