#include "store/Expire.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/DirList.h"
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

// The first line of an article index file: the content file's path.
std::optional<std::string> ReadIndexLine(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
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
// arbitrary files.
bool IsGroupContentFile(const std::string& contentPath, const std::string& groupDir) {
    const std::size_t slash = contentPath.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string name = contentPath.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || ParseIndexFileName(name)) return false;
    struct stat a {
    }, b{};
    const std::string dir = slash == 0 ? "/" : contentPath.substr(0, slash);
    if (dir == groupDir) return true;  // named through the group's own path: no need to ask
    return ::stat(dir.c_str(), &a) == 0 && ::stat(groupDir.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

void ExpireRun::Log(const std::string& line) const {
    if (log_) log_(line);
}

long ExpireRun::Today() const { return LocalDay(now_ != 0 ? now_ : std::time(nullptr)); }

bool ExpireRun::Step() {
    switch (phase_) {
        case Phase::Start:
            Log("[EXPIRE] Session Starting");
            // A missing index reads as no groups.
            total_ = profile::GetInt(indexPath_, "groups", "Total", 0);
            phase_ = Phase::NextGroup;
            return true;
        case Phase::NextGroup: {
            if (++ordinal_ > total_) {
                char line[96];
                Log("[EXPIRE] Articles Removed: " + std::to_string(articlesRemoved_));
                std::snprintf(line, sizeof line, "[EXPIRE] Bytes Removed: %lld k",
                              bytesRemoved_ / 1024);
                Log(line);
                Log("[EXPIRE] Finished");
                phase_ = Phase::Done;
                return false;
            }
            const std::string name =
                profile::GetString(indexPath_, "groups", GroupKey(ordinal_), "*");
            if (name.empty() || name[0] == '*') return true;  // a gap in the list
            if (!IsSafeGroupName(name)) {
                Log("[EXPIRE] Skipping Group: " + name);
                return true;
            }
            StartGroup(name);
            return true;
        }
        case Phase::Articles:
            for (int i = 0; i < kArticlesPerStep && nextArticle_ < numbers_.size(); ++i)
                ExpireArticle(numbers_[nextArticle_++]);
            if (nextArticle_ >= numbers_.size()) EndGroup();
            return true;
        case Phase::Done: return false;
    }
    return false;
}

void ExpireRun::StartGroup(const std::string& name) {
    group_ = name;
    groupDir_ = newsDir_ + name;
    limits_.age = profile::GetInt(indexPath_, name, "ExpireAge", defaults_.age);
    limits_.size = profile::GetInt(indexPath_, name, "ExpireSize", defaults_.size);
    limits_.condAge = profile::GetInt(indexPath_, name, "ExpireCondAge", defaults_.condAge);
    limits_.condSize = profile::GetInt(indexPath_, name, "ExpireCondSize", defaults_.condSize);
    const long low = profile::GetInt(indexPath_, name, "Low", 0);
    const long high = profile::GetInt(indexPath_, name, "High", 0);
    const long today = Today();
    ageLimitDay_ = today - limits_.age;
    condLimitDay_ = today - limits_.condAge;
    Log("[EXPIRE] Processing Group: " + name);

    // The index files between Low and High, from one sorted listing rather
    // than one open per number: High may lie far above the few articles left.
    numbers_.clear();
    nextArticle_ = 0;
    firstKept_ = 0;
    if (const auto names = ListFileNames(groupDir_))
        for (const std::string& f : *names)
            if (const auto n = ParseIndexFileName(f); n && *n >= low && *n <= high)
                numbers_.push_back(*n);
    phase_ = Phase::Articles;
}

void ExpireRun::ExpireArticle(long number) {
    const std::string indexPath = groupDir_ + "/" + IndexFileName(number);
    struct stat st {};
    if (::stat(indexPath.c_str(), &st) != 0) return;  // gone meanwhile
    const std::optional<std::string> content = ReadIndexLine(indexPath);
    if (!content) return;
    const long day = LocalDay(st.st_mtime);
    // A content file that cannot be found counts -1: never removed for size.
    long long size = -1;
    struct stat cs {};
    if (!content->empty() && ::stat(content->c_str(), &cs) == 0) size = cs.st_size;

    const bool remove = day < ageLimitDay_ || size > limits_.size * 1024LL ||
                        (day < condLimitDay_ && size > limits_.condSize * 1024LL);
    if (remove) {
        if (::unlink(indexPath.c_str()) == 0) {
            ++articlesRemoved_;
            if (IsGroupContentFile(*content, groupDir_) && ::unlink(content->c_str()) == 0 &&
                size > 0)
                bytesRemoved_ += size;
            return;
        }
        if (errno == ENOENT) return;  // removed by someone else: not ours to count
        Log("[EXPIRE] Could not remove " + indexPath);
    }
    if (firstKept_ == 0) firstKept_ = number;
}

void ExpireRun::EndGroup() {
    profile::WriteString(indexPath_, group_, "Low", std::to_string(firstKept_));
    phase_ = Phase::NextGroup;
}

}  // namespace store
