#pragma once
// The expire run: removes articles by age and size, group by group, and sets
// each group's "Low" to its lowest remaining article (0 when none remains).
//
// The run is a stepwise object so that readers are served while it works:
// the controller calls Step() from a message it posts to itself, and posts
// the next one while Step() returns true. Each step does a bounded amount of
// work (the start, one group's set-up, a slice of its directory listing, a
// handful of articles, a group's end, or the summary), so the run's cost is
// linear in the articles it looks at however they are spread over groups.
//
// The groups are those listed when the run begins, each expired once: a
// group deleted meanwhile is passed over when its turn comes, and its "Low"
// is never written (nor that of a group of the same name added again).
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

#include "store/GroupIndex.h"

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

    // Articles handled per Step(), and directory entries read per Step()
    // while a group's listing is taken.
    static constexpr int kArticlesPerStep = 64;
    static constexpr int kEntriesPerStep = 4096;
    // Lows found are written together, in one rewrite of the index, once
    // this many groups are done and at the end.
    static constexpr std::size_t kLowsPerWrite = 512;

    // newsDir ends with "/". defaults are the main INI file's "expire"
    // values (Setup::GetExpireAge ... converted with atol); log receives the
    // "[EXPIRE] ..." lines.
    ExpireRun(std::string newsDir, ExpireLimits defaults, LogFn log);
    ~ExpireRun();
    ExpireRun(const ExpireRun&) = delete;
    ExpireRun& operator=(const ExpireRun&) = delete;

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
    enum class Phase { Start, NextGroup, Listing, Articles, Done };

    void Begin();
    void StartGroup(const std::string& name);
    void ReadListing();
    void ExpireArticle(long number);
    void EndGroup();
    void CloseGroup();
    void WriteLows();
    void Log(const std::string& line) const;
    long Today() const;

    std::string newsDir_;
    std::string indexPath_;
    ExpireLimits defaults_;
    LogFn log_;
    std::time_t now_ = 0;

    Phase phase_ = Phase::Start;
    // The groups listed when the run began, each once: a group deleted or
    // added meanwhile shifts nothing.
    std::vector<std::string> groups_;
    std::size_t nextGroup_ = 0;

    // The group in progress.
    std::string group_;
    std::string identity_;  // its AddDate and AddTime when it began
    std::string groupDir_;
    int dirFd_ = -1;
    void* listing_ = nullptr;  // the DIR being read
    ExpireLimits limits_;
    long low_ = 0;
    long high_ = 0;
    long ageLimitDay_ = 0;
    long condLimitDay_ = 0;
    std::vector<long> numbers_;  // index files between Low and High, ascending
    std::size_t nextArticle_ = 0;
    long firstKept_ = 0;

    std::vector<GroupIndex::LowUpdate> lows_;
    long articlesRemoved_ = 0;
    long long bytesRemoved_ = 0;
};

}  // namespace store
