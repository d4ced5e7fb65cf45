#include "store/Expire.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "settings/Profile.h"
#include "store/GroupIndex.h"
#include "tests/util/TestUtil.h"

using testutil::TempDir;

namespace store {
namespace {

// Noon today, so that whole days back never cross midnight (nor a DST shift).
std::time_t NoonToday() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = 12;
    tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class ExpireTest : public ::testing::Test {
protected:
    std::string News() const { return dir_->Path() + "/"; }
    void Fresh() {
        dir_ = std::make_unique<TempDir>();
        log_.clear();
    }
    std::string Index() const { return News() + "newsrc.ini"; }

    void AddGroup(int ordinal, const std::string& name, long low, long high) {
        char key[16];
        std::snprintf(key, sizeof key, "G%05d", ordinal);
        profile::WriteString(Index(), "Groups", key, name);
        profile::WriteString(Index(), "Groups", "Total", std::to_string(ordinal));
        profile::WriteString(Index(), name, "Low", std::to_string(low));
        profile::WriteString(Index(), name, "High", std::to_string(high));
        profile::WriteString(Index(), name, "AddDate", "20240101");
        profile::WriteString(Index(), name, "AddTime", "120000");
        std::filesystem::create_directories(News() + name);
    }

    // An article stored daysAgo days before today with a content file of size bytes.
    void AddArticle(const std::string& group, long n, std::size_t size, int daysAgo) {
        const std::string content = News() + group + "/id" + std::to_string(n) + "@example";
        testutil::WriteFile(content, std::string(size, 'x'));
        char name[32];
        std::snprintf(name, sizeof name, "/NEWS%010ld", n);
        const std::string index = News() + group + name;
        testutil::WriteFile(index, content + "\r\n");
        const timespec t[2] = {{NoonToday() - daysAgo * 86400L, 0},
                               {NoonToday() - daysAgo * 86400L, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, index.c_str(), t, 0));
    }

    bool Exists(const std::string& group, long n) const {
        char name[32];
        std::snprintf(name, sizeof name, "/NEWS%010ld", n);
        return std::filesystem::exists(News() + group + name);
    }

    int Run(ExpireLimits defaults = {}) {
        ExpireRun run(News(), defaults, [this](std::string_view l) { log_.emplace_back(l); });
        run.SetNow(NoonToday());
        int steps = 1;
        while (run.Step()) ++steps;
        removed_ = run.ArticlesRemoved();
        return steps;
    }

    long Low(const std::string& group) const { return profile::GetInt(Index(), group, "Low", -9); }
    long High(const std::string& group) const {
        return profile::GetInt(Index(), group, "High", -9);
    }

    std::unique_ptr<TempDir> dir_ = std::make_unique<TempDir>();
    std::vector<std::string> log_;
    long removed_ = 0;
};

TEST_F(ExpireTest, AgeRuleCountsWholeDays) {
    AddGroup(1, "comp.lang.c", 1, 4);
    AddArticle("comp.lang.c", 2, 100, 32);
    AddArticle("comp.lang.c", 3, 100, 31);
    AddArticle("comp.lang.c", 4, 100, 0);
    Run();
    EXPECT_FALSE(Exists("comp.lang.c", 2));
    EXPECT_FALSE(std::filesystem::exists(News() + "comp.lang.c/id2@example"));
    EXPECT_TRUE(Exists("comp.lang.c", 3));
    EXPECT_TRUE(Exists("comp.lang.c", 4));
    EXPECT_EQ(3, Low("comp.lang.c"));
    EXPECT_EQ(4, High("comp.lang.c"));
    EXPECT_EQ(1, removed_);
}

TEST_F(ExpireTest, GroupLimitsOverrideDefaults) {
    struct Case {
        const char* key;
        const char* value;
        std::size_t size;
        int daysAgo;
        bool removed;
    } cases[] = {
        {"ExpireSize", "0", 1, 0, true},         {"ExpireSize", "0", 0, 0, false},
        {"ExpireSize", "1", 1024, 0, false},     {"ExpireSize", "1", 1025, 0, true},
        {"ExpireAge", "5", 10, 6, true},         {"ExpireAge", "5", 10, 5, false},
        {"ExpireAge", "junk", 10, 1, true},  // present but not a number: 0 days
        {"ExpireCondAge", "10", 2048, 11, true}, {"ExpireCondAge", "10", 500, 11, false},
        {"ExpireCondAge", "10", 2048, 5, false},
    };
    for (const Case& c : cases) {
        Fresh();
        AddGroup(1, "alt.test", 1, 2);
        profile::WriteString(Index(), "alt.test", c.key, c.value);
        AddArticle("alt.test", 2, c.size, c.daysAgo);
        Run(ExpireLimits{31, 9999, 999, 1});
        EXPECT_EQ(c.removed, !Exists("alt.test", 2))
            << c.key << "=" << c.value << " size " << c.size << " age " << c.daysAgo;
    }
}

TEST_F(ExpireTest, LowBecomesFirstKeptOrZero) {
    AddGroup(1, "a.mixed", 1, 6);
    AddArticle("a.mixed", 2, 10, 40);
    AddArticle("a.mixed", 3, 10, 40);
    AddArticle("a.mixed", 4, 10, 1);
    AddArticle("a.mixed", 6, 10, 40);
    AddGroup(2, "b.allgone", 1, 3);
    AddArticle("b.allgone", 2, 10, 40);
    AddArticle("b.allgone", 3, 10, 40);
    AddGroup(3, "c.empty", 1, 1);
    Run();
    EXPECT_EQ(4, Low("a.mixed"));
    EXPECT_EQ(0, Low("b.allgone"));
    EXPECT_EQ(3, High("b.allgone"));
    EXPECT_EQ(0, Low("c.empty"));
    EXPECT_EQ(5, removed_);
}

TEST_F(ExpireTest, LogLinesAndSkippedEntries) {
    AddGroup(1, "comp.lang.c", 1, 3);
    AddArticle("comp.lang.c", 2, 700, 40);
    AddArticle("comp.lang.c", 3, 300, 40);
    AddGroup(3, "alt.test", 1, 1);  // G00002 missing: a gap
    Run();
    const std::vector<std::string> want{
        "[EXPIRE] Session Starting",           "[EXPIRE] Processing Group: comp.lang.c",
        "[EXPIRE] Processing Group: alt.test", "[EXPIRE] Articles Removed: 2",
        "[EXPIRE] Bytes Removed: 0 k",         "[EXPIRE] Finished"};
    EXPECT_EQ(want, log_);
}

TEST_F(ExpireTest, MissingIndexReportsZero) {
    Run();
    EXPECT_EQ((std::vector<std::string>{"[EXPIRE] Session Starting", "[EXPIRE] Articles Removed: 0",
                                        "[EXPIRE] Bytes Removed: 0 k", "[EXPIRE] Finished"}),
              log_);
}

TEST_F(ExpireTest, CountsOnlyWhatItRemoved) {
    AddGroup(1, "comp.lang.c", 1, 4);
    for (long n = 2; n <= 4; ++n) AddArticle("comp.lang.c", n, 2048, 40);
    ExpireRun run(News(), {}, [this](std::string_view l) { log_.emplace_back(l); });
    run.SetNow(NoonToday());
    run.Step();  // start
    run.Step();  // group set-up: the article list is taken now
    // Someone else removes an article between the listing and its turn.
    std::filesystem::remove(News() + "comp.lang.c/NEWS0000000003");
    while (run.Step()) {}
    EXPECT_EQ(2, run.ArticlesRemoved());
    EXPECT_EQ(4096, run.BytesRemoved());
    EXPECT_EQ("[EXPIRE] Bytes Removed: 4 k", log_[log_.size() - 2]);
}

TEST_F(ExpireTest, NeverDeletesFilesOutsideTheGroup) {
    AddGroup(1, "comp.lang.c", 1, 2);
    testutil::WriteFile(News() + "precious", "keep me");
    testutil::WriteFile(News() + "comp.lang.c/NEWS0000000002", News() + "precious\r\n");
    const timespec t[2] = {{NoonToday() - 90 * 86400L, 0}, {NoonToday() - 90 * 86400L, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (News() + "comp.lang.c/NEWS0000000002").c_str(), t, 0));
    Run();
    EXPECT_FALSE(Exists("comp.lang.c", 2));
    EXPECT_TRUE(std::filesystem::exists(News() + "precious"));
}

TEST_F(ExpireTest, WorksInBoundedSteps) {
    AddGroup(1, "comp.lang.c", 1, 101);
    for (long n = 2; n <= 101; ++n) AddArticle("comp.lang.c", n, 10, 40);
    const int steps = Run();
    EXPECT_EQ(100, removed_);
    // start, group set-up, the listing, 100 articles in steps, summary.
    EXPECT_GE(steps, 3 + 100 / ExpireRun::kArticlesPerStep + 1);
}

// The list changes under a running run: every group that exists through
// the whole run is expired once, and a group deleted under it (or deleted
// and added again) gets no "Low" from it, so it never comes back as a
// section without "AddDate".
TEST_F(ExpireTest, GroupsChangedUnderTheRun) {
    struct Case {
        const char* what;
        std::function<void()> change;  // made while the run is in group b
        std::vector<std::string> processed;
        long low[3];  // of a, b and c afterwards; -9: no such key
    };
    GroupIndex* index = nullptr;
    const Case cases[] = {
        {"a (done) deleted", [&] { index->RemoveGroup("a"); }, {"a", "b", "c"}, {-9, 3, 3}},
        {"b (in progress) deleted", [&] { index->RemoveGroup("b"); }, {"a", "b", "c"}, {3, -9, 3}},
        {"c (to come) deleted", [&] { index->RemoveGroup("c"); }, {"a", "b"}, {3, 3, -9}},
        {"b deleted and added again",
         [&] {
             index->RemoveGroup("b");
             AddGroup(3, "b", 1, 1);
             profile::WriteString(Index(), "b", "AddTime", "130000");
         },
         {"a", "b", "c"},
         {3, 1, 3}},
        {"d added", [&] { AddGroup(4, "d", 1, 1); }, {"a", "b", "c"}, {3, 3, 3}},
    };
    for (const Case& c : cases) {
        Fresh();
        GroupIndex groups(News());
        index = &groups;
        int ordinal = 0;
        for (const char* g : {"a", "b", "c"}) {
            AddGroup(++ordinal, g, 1, 3);
            AddArticle(g, 2, 10, 40);
            AddArticle(g, 3, 10, 1);
        }
        ExpireRun run(News(), {}, [this](std::string_view l) { log_.emplace_back(l); });
        run.SetNow(NoonToday());
        bool changed = false;
        while (run.Step()) {
            if (!changed && !log_.empty() && log_.back() == "[EXPIRE] Processing Group: b") {
                c.change();
                changed = true;
            }
        }
        std::vector<std::string> processed;
        for (const std::string& l : log_)
            if (l.starts_with("[EXPIRE] Processing Group: ")) processed.push_back(l.substr(27));
        EXPECT_EQ(c.processed, processed) << c.what;
        const std::vector<std::string> list = groups.ListGroups();
        int k = 0;
        for (const char* g : {"a", "b", "c"}) {
            EXPECT_EQ(c.low[k++], Low(g)) << c.what << ": " << g;
            // Listed, existing and having a section go together.
            const bool listed = std::find(list.begin(), list.end(), g) != list.end();
            EXPECT_EQ(listed, groups.GroupExists(g)) << c.what << ": " << g;
            EXPECT_EQ(listed, !profile::KeyNames(Index(), g).empty()) << c.what << ": " << g;
        }
    }
}

}  // namespace
}  // namespace store
