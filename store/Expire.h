#pragma once
// The expire run: removes articles by age and size, group by group, and sets
// each group's "Low" to its lowest remaining article (0 when none remains).
//
// The run is a stepwise object so that readers are served while it works:
// the controller calls Step() from a message it posts to itself, and posts
// the next one while Step() returns true. Each step does a bounded amount of
// work (the start, one group's set-up, a handful of articles, a group's
// end, or the summary).
//
// An article's age is the calendar day of its index file's last
// modification (the day it was stored here); its size is the length of its
// content file. "High" is never touched, so removed numbers are not given
// out again.

#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class Setup;

namespace store {

// Days and kilobytes (1,024 bytes).
struct ExpireLimits {
    long age = 31;
    long size = 9999;
    long condAge = 999;
    long condSize = 9999;
};

// The main INI file's "expire" defaults, converted as atol converts them.
ExpireLimits ExpireDefaults(const Setup& setup);

class ExpireRun {
public:
    using LogFn = std::function<void(std::string_view line)>;

    // Articles handled per Step().
    static constexpr int kArticlesPerStep = 25;

    // newsDir ends with "/". defaults are the main INI file's "expire"
    // values (Setup::GetExpireAge ... converted with atol); log receives the
    // "[EXPIRE] ..." lines.
    ExpireRun(std::string newsDir, ExpireLimits defaults, LogFn log);

    // Does the next bounded piece of work; false when the run has finished
    // (the summary lines have been logged). Calling it again is harmless.
    bool Step();
    bool Finished() const { return phase_ == Phase::Done; }

    // For tests: the moment that counts as "now" (default: the real time at
    // each group's start).
    void SetNow(std::time_t now) { now_ = now; }

    long ArticlesRemoved() const { return articlesRemoved_; }
    long long BytesRemoved() const { return bytesRemoved_; }

private:
    enum class Phase { Start, NextGroup, Articles, Done };

    void StartGroup(const std::string& name);
    void ExpireArticle(long number);
    void EndGroup();
    void Log(const std::string& line) const;
    long Today() const;

    std::string newsDir_;
    std::string indexPath_;
    ExpireLimits defaults_;
    LogFn log_;
    std::time_t now_ = 0;

    Phase phase_ = Phase::Start;
    long total_ = 0;
    long ordinal_ = 0;  // the "G%05d" entry handled last

    // The group in progress.
    std::string group_;
    std::string groupDir_;
    ExpireLimits limits_;
    long ageLimitDay_ = 0;
    long condLimitDay_ = 0;
    std::vector<long> numbers_;  // index files between Low and High, ascending
    std::size_t nextArticle_ = 0;
    long firstKept_ = 0;

    long articlesRemoved_ = 0;
    long long bytesRemoved_ = 0;
};

}  // namespace store
