#include "store/Recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "store/GroupIndex.h"
#include "store/StoreNames.h"

namespace store {
namespace {

// An index line is a path of at most a few hundred characters. A longer
// first line is not one the store wrote, and what it names is unknown.
constexpr std::size_t kIndexReadLimit = 8192;

using Log = std::function<void(std::string_view)>;
using FileId = std::pair<dev_t, ino_t>;

enum class Kind { Regular, Link, Other };

struct Entry {
    std::string name;
    Kind kind;
};

struct Candidate {
    std::string path;
    FileId id;
};

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// ".qvrecv-N.tmp": the feed's reply under reception.
bool IsFeedWorkName(std::string_view name) {
    constexpr std::string_view head = ".qvrecv-", tail = ".tmp";
    return name.size() > head.size() + tail.size() && name.starts_with(head) &&
           name.ends_with(tail) &&
           AllDigits(name.substr(head.size(), name.size() - head.size() - tail.size()));
}

// ".NEWS%010d.wrk": an index line not yet linked to its name.
bool IsIndexWorkName(std::string_view name) {
    constexpr std::string_view tail = ".wrk";
    return name.size() == 1 + 14 + tail.size() && name.front() == '.' && name.ends_with(tail) &&
           ParseIndexFileName(name.substr(1, 14)).has_value();
}

// ".newsrc.ini.tmpXXXXXX": a rewrite of the group index not yet renamed.
bool IsGroupIndexWorkName(std::string_view name) {
    const std::string head = "." + std::string(kGroupIndexName) + ".tmp";
    return name.size() == head.size() + 6 && name.starts_with(head);
}

// ".qvpost-%010d.tmp": a local posting's content not yet linked to its name.
bool IsPostWorkName(std::string_view name) {
    constexpr std::string_view head = ".qvpost-", tail = ".tmp";
    return name.size() == head.size() + 10 + tail.size() && name.starts_with(head) &&
           name.ends_with(tail) && AllDigits(name.substr(head.size(), 10));
}

bool IsRawName(std::string_view name) {
    return name.size() == 13 && name.starts_with("RAW") && AllDigits(name.substr(3));
}

Kind KindOf(int dirFd, const dirent& e) {
    if (e.d_type == DT_REG) return Kind::Regular;
    if (e.d_type == DT_LNK) return Kind::Link;
    if (e.d_type != DT_UNKNOWN) return Kind::Other;
    struct stat st {};
    if (::fstatat(dirFd, e.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Kind::Other;
    return S_ISREG(st.st_mode) ? Kind::Regular : S_ISLNK(st.st_mode) ? Kind::Link : Kind::Other;
}

std::vector<Entry> ListEntries(DIR* d) {
    std::vector<Entry> entries;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back({std::string(name), KindOf(::dirfd(d), *e)});
    }
    return entries;
}

// The first line of an index file without its line end; nullopt when the
// file cannot be read or its line is too long to be the store's.
std::optional<std::string> ReadIndexLine(int dirFd, const std::string& name) {
    // O_NONBLOCK: a FIFO under an index name must not stall the start.
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string buf(kIndexReadLimit, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        got += static_cast<std::size_t>(n);
        if (buf.find('\n') < got) break;
    }
    ::close(fd);
    buf.resize(got);
    const std::size_t lf = buf.find('\n');
    if (failed || (lf == std::string::npos && got == kIndexReadLimit)) return std::nullopt;
    buf.erase(std::min(lf, buf.size()));
    if (!buf.empty() && buf.back() == '\r') buf.pop_back();
    return buf;
}

void RemoveWorkFile(int dirFd, const std::string& dirPath, const std::string& name, const Log& log,
                    RecoveryResult& result) {
    const std::string path = dirPath + name;
    if (::unlinkat(dirFd, name.c_str(), 0) == 0) {
        ++result.workFilesRemoved;
        log("[QV] Removed " + path + ", a work file left by an interrupted run");
    } else if (errno != ENOENT) {
        log("[QV] Could not remove " + path);
    }
}

// What one pass over all group folders found.
struct Scan {
    std::set<FileId> reached;          // files that index lines spelt through another path lead to
    std::vector<Candidate> unindexed;  // content files no index file of their folder names
    bool unreadableIndex = false;
};

// One group folder: removes its work files, reads its index files once, and
// notes the content files none of them names.
void ScanGroup(const std::string& groupDir, const Log& log, RecoveryResult& result, Scan& scan) {
    DIR* d = ::opendir(groupDir.c_str());
    if (d == nullptr) return;  // no folder yet: nothing stored
    const int dirFd = ::dirfd(d);
    const std::string prefix = groupDir + "/";
    const std::vector<Entry> entries = ListEntries(d);

    // The file names the index lines end in. The store writes every line as
    // this folder's path and the name; a line spelt otherwise (an absolute
    // news directory, a moved home) still protects a file of its name here,
    // and the file it leads to wherever that is.
    std::unordered_set<std::string> named;
    for (const Entry& e : entries) {
        if (e.name.front() == '.') {
            if (e.kind == Kind::Regular && (IsFeedWorkName(e.name) || IsIndexWorkName(e.name) ||
                                            IsPostWorkName(e.name) || e.name == kOverviewWorkName))
                RemoveWorkFile(dirFd, prefix, e.name, log, result);
            continue;
        }
        if (!ParseIndexFileName(e.name) || e.kind == Kind::Other) continue;
        if (e.kind == Kind::Link) {
            struct stat st {};
            if (::fstatat(dirFd, e.name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        }
        const std::optional<std::string> line = ReadIndexLine(dirFd, e.name);
        if (!line) {
            scan.unreadableIndex = true;
            log("[QV] Cannot read the index file " + prefix + e.name);
            continue;
        }
        if (line->empty()) continue;
        const std::size_t slash = line->rfind('/');
        named.insert(slash == std::string::npos ? *line : line->substr(slash + 1));
        const bool ownSpelling = line->starts_with(prefix) && slash == prefix.size() - 1;
        struct stat st {};
        if (!ownSpelling && ::stat(line->c_str(), &st) == 0)
            scan.reached.insert({st.st_dev, st.st_ino});
    }

    for (const Entry& e : entries) {
        if (e.kind != Kind::Regular || e.name.front() == '.' || ParseIndexFileName(e.name) ||
            named.contains(e.name))
            continue;
        // Only what the store itself writes as content: a local posting's
        // "RAW" file (possibly cut short) or a stored "220" reply. Anything
        // else someone put here is left alone.
        const int fd =
            ::openat(dirFd, e.name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat st {};
        char head[3] = {};
        const bool plain = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
        const bool reply =
            plain && ::read(fd, head, sizeof head) == 3 && std::string_view(head, 3) == "220";
        ::close(fd);
        if (plain && (reply || IsRawName(e.name)))
            scan.unindexed.push_back({prefix + e.name, {st.st_dev, st.st_ino}});
    }
    ::closedir(d);
}

}  // namespace

RecoveryResult RecoverStore(const std::string& newsDir, const Log& log) {
    RecoveryResult result;
    const Log say = [&log](std::string_view line) {
        if (log) log(line);
    };

    if (DIR* d = ::opendir(newsDir.empty() ? "." : newsDir.c_str())) {
        for (const Entry& e : ListEntries(d))
            if (e.kind == Kind::Regular && (IsFeedWorkName(e.name) || IsGroupIndexWorkName(e.name)))
                RemoveWorkFile(::dirfd(d), newsDir, e.name, say, result);
        ::closedir(d);
    }

    // All folders are read before anything is removed, so that a line of any
    // group that leads into another group's folder protects its file too.
    Scan scan;
    std::unordered_set<std::string> seen;
    for (const std::string& group : GroupIndex(newsDir).ListGroups()) {
        // POSTS holds the posting queue, never articles, whatever the index lists.
        if (!IsSafeGroupName(group) || group == kPostsDirName || !seen.insert(group).second)
            continue;
        if (const auto dir = GroupDirectory(newsDir, group)) ScanGroup(*dir, say, result, scan);
    }
    if (scan.unreadableIndex) {
        if (!scan.unindexed.empty())
            say("[QV] Kept " + std::to_string(scan.unindexed.size()) +
                " article files without an index file: an index file could not be read");
        return result;
    }
    for (const Candidate& c : scan.unindexed) {
        struct stat st {};
        if (scan.reached.contains(c.id)) continue;
        // The same file still, not one put under its name since the scan.
        if (::lstat(c.path.c_str(), &st) != 0 || FileId{st.st_dev, st.st_ino} != c.id) continue;
        if (::unlink(c.path.c_str()) == 0) {
            ++result.contentFilesRemoved;
            say("[QV] Removed " + c.path + ", an article file no index file names");
        } else if (errno != ENOENT) {
            say("[QV] Could not remove " + c.path);
        }
    }
    return result;
}

namespace {
constexpr const char* kCleanStopName = ".qvclean";
}

bool TakeCleanStopMarker(const std::string& newsDir) {
    const std::string path = newsDir + kCleanStopName;
    if (::unlink(path.c_str()) != 0) return false;
    // The removal must be on disk before the store changes: otherwise a
    // crash could bring the marker back over a store that needs repair.
    const int dir =
        ::open(newsDir.empty() ? "." : newsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::fsync(dir) == 0;
    if (dir >= 0) ::close(dir);
    return synced;
}

void WriteCleanStopMarker(const std::string& newsDir) {
    const std::string path = newsDir + kCleanStopName;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

}  // namespace store
