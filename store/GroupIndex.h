#pragma once
// The group index "newsrc.ini" and the article files of each group.
//
// Nothing is held in memory: every call reads or writes the files at that
// moment, so a change made by the feed, a reader session, the expire run or
// the groups page is seen by all the others at once. A GroupIndex object
// only remembers the news directory, so it is cheap to make one per call.
// Work over the whole list (LIST, NEWGROUPS, expire, start-up) reads the
// index once, as a GroupTable.
//
// A group exists when its section has an "AddDate" (not beginning with
// "!"): a section without one is left over from a group being added or
// deleted, and is no group for any reader, nor a reason to refuse adding
// it. Group names are tested with IsSafeGroupName before they touch a path;
// calls with an unsafe name fail as if the group did not exist.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace store {

struct GroupInfo {
    long low = 0;
    long high = 0;
    bool allowPost = false;  // "AllowPost" begins with "Y"
    bool local = false;      // "Local" begins with "Y"
};

// One group as the index holds it.
struct GroupEntry {
    std::string name;  // as the list spells it
    GroupInfo info;
    std::string addDate;  // "AddDate" and "AddTime" as stored (" " when missing)
    std::string addTime;
    std::string description;  // as GetDescription gives it
};

// The listed groups that exist, read from the index in one go: in list
// order, each once (a name listed again, in any letter case, counts once),
// found by name without regard to case.
class GroupTable {
public:
    const std::vector<GroupEntry>& Groups() const { return groups_; }
    const GroupEntry* Find(std::string_view name) const;

private:
    friend class GroupIndex;
    std::vector<GroupEntry> groups_;
    std::unordered_map<std::string, std::size_t> byName_;  // lower-case name -> position
};

enum class ArticleStatus {
    kFound,          // contentPath holds the index file's line
    kNoSuchArticle,  // no index file of that number (or a number out of range)
    kUnreadable,     // the index file exists but cannot be read or is empty
};

struct ArticleLookup {
    ArticleStatus status = ArticleStatus::kNoSuchArticle;
    std::string contentPath;
};

class GroupIndex {
public:
    // newsDir ends with "/" (as Setup returns it).
    explicit GroupIndex(std::string newsDir);

    const std::string& NewsDirectory() const { return newsDir_; }
    // The news directory followed by "newsrc.ini".
    const std::string& IndexPath() const { return indexPath_; }

    // ---- the list of groups and their sections

    // "Groups"/"G00001".."G%05d" of "Total", in index order; missing and
    // empty entries are skipped.
    std::vector<std::string> ListGroups() const;
    // The whole index, read once.
    GroupTable ReadTable() const;
    // True when the group's section has an "AddDate". Section names match
    // without regard to case, so "Comp.Lang.C" exists when "comp.lang.c"
    // does.
    bool GroupExists(std::string_view group) const;
    // "AddDate" and "AddTime" joined: what tells one life of a group name
    // from the next (a group deleted and added again). Empty when the group
    // does not exist.
    std::string Identity(std::string_view group) const;
    // Low, High and the two flags; nullopt when the group does not exist.
    // Missing numbers read as 0, missing flags as "No".
    std::optional<GroupInfo> ReadGroup(std::string_view group) const;

    // Adds a new group: its section ("Local", "AllowPost", "Low" = 1,
    // "High" = 1, "addtime", "Adddate") and its list entry, in one rewrite of
    // the index. What a section without "AddDate" held is dropped. Refuses
    // (false) a name that NewGroupNameProblem rejects and a group that
    // already exists: writing "High" = 1 over a living group would give its
    // numbers out again. Also false when the index cannot be written. Does
    // not make the group directory (see MakeGroupDirectory).
    bool CreateGroup(std::string_view group, bool local, bool allowPost);

    // The group's description for LIST NEWSGROUPS ("Description"; empty
    // when it has none), and setting it (one line; CR, LF and TAB become
    // blanks). SetDescription is false for an unknown group or a failed write.
    std::string GetDescription(std::string_view group) const;
    bool SetDescription(std::string_view group, std::string_view text);

    // Makes the group directory; true when it exists afterwards.
    bool MakeGroupDirectory(std::string_view group) const;

    // Writes "High" only when it raises it: High never decreases. false for
    // an unknown group or a failed write.
    bool SetHigh(std::string_view group, long high);
    // Writes "Low" (the expire run's business). false for an unknown group
    // or a failed write.
    bool SetLow(std::string_view group, long low);
    // Writes the "Low" of several groups in one rewrite, each only while the
    // group still has the identity given (see Identity): a group deleted,
    // or deleted and added again, since its Low was found keeps its own.
    struct LowUpdate {
        std::string group;
        std::string identity;
        long low = 0;
    };
    bool SetLows(const std::vector<LowUpdate>& updates);
    // Raises the "High" of several groups in one rewrite, as SetHigh does
    // one by one: never lowered, never written into a group that does not
    // exist. false when the rewrite failed.
    bool RaiseHighs(const std::vector<std::pair<std::string, long>>& highs);

    // Drops every list entry equal to the name (exact comparison) and the
    // group's section, in one rewrite of the index: the other groups keep
    // their order. Article files are not touched. false when the write
    // failed (nothing changed then).
    bool RemoveGroup(std::string_view group);

    // ---- articles

    // The group directory's article numbers ("NEWS" + ten digits), in
    // ascending order; nullopt when the directory cannot be read.
    std::optional<std::vector<long>> ListArticles(std::string_view group) const;
    // An article exists exactly when its index file exists, whether or not
    // its content file does.
    bool ArticleExists(std::string_view group, long number) const;
    // The content file path from the index file's one line.
    ArticleLookup ResolveArticle(std::string_view group, long number) const;
    // Path of the index file of a number; nullopt for an unsafe group name
    // or a number out of range.
    std::optional<std::string> IndexFilePath(std::string_view group, long number) const;
    // Path a fetched article with this message-id is stored under (the id
    // without angle brackets, through SafeArticleName); nullopt when either
    // name is unusable.
    std::optional<std::string> ContentPathFor(std::string_view group,
                                              std::string_view messageId) const;

    // The number the next new article of the group takes: High + 1 (or
    // above, when the caller knows of numbers given out since High was last
    // written), moved on past any index file that already exists, so no
    // number is given out twice: the index files, not High, say which
    // numbers are taken. Does not write anything; nullopt for an unknown
    // group or when the numbers are used up.
    std::optional<long> NextArticleNumber(std::string_view group, long given = 0) const;
    // Creates the index file of a number with the content path as its one
    // line (CR LF). Refuses (false) to replace an existing index file.
    bool WriteArticleIndex(std::string_view group, long number, std::string_view contentPath);

private:
    std::string newsDir_;
    std::string indexPath_;
};

// Raises "High" of every listed group whose directory holds index files
// above it, to the highest of them. The feed writes High only when it
// finishes a group, so a process killed in the middle of one leaves
// articles that readers and the expire run, going by High, would never
// reach. Run at start, before any session. Returns the groups raised with
// their new High.
std::vector<std::pair<std::string, long>> RaiseHighsToArticles(const std::string& newsDir);

// Local date and time in the group index's formats: "%04d%02d%02d" and
// "%02d%02d%02d".
std::string IndexDateNow();
std::string IndexTimeNow();

}  // namespace store
