#pragma once
// Overview lines and article-number listings of group directories, kept in
// memory so that a full XOVER does not open and parse every article file.
//
// The files stay the truth: nothing is served that a change to the files
// could have made wrong. Each cached group directory is watched (inotify);
// before every batch the pending change reports are read, and a report
// about a file drops what was made from it (a created, removed or renamed
// entry also drops the listing). Reports are made by the kernel as part of
// the change itself, so a stored, posted or expired article is seen at once.
//
// Where no report would come, the files' identities are compared instead
// (device, inode, size, modification and change times): content files
// outside the group directory, files with more than one name, symbolic
// links, and every file when watching is not possible. File times have a
// coarse clock, so such a file is kept only once its times lie well before
// the moment it was read ("settled"); a later change carries a later time.
//
// The server owns one instance and hands it to every reader session on the
// core's thread; it is not meant for use from several threads. Memory is bounded: past
// the byte limit the least recently used groups are dropped, and a group
// that alone would exceed it keeps the lines of its newest articles: older
// lines make room for newer ones, never the other way round.
//
// Below the memory sits the group directory's overview file: a line not
// held is taken from a record there while the two files it was made from
// are unchanged, and a line made from the files is appended to it, so the
// file is rebuilt in steps as readers read when it is missing or damaged.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/OverviewFile.h"

class ArticleFile;

// An XOVER line after its number and TAB: Subject, From, Date, Message-ID,
// References, the content file's size and Lines (the header's value, or the
// counted body lines), TAB-separated, TABs inside values as blanks, then a
// TAB and CR LF. A header named twice gives its last value.
std::string OverviewFields(const ArticleFile& f);

// Adds the overview record of an article just stored to its group
// directory's overview file, so that no reader has to open the article for
// its line. false when it could not be made or written: the line is then
// made from the files when first asked for.
bool RecordOverview(const std::string& groupDir, long number);

class OverviewCache {
public:
    static constexpr std::size_t kDefaultByteLimit = 64u * 1024 * 1024;
    // A file is settled when its modification and change times lie more than
    // this many seconds before the moment it is read.
    static constexpr std::time_t kSettleSeconds = 2;

    explicit OverviewCache(std::size_t byteLimit = kDefaultByteLimit);
    ~OverviewCache();
    OverviewCache(const OverviewCache&) = delete;
    OverviewCache& operator=(const OverviewCache&) = delete;

    // The article numbers of a group directory (index files "NEWS" + ten
    // digits, ascending); nullptr when the directory cannot be read.
    std::shared_ptr<const std::vector<long>> Numbers(const std::string& groupDir);

    // Appends the XOVER line of article `number` of the group directory
    // ("number TAB Subject TAB From TAB Date TAB Message-ID TAB References
    // TAB bytes TAB Lines CR LF", TABs inside values as blanks). false, with
    // nothing appended, when the article has no index file, its index file
    // names no path, or its content file is missing or incomplete.
    bool AppendOverview(const std::string& groupDir, long number, std::string& out);
    // The lines of numbers[from...] until at least maxBytes were appended or
    // the numbers run out; returns the index of the first number not done.
    std::size_t AppendOverviews(const std::string& groupDir, const std::vector<long>& numbers,
                                std::size_t from, std::size_t maxBytes, std::string& out);

    // The content file path that article `number`'s index file names, when
    // a watched line of it is held (nothing changed since it was read);
    // empty otherwise: then read the index file.
    std::string KnownContentPath(const std::string& groupDir, long number);

    // Forgets everything.
    void Clear();
    // Test hook: behave as if the kernel offered no change reports.
    void DisableWatching() { watchFd_ = -2; }

    // The clock the settle rule compares file times with (tests move it).
    void SetClock(std::function<std::time_t()> now) { now_ = std::move(now); }

    // Counters for tests and benchmarks.
    std::uint64_t Hits() const { return hits_; }
    std::uint64_t Misses() const { return misses_; }
    std::size_t Bytes() const { return bytes_; }

private:
    struct FileId {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime{};
        timespec ctime{};
        bool operator==(const FileId& o) const;
    };
    struct Ids {
        FileId index;
        FileId content;
    };
    struct Entry {
        std::string fields;  // everything after the number and its TAB
        // Watched: the content file's name in the group directory; else its
        // path, with the two files' identities in ids.
        std::string file;
        std::unique_ptr<Ids> ids;
    };
    using EntryMap = std::unordered_map<long, Entry>;
    struct Group {
        FileId dir;
        int wd = -1;  // watch descriptor; -1: not watched
        dev_t watchedDev = 0;
        ino_t watchedIno = 0;
        std::shared_ptr<const std::vector<long>> numbers;
        FileId listedDir;  // the directory as it was when numbers were read
        // Index files reported created (true) or gone (false) since the
        // listing was read, in report order.
        std::vector<std::pair<long, bool>> listingChanges;
        EntryMap entries;
        // Hash of a watched entry's content file name -> its number.
        std::unordered_multimap<std::size_t, long> owners;
        std::size_t bytes = 0;
        std::uint64_t lastUse = 0;
        // The overview file's records not yet taken into entries, read at
        // the first line not held; onDisk: numbers with a record there.
        bool diskRead = false;
        long diskFloor = 0;  // records below it were not read for want of memory
        store::OverviewRecords disk;
        std::unordered_set<long> onDisk;
        std::string diskPending;  // records to append after this batch
    };
    using GroupMap = std::unordered_map<std::string, Group>;

    static bool StatId(const std::string& path, FileId& id);
    static FileId FromStat(const struct stat& st);
    bool Settled(const FileId& id) const;
    static std::size_t EntryBytes(const Entry& e);
    // Reads the pending change reports and checks that the directory is
    // still the one watched; nullptr when it cannot be read.
    Group* Refresh(const std::string& groupDir);
    void DrainReports();
    void ApplyListingChanges(const std::string& groupDir, Group& g);
    void ForgetListing(Group& g);
    void DropGroup(GroupMap::iterator it);
    void DropName(Group& g, const std::string& name);
    bool LineOf(const std::string& groupDir, Group& g, long number, std::string& out);
    void ReadDisk(const std::string& groupDir, Group& g);
    bool FromDisk(Group& g, long number, const std::string& indexPath, std::string& contentPath,
                  struct stat& indexStat, struct stat& contentStat, std::string& fields);
    void FlushDisk(const std::string& groupDir, Group& g);
    Group& Touch(const std::string& groupDir);
    EntryMap::iterator Drop(Group& g, EntryMap::iterator it);
    void Store(const std::string& groupDir, Group& g, long number, Entry entry);
    void Trim(const std::string& keep, std::size_t target);
    void DropOldest(Group& g, long below, std::size_t target);

    std::size_t byteLimit_;
    int watchFd_ = -1;                              // -1: not yet opened; -2: not available
    std::unordered_map<int, std::string> watched_;  // watch descriptor -> group directory
    std::function<std::time_t()> now_;
    GroupMap groups_;
    std::size_t bytes_ = 0;
    std::uint64_t useClock_ = 0;
    std::uint64_t hits_ = 0;
    std::uint64_t misses_ = 0;
};
