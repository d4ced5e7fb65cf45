#include "reader/OverviewCache.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "reader/ArticleFile.h"
#include "reader/ReaderText.h"
#include "store/DirList.h"
#include "store/StoreNames.h"

namespace {

constexpr std::size_t kFirstRead = 8192;        // most headers fit
constexpr std::size_t kHeaderCap = 256 * 1024;  // overview looks no further
// Rough per-entry overhead of the hash node and the two strings.
constexpr std::size_t kEntryOverhead = 96;
// Rough overhead of a record read from the overview file (map node, two
// strings) and of a number in the set of those on disk.
constexpr std::size_t kRecordOverhead = 160;
constexpr std::size_t kOnDiskBytes = 32;
// An overview file with more records of gone or damaged articles than of
// listed ones (and at least this many) is written anew when read.
constexpr std::size_t kCompactAt = 64;

// Overview fields are TAB-separated, so a TAB inside a value would shift
// every field after it.
void AppendField(std::string& out, std::string_view value) {
    for (char c : value) out += c == '\t' ? ' ' : c;
    out += '\t';
}

}  // namespace

std::string OverviewFields(const ArticleFile& f) {
    static constexpr std::string_view kNames[] = {
        "subject:", "from:", "date:", "message-id:", "references:"};
    std::string_view fields[5];
    std::string_view text = f.HeaderText();
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        const std::string_view l = text.substr(0, lf);
        for (int k = 0; k < 5; ++k)
            if (StartsWithNoCase(l, kNames[k])) fields[k] = l;
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
    std::string out;
    out.reserve(256);
    for (int k = 0; k < 5; ++k) AppendField(out, GetHeaderField(fields[k]));
    AppendField(out, std::to_string(static_cast<long long>(f.Size())));
    AppendField(out, f.LinesValue());
    out += "\r\n";
    return out;
}

namespace {

// The index file's one line, as GroupIndex::ResolveArticle reads it, with
// the status of the descriptor it was read from and whether its name was a
// symbolic link. false: no index file, an unreadable one, or one that names
// no path.
bool ReadIndexFile(const std::string& path, std::string& contentPath, struct stat& st,
                   bool& isLink) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    int fd = ::open(path.c_str(), kFlags | O_NOFOLLOW);
    isLink = fd < 0 && errno == ELOOP;
    if (isLink) fd = ::open(path.c_str(), kFlags);
    if (fd < 0) return false;
    char buf[512];
    std::size_t got = 0;
    bool failed = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);
    while (!failed && got < sizeof buf) {
        const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        got += static_cast<std::size_t>(n);
        // A regular file reads short only at its end.
        if (n == 0 || got >= static_cast<std::size_t>(st.st_size)) break;
    }
    ::close(fd);
    std::string_view line(buf, got);
    if (const auto lf = line.find('\n'); lf != std::string_view::npos) line = line.substr(0, lf);
    if (line.size() > 511) line = line.substr(0, 511);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (failed || line.empty()) return false;
    contentPath.assign(line);
    return true;
}

std::time_t RealNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

std::size_t NameHash(std::string_view name) { return std::hash<std::string_view>{}(name); }

std::size_t RecordBytes(const store::OverviewRecord& r) {
    return r.fields.size() + r.contentPath.size() + kRecordOverhead;
}

// A regular file (not a link) of this identity at path.
bool HasStamp(const std::string& path, const store::FileStamp& stamp, struct stat& st) {
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           store::FileStamp::Of(st) == stamp;
}

std::string IndexPath(const std::string& groupDir, long number) {
    char name[32];
    std::snprintf(name, sizeof name, "/NEWS%010ld", number);
    return groupDir + name;
}

}  // namespace

bool RecordOverview(const std::string& groupDir, long number) {
    if (number < 1 || number > store::kMaxArticleNumber) return false;
    store::OverviewRecord r;
    struct stat indexStat {};
    bool indexLink = false, contentLink = false;
    ArticleFile f;
    if (!ReadIndexFile(IndexPath(groupDir, number), r.contentPath, indexStat, indexLink) ||
        !f.Open(r.contentPath, kFirstRead, &contentLink) || indexLink || contentLink)
        return false;
    f.ExtendHeader(kHeaderCap);
    r.fields = OverviewFields(f);
    r.index = store::FileStamp::Of(indexStat);
    r.content = store::FileStamp::Of(f.Status());
    const std::string line = store::FormatOverviewRecord(number, r);
    return !line.empty() && store::AppendOverviewLines(groupDir, line);
}

