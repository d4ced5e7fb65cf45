#include "store/Expire.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unordered_set>

#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/StoreNames.h"

namespace store {
namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, long m, long d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The local calendar day of a moment: the time of day plays no part.
long LocalDay(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return DaysFromCivil(tm.tm_year + 1900L, tm.tm_mon + 1L, tm.tm_mday);
}

// The first line of an article index file (the content file's path), and
// the file's status: its modification day is the article's date.
std::optional<std::string> ReadIndexFile(int dirFd, const char* name, struct stat& st) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    char buf[512];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0) {
        do {
            n = ::read(fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
    }
    ::close(fd);
    if (n < 0) return std::nullopt;
    std::string line(buf, static_cast<std::size_t>(n));
    line.erase(std::min(line.find('\n'), line.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// An index file names its content file by full path. Only a file of the
// group's own directory is deleted with it (and never another index file):
// an index edited by hand or written elsewhere must not make the run delete
// arbitrary files. *own is set when the path spells the group's directory as
// the store does, so the file can be reached through the open directory.
bool IsGroupContentFile(const std::string& contentPath, const std::string& groupDir, bool* own) {
    *own = false;
    const std::size_t slash = contentPath.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string name = contentPath.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || ParseIndexFileName(name)) return false;
    struct stat a {
    }, b{};
    const std::string dir = slash == 0 ? "/" : contentPath.substr(0, slash);
    if (dir == groupDir) return *own = true;  // named through the group's own path: no need to ask
    return ::stat(dir.c_str(), &a) == 0 && ::stat(groupDir.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string Lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

}  // namespace

ExpireLimits ExpireDefaults(const Setup& setup) {
    return ExpireLimits{
        std::atol(setup.GetExpireAge().c_str()), std::atol(setup.GetExpireSize().c_str()),
        std::atol(setup.GetExpireCondAge().c_str()), std::atol(setup.GetExpireCondSize().c_str())};
}

ExpireRun::ExpireRun(std::string newsDir, ExpireLimits defaults, LogFn log)
    : newsDir_(std::move(newsDir)),
      indexPath_(newsDir_ + std::string(kGroupIndexName)),
      defaults_(defaults),
      log_(std::move(log)) {}

ExpireRun::~ExpireRun() { CloseGroup(); }

void ExpireRun::Log(const std::string& line) const {
    if (log_) log_(line);
}

long ExpireRun::Today() const { return LocalDay(now_ != 0 ? now_ : std::time(nullptr)); }

bool ExpireRun::Step() {
    switch (phase_) {
        case Phase::Start: Begin(); return true;
        case Phase::NextGroup: {
            if (nextGroup_ >= groups_.size()) {
                WriteLows();
                char line[96];
                Log("[EXPIRE] Articles Removed: " + std::to_string(articlesRemoved_));
                std::snprintf(line, sizeof line, "[EXPIRE] Bytes Removed: %lld k",
                              bytesRemoved_ / 1024);
                Log(line);
                Log("[EXPIRE] Finished");
                phase_ = Phase::Done;
                return false;
            }
            const std::string name = groups_[nextGroup_++];
            if (!IsSafeGroupName(name)) {
                Log("[EXPIRE] Skipping Group: " + name);
                return true;
            }
            StartGroup(name);
            return true;
        }
        case Phase::Listing: ReadListing(); return true;
        case Phase::Articles:
            for (int i = 0; i < kArticlesPerStep && nextArticle_ < numbers_.size(); ++i)
                ExpireArticle(numbers_[nextArticle_++]);
            if (nextArticle_ >= numbers_.size()) EndGroup();
            return true;
        case Phase::Done: return false;
    }
    return false;
}

void ExpireRun::Begin() {
    Log("[EXPIRE] Session Starting");
    // A missing index reads as no groups; gaps in the list are skipped, and
    // a name listed twice is one group.
    const profile::Snapshot index(indexPath_);
    long total = index.GetInt("groups", "Total", 0);
    if (total > 99999) total = 99999;
    std::unordered_set<std::string> seen;
    for (long i = 1; i <= total; ++i) {
        std::string name = index.GetString("groups", GroupKey(i), "*");
        if (name.empty() || name[0] == '*' || !seen.insert(Lowered(name)).second) continue;
        groups_.push_back(std::move(name));
    }
    phase_ = Phase::NextGroup;
}

void ExpireRun::StartGroup(const std::string& name) {
    const profile::Snapshot index(indexPath_);
    GroupIndex groups(newsDir_);
    identity_ = groups.Identity(name);
    if (identity_.empty()) return;  // deleted since the run began
    group_ = name;
    groupDir_ = newsDir_ + name;
    limits_.age = index.GetInt(name, "ExpireAge", defaults_.age);
    limits_.size = index.GetInt(name, "ExpireSize", defaults_.size);
    limits_.condAge = index.GetInt(name, "ExpireCondAge", defaults_.condAge);
    limits_.condSize = index.GetInt(name, "ExpireCondSize", defaults_.condSize);
    low_ = index.GetInt(name, "Low", 0);
    high_ = index.GetInt(name, "High", 0);
    const long today = Today();
    ageLimitDay_ = today - limits_.age;
    condLimitDay_ = today - limits_.condAge;
    Log("[EXPIRE] Processing Group: " + name);

    // The index files between Low and High come from the directory's
    // listing, read a slice per step, rather than one open per number: High
    // may lie far above the few articles left.
    numbers_.clear();
    nextArticle_ = 0;
    firstKept_ = 0;
    dirFd_ = ::open(groupDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int listFd = dirFd_ < 0 ? -1 : ::dup(dirFd_);
    DIR* d = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (d == nullptr && listFd >= 0) ::close(listFd);
    listing_ = d;
    phase_ = d ? Phase::Listing : Phase::Articles;
}

void ExpireRun::ReadListing() {
    DIR* d = static_cast<DIR*>(listing_);
    for (int i = 0; i < kEntriesPerStep; ++i) {
        const dirent* e = ::readdir(d);
        if (e == nullptr) {
            ::closedir(d);
            listing_ = nullptr;
            std::sort(numbers_.begin(), numbers_.end());
            phase_ = Phase::Articles;
            return;
        }
        if (const auto n = ParseIndexFileName(e->d_name); n && *n >= low_ && *n <= high_)
            numbers_.push_back(*n);
    }
}

void ExpireRun::ExpireArticle(long number) {
    char name[32];
    std::snprintf(name, sizeof name, "NEWS%010ld", number);
    struct stat st {};
    const std::optional<std::string> content = ReadIndexFile(dirFd_, name, st);
    if (!content) return;  // gone meanwhile
    const long day = LocalDay(st.st_mtime);
    bool own = false;
    const bool ours = IsGroupContentFile(*content, groupDir_, &own);
    const std::string base = own ? content->substr(content->rfind('/') + 1) : std::string();
    // A content file that cannot be found counts -1: never removed for size.
    long long size = -1;
    struct stat cs {};
    if (!content->empty() &&
        (own ? ::fstatat(dirFd_, base.c_str(), &cs, 0) : ::stat(content->c_str(), &cs)) == 0)
        size = cs.st_size;

    const bool remove = day < ageLimitDay_ || size > limits_.size * 1024LL ||
                        (day < condLimitDay_ && size > limits_.condSize * 1024LL);
    if (remove) {
        if (::unlinkat(dirFd_, name, 0) == 0) {
            ++articlesRemoved_;
            const int gone = !ours ? -1
                             : own ? ::unlinkat(dirFd_, base.c_str(), 0)
                                   : ::unlink(content->c_str());
            if (gone == 0 && size > 0) bytesRemoved_ += size;
            return;
        }
        if (errno == ENOENT) return;  // removed by someone else: not ours to count
        Log("[EXPIRE] Could not remove " + groupDir_ + "/" + name);
    }
    if (firstKept_ == 0) firstKept_ = number;
}

void ExpireRun::EndGroup() {
    // An emptied group keeps no overview file; otherwise the records of the
    // removed articles stay until the server next reads the file and
    // compacts it (they are never served: their index files are gone).
    if (firstKept_ == 0 && dirFd_ >= 0)
        ::unlinkat(dirFd_, std::string(kOverviewFileName).c_str(), 0);
    CloseGroup();
    lows_.push_back({group_, identity_, firstKept_});
    if (lows_.size() >= kLowsPerWrite) WriteLows();
    phase_ = Phase::NextGroup;
}

void ExpireRun::CloseGroup() {
    if (listing_ != nullptr) ::closedir(static_cast<DIR*>(listing_));
    listing_ = nullptr;
    if (dirFd_ >= 0) ::close(dirFd_);
    dirFd_ = -1;
}

void ExpireRun::WriteLows() {
    // Only into groups that are still the ones the run began: a group
    // deleted under the run must not come back as a section holding "Low"
    // alone.
    if (!lows_.empty() && !GroupIndex(newsDir_).SetLows(lows_))
        Log("[EXPIRE] Could not write Low to " + indexPath_);
    lows_.clear();
}

}  // namespace store