bool OverviewCache::FileId::operator==(const FileId& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
}

OverviewCache::OverviewCache(std::size_t byteLimit) : byteLimit_(byteLimit), now_(RealNow) {}

OverviewCache::~OverviewCache() {
    if (watchFd_ >= 0) ::close(watchFd_);
}

OverviewCache::FileId OverviewCache::FromStat(const struct stat& st) {
    FileId id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

bool OverviewCache::StatId(const std::string& path, FileId& id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = FromStat(st);
    return true;
}

bool OverviewCache::Settled(const FileId& id) const {
    const std::time_t now = now_();
    return id.mtime.tv_sec + kSettleSeconds < now && id.ctime.tv_sec + kSettleSeconds < now;
}

std::size_t OverviewCache::EntryBytes(const Entry& e) {
    return e.fields.capacity() + e.file.capacity() + sizeof(Entry) + kEntryOverhead +
           (e.ids ? sizeof(Ids) : kEntryOverhead / 2);
}

OverviewCache::Group& OverviewCache::Touch(const std::string& groupDir) {
    Group& g = groups_[groupDir];
    g.lastUse = ++useClock_;
    return g;
}

void OverviewCache::Clear() {
    while (!groups_.empty()) DropGroup(groups_.begin());
    bytes_ = 0;
}

void OverviewCache::DropGroup(GroupMap::iterator it) {
    if (it->second.wd >= 0) {
        ::inotify_rm_watch(watchFd_, it->second.wd);
        watched_.erase(it->second.wd);
    }
    bytes_ -= it->second.bytes;
    groups_.erase(it);
}

void OverviewCache::ForgetListing(Group& g) {
    if (g.numbers) {
        const std::size_t b = g.numbers->capacity() * sizeof(long);
        g.bytes -= b;
        bytes_ -= b;
        g.numbers.reset();
    }
    g.listingChanges.clear();
}

OverviewCache::EntryMap::iterator OverviewCache::Drop(Group& g, EntryMap::iterator it) {
    if (!it->second.ids) {
        auto [lo, hi] = g.owners.equal_range(NameHash(it->second.file));
        for (auto o = lo; o != hi; ++o)
            if (o->second == it->first) {
                g.owners.erase(o);
                break;
            }
    }
    const std::size_t b = EntryBytes(it->second);
    g.bytes -= b;
    bytes_ -= b;
    return g.entries.erase(it);
}

// A report about one name of the directory: whatever was made from a file
// of that name goes (every entry whose content name has the same hash).
void OverviewCache::DropName(Group& g, const std::string& name) {
    if (const auto n = store::ParseIndexFileName(name)) {
        if (auto it = g.entries.find(*n); it != g.entries.end()) Drop(g, it);
    }
    auto [lo, hi] = g.owners.equal_range(NameHash(name));
    std::vector<long> owners;
    for (auto o = lo; o != hi; ++o) owners.push_back(o->second);
    for (long n : owners)
        if (auto it = g.entries.find(n); it != g.entries.end()) Drop(g, it);
}

void OverviewCache::DrainReports() {
    if (watchFd_ < 0) return;
    alignas(inotify_event) char buf[16384];
    std::vector<std::string> changed;  // groups whose listing changed
    while (true) {
        const ssize_t n = ::read(watchFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EAGAIN: nothing more pending
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                // Reports were lost: nothing kept can be trusted.
                Clear();
                continue;
            }
            const auto w = watched_.find(ev->wd);
            if (w == watched_.end()) continue;
            const auto git = groups_.find(w->second);
            if (git == groups_.end()) continue;
            Group& g = git->second;
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                if (ev->mask & IN_IGNORED) {
                    watched_.erase(g.wd);
                    g.wd = -1;
                }
                DropGroup(git);
                continue;
            }
            const std::string name = ev->len > 0 ? std::string(ev->name) : std::string();
            if (name.empty()) {
                ForgetListing(g);  // about the directory itself
                continue;
            }
            DropName(g, name);
            // Only index files make up the listing; directories never do.
            const auto number = store::ParseIndexFileName(name);
            if (number && g.numbers && !(ev->mask & IN_ISDIR)) {
                if (ev->mask & (IN_CREATE | IN_MOVED_TO))
                    g.listingChanges.emplace_back(*number, true);
                if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
                    g.listingChanges.emplace_back(*number, false);
                if (g.listingChanges.size() == 1) changed.push_back(w->second);
            }
        }
    }
    for (const std::string& dir : changed)
        if (auto it = groups_.find(dir); it != groups_.end()) ApplyListingChanges(dir, it->second);
}

// The listing patched with the reported creations and removals, so that a
// large group is not listed anew for every article the feed adds.
void OverviewCache::ApplyListingChanges(const std::string& groupDir, Group& g) {
    if (!g.numbers || g.listingChanges.empty()) return;
    auto numbers = std::make_shared<std::vector<long>>(*g.numbers);
    for (const auto& [n, created] : g.listingChanges) {
        auto at = std::lower_bound(numbers->begin(), numbers->end(), n);
        const bool listed = at != numbers->end() && *at == n;
        bool present = false;
        if (created) {
            // As the listing counts it: a regular file (links by target).
            char name[32];
            std::snprintf(name, sizeof name, "/NEWS%010ld", n);
            struct stat st {};
            present = ::stat((groupDir + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
        }
        if (present && !listed) numbers->insert(at, n);
        if (!present && listed) numbers->erase(at);
    }
    g.listingChanges.clear();
    const std::size_t b = g.numbers->capacity() * sizeof(long);
    g.bytes -= b;
    bytes_ -= b;
    g.numbers = numbers;
    g.bytes += numbers->capacity() * sizeof(long);
    bytes_ += numbers->capacity() * sizeof(long);
}

OverviewCache::Group* OverviewCache::Refresh(const std::string& groupDir) {
    if (watchFd_ == -1) {
        watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watchFd_ < 0) watchFd_ = -2;
    }
    DrainReports();
    struct stat st {};
    if (::stat(groupDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (auto it = groups_.find(groupDir); it != groups_.end()) DropGroup(it);
        return nullptr;
    }
    Group& g = Touch(groupDir);
    // The path may lead to another directory now (renamed, replaced).
    if (g.wd >= 0 && (g.watchedDev != st.st_dev || g.watchedIno != st.st_ino)) {
        DropGroup(groups_.find(groupDir));
        return Refresh(groupDir);
    }
    if (g.wd < 0 && watchFd_ >= 0) {
        // Watched before anything is read, so every later change reports.
        const int wd =
            ::inotify_add_watch(watchFd_, groupDir.c_str(),
                                IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        struct stat again {};
        if (wd >= 0 && watched_.count(wd) == 0 && ::stat(groupDir.c_str(), &again) == 0 &&
            again.st_dev == st.st_dev && again.st_ino == st.st_ino) {
            g.wd = wd;
            g.watchedDev = st.st_dev;
            g.watchedIno = st.st_ino;
            watched_[wd] = groupDir;
            // What was kept before is still checked entry by entry; a
            // listing read unwatched is read again under the watch.
            ForgetListing(g);
        } else if (wd >= 0 && watched_.count(wd) == 0) {
            ::inotify_rm_watch(watchFd_, wd);
        }
        // Two paths to one directory share a watch descriptor: the second
        // path stays with identity checks.
    }
    g.dir = FromStat(st);
    return &g;
}

std::shared_ptr<const std::vector<long>> OverviewCache::Numbers(const std::string& groupDir) {
    Group* gp = Refresh(groupDir);
    if (!gp) return nullptr;
    Group& g = *gp;
    if (g.numbers && (g.wd >= 0 || g.dir == g.listedDir)) {
        ++hits_;
        return g.numbers;
    }
    ++misses_;
    ForgetListing(g);
    // Read after the watch was set or the directory's status was taken: a
    // change in between is reported, or carries a later time.
    auto names = store::ListFileNames(groupDir);
    if (!names) return nullptr;
    auto numbers = std::make_shared<std::vector<long>>();
    numbers->reserve(names->size() / 2 + 1);
    for (const std::string& name : *names)  // sorted names: ascending numbers
        if (auto n = store::ParseIndexFileName(name)) numbers->push_back(*n);

    // Lines of articles that are gone would only take memory.
    for (auto it = g.entries.begin(); it != g.entries.end();) {
        if (std::binary_search(numbers->begin(), numbers->end(), it->first))
            ++it;
        else
            it = Drop(g, it);
    }
    if (g.wd >= 0 || Settled(g.dir)) {
        g.numbers = numbers;
        g.listedDir = g.dir;
        const std::size_t b = numbers->capacity() * sizeof(long);
        g.bytes += b;
        bytes_ += b;
        if (bytes_ > byteLimit_) Trim(groupDir, byteLimit_ / 2);
    }
    return numbers;
}

bool OverviewCache::AppendOverview(const std::string& groupDir, long number, std::string& out) {
    const std::size_t before = out.size();
    AppendOverviews(groupDir, std::vector<long>{number}, 0, 0, out);
    return out.size() != before;
}

std::size_t OverviewCache::AppendOverviews(const std::string& groupDir,
                                           const std::vector<long>& numbers, std::size_t from,
                                           std::size_t maxBytes, std::string& out) {
    Group* g = Refresh(groupDir);
    const std::size_t start = out.size();
    std::size_t i = from;
    while (i < numbers.size()) {
        if (g) LineOf(groupDir, *g, numbers[i], out);  // storing never drops this group
        ++i;
        if (out.size() - start >= maxBytes) break;
    }
    if (g) FlushDisk(groupDir, *g);
    return i;
}

std::string OverviewCache::KnownContentPath(const std::string& groupDir, long number) {
    if (watchFd_ < 0 || groups_.find(groupDir) == groups_.end()) return {};
    Group* g = Refresh(groupDir);
    if (!g || g->wd < 0) return {};
    const auto it = g->entries.find(number);
    if (it == g->entries.end() || it->second.ids) return {};
    return groupDir + "/" + it->second.file;
}

bool OverviewCache::LineOf(const std::string& groupDir, Group& g, long number, std::string& out) {
    if (number < 1 || number > store::kMaxArticleNumber) return false;
    const std::string indexPath = IndexPath(groupDir, number);
    char num[24];
    const int numLen = std::snprintf(num, sizeof num, "%ld\t", number);

    if (auto it = g.entries.find(number); it != g.entries.end()) {
        const Entry& e = it->second;
        bool valid = !e.ids && g.wd >= 0;
        if (e.ids) {
            FileId index, content;
            valid = StatId(indexPath, index) && index == e.ids->index && StatId(e.file, content) &&
                    content == e.ids->content;
        }
        if (valid) {
            ++hits_;
            out.append(num, static_cast<std::size_t>(numLen));
            out.append(e.fields);
            return true;
        }
        Drop(g, it);
    }
    ++misses_;
    std::string contentPath, fields;
    struct stat indexStat {
    }, contentStat{};
    bool indexLink = false, contentLink = false;
    if (!g.diskRead) ReadDisk(groupDir, g);
    if (!FromDisk(g, number, indexPath, contentPath, indexStat, contentStat, fields)) {
        ArticleFile f;
        // An article whose content file is missing or still arriving has no
        // line, as ARTICLE would refuse it.
        if (!ReadIndexFile(indexPath, contentPath, indexStat, indexLink) ||
            !f.Open(contentPath, kFirstRead, &contentLink))
            return false;
        f.ExtendHeader(kHeaderCap);
        fields = OverviewFields(f);
        contentStat = f.Status();
        // Only files that settled go on disk: a change within the clock's
        // grain might not show in their times.
        if (!indexLink && !contentLink && number >= g.diskFloor && !g.onDisk.contains(number) &&
            Settled(FromStat(indexStat)) && Settled(FromStat(contentStat))) {
            const store::OverviewRecord r{store::FileStamp::Of(indexStat),
                                          store::FileStamp::Of(contentStat), contentPath, fields};
            const std::string line = store::FormatOverviewRecord(number, r);
            if (!line.empty()) {
                g.diskPending += line;
                g.onDisk.insert(number);
                g.bytes += kOnDiskBytes;
                bytes_ += kOnDiskBytes;
            }
        }
    }
    Entry e;
    e.fields = std::move(fields);
    e.fields.shrink_to_fit();
    out.append(num, static_cast<std::size_t>(numLen));
    out.append(e.fields);

    // Reports cover a file only when its one name is in the watched
    // directory: not a link, no second name elsewhere.
    const std::size_t dirLen = groupDir.size() + 1;
    const bool inDir =
        contentPath.size() > dirLen && contentPath.compare(0, groupDir.size(), groupDir) == 0 &&
        contentPath[groupDir.size()] == '/' && contentPath.find('/', dirLen) == std::string::npos;
    if (g.wd >= 0 && inDir && !indexLink && !contentLink && indexStat.st_nlink == 1 &&
        contentStat.st_nlink == 1) {
        e.file = contentPath.substr(dirLen);
        const std::size_t hash = NameHash(e.file);
        Store(groupDir, g, number, std::move(e));
        if (g.entries.count(number)) g.owners.emplace(hash, number);
        return true;
    }
    e.ids = std::make_unique<Ids>(Ids{FromStat(indexStat), FromStat(contentStat)});
    // Files changed within the last moments might change again without
    // their times showing it: such a line is made anew every time.
    if (Settled(e.ids->index) && Settled(e.ids->content)) {
        e.file = std::move(contentPath);
        Store(groupDir, g, number, std::move(e));
    }
    return true;
}

void OverviewCache::Store(const std::string& groupDir, Group& g, long number, Entry entry) {
    const std::size_t b = EntryBytes(entry);
    if (bytes_ + b > byteLimit_) {
        Trim(groupDir, byteLimit_ / 2);
        // This group alone fills the budget: its oldest articles' lines make
        // room for newer ones, which readers ask for most; a line older than
        // all that are kept is served without being kept.
        if (bytes_ + b > byteLimit_) DropOldest(g, number, byteLimit_ - byteLimit_ / 4);
        if (bytes_ + b > byteLimit_) return;
    }
    g.entries.emplace(number, std::move(entry));
    g.bytes += b;
    bytes_ += b;
}

// Drops the group's lines of articles below `below`, lowest first, until at
// most target bytes are held. Sorting the numbers costs little beside the
// quarter of the budget each call frees.
void OverviewCache::DropOldest(Group& g, long below, std::size_t target) {
    std::vector<long> held;
    held.reserve(g.entries.size());
    for (const auto& [n, e] : g.entries)
        if (n < below) held.push_back(n);
    std::sort(held.begin(), held.end());
    for (long n : held) {
        if (bytes_ <= target) break;
        Drop(g, g.entries.find(n));
    }
}

// Drops the least recently used groups other than keep until at most
// target bytes are held (or keep is all that is left).
void OverviewCache::Trim(const std::string& keep, std::size_t target) {
    while (bytes_ > target && groups_.size() > 1) {
        auto victim = groups_.end();
        for (auto it = groups_.begin(); it != groups_.end(); ++it)
            if (it->first != keep &&
                (victim == groups_.end() || it->second.lastUse < victim->second.lastUse))
                victim = it;
        if (victim == groups_.end()) return;
        DropGroup(victim);
    }
}

void OverviewCache::ReadDisk(const std::string& groupDir, Group& g) {
    g.diskRead = true;
    store::OverviewFileContents c = store::ReadOverviewFile(groupDir, byteLimit_ / 4);
    if (g.numbers && !c.partial) {
        // Records of expired or damaged articles only take room: past a
        // point the file keeps just the listed ones.
        std::size_t live = 0;
        for (const auto& [n, r] : c.records)
            live += std::binary_search(g.numbers->begin(), g.numbers->end(), n) ? 1 : 0;
        if (c.lines - live > live && c.lines - live >= kCompactAt) {
            std::erase_if(c.records, [&](const auto& kv) {
                return !std::binary_search(g.numbers->begin(), g.numbers->end(), kv.first);
            });
            store::RewriteOverviewFile(groupDir, c.records);
        }
    }
    if (c.partial)
        g.diskFloor = c.records.empty() ? store::kMaxArticleNumber + 1 : c.records.begin()->first;
    std::size_t b = 0;
    for (const auto& [n, r] : c.records) {
        g.onDisk.insert(n);
        b += RecordBytes(r) + kOnDiskBytes;
    }
    g.disk = std::move(c.records);
    g.bytes += b;
    bytes_ += b;
}

// The line of a record of the overview file, when the index file and the
// content file it was made from are unchanged. The record is taken out of
// memory either way: it is used once, or it is stale.
bool OverviewCache::FromDisk(Group& g, long number, const std::string& indexPath,
                             std::string& contentPath, struct stat& indexStat,
                             struct stat& contentStat, std::string& fields) {
    const auto it = g.disk.find(number);
    if (it == g.disk.end()) return false;
    store::OverviewRecord r = std::move(it->second);
    g.disk.erase(it);
    const std::size_t b = RecordBytes(r);
    g.bytes -= b;
    bytes_ -= b;
    if (!HasStamp(indexPath, r.index, indexStat) ||
        !HasStamp(r.contentPath, r.content, contentStat)) {
        if (g.onDisk.erase(number) != 0) {  // a new record is appended
            g.bytes -= kOnDiskBytes;
            bytes_ -= kOnDiskBytes;
        }
        return false;
    }
    contentPath = std::move(r.contentPath);
    fields = std::move(r.fields);
    return true;
}

void OverviewCache::FlushDisk(const std::string& groupDir, Group& g) {
    if (g.diskPending.empty()) return;
    store::AppendOverviewLines(groupDir, g.diskPending);
    g.diskPending.clear();
    g.diskPending.shrink_to_fit();
}
