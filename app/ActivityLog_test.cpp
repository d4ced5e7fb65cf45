#include "app/ActivityLog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tests/util/TestUtil.h"

namespace {

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved_;
    bool hadTz_ = false;
};

using ActivityLogTest = UtcZone;

TEST_F(ActivityLogTest, DateHasFixedWidthEnglishForm) {
    const struct {
        std::time_t when;
        const char* want;
    } cases[] = {
        {1796708499, "Tue Dec 08 05:41:39 2026"},
        {1799017509, "Sun Jan 03 23:05:09 2027"},
        {0, "Thu Jan 01 00:00:00 1970"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.want, ActivityLog::FormatTime(c.when)) << c.when;
        EXPECT_EQ(24u, ActivityLog::FormatTime(c.when).size()) << c.when;
    }
}

TEST_F(ActivityLogTest, FileGetsDatedLinesWithCrLfAppended) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "quorvel.log", "earlier run\r\n");
    ActivityLog log(dir / "quorvel.log");
    EXPECT_EQ("Tue Dec 08 05:41:39 2026:[QV] one", log.Add("[QV] one", 1796708499));
    log.Add("[1.2.3.4] two", 1796708500);
    EXPECT_EQ(
        "earlier run\r\n"
        "Tue Dec 08 05:41:39 2026:[QV] one\r\n"
        "Tue Dec 08 05:41:40 2026:[1.2.3.4] two\r\n",
        testutil::ReadFile(dir / "quorvel.log"));
}

TEST_F(ActivityLogTest, AMovedLogIsStartedAfreshUnderItsName) {
    testutil::TempDir dir;
    ActivityLog log(dir / "quorvel.log");
    std::time_t now = 1796708499;
    log.SetClock([&now] { return now; });
    log.Add("[QV] before");
    ASSERT_EQ(0, std::rename((dir / "quorvel.log").c_str(), (dir / "quorvel.log.1").c_str()));
    // The name is looked up again once the second has changed.
    log.Add("[QV] after");
    ++now;
    log.Add("[QV] later");
    const std::string fresh = testutil::ReadFile(dir / "quorvel.log");
    const std::string moved = testutil::ReadFile(dir / "quorvel.log.1");
    EXPECT_NE(std::string::npos, moved.find("[QV] before"));
    EXPECT_NE(std::string::npos, moved.find("Tue Dec 08 05:41:39 2026:[QV] after"));
    EXPECT_NE(std::string::npos, fresh.find("[QV] later"));
    EXPECT_EQ(std::string::npos, fresh.find("[QV] before"));
}

TEST_F(ActivityLogTest, DeferredLinesReachTheFileInOrderOnFlush) {
    testutil::TempDir dir;
    {
        ActivityLog log(dir / "quorvel.log");
        log.SetDeferred(true);
        log.Add("[QV] one", 1796708499);
        log.Add("[QV] two", 1796708499);
        EXPECT_EQ("", testutil::ReadFile(dir / "quorvel.log"));
        log.Flush();
        EXPECT_EQ("Tue Dec 08 05:41:39 2026:[QV] one\r\nTue Dec 08 05:41:39 2026:[QV] two\r\n",
                  testutil::ReadFile(dir / "quorvel.log"));
        log.Add("[QV] three", 1796708500);
    }  // nothing is lost when the log goes
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "quorvel.log").find("[QV] three\r\n"));
}

TEST_F(ActivityLogTest, LineBreaksInsideATextCannotForgeLines) {
    testutil::TempDir dir;
    ActivityLog log(dir / "quorvel.log");
    log.Add("[QV] a\r\nThu Jan 01 00:00:00 1970:forged", 0);
    EXPECT_EQ("Thu Jan 01 00:00:00 1970:[QV] a  Thu Jan 01 00:00:00 1970:forged\r\n",
              testutil::ReadFile(dir / "quorvel.log"));
    EXPECT_EQ("[QV] a  Thu Jan 01 00:00:00 1970:forged", log.Lines().back());
}

TEST_F(ActivityLogTest, PaneKeepsTheLast101Lines) {
    testutil::TempDir dir;
    ActivityLog log(dir / "quorvel.log");
    for (int i = 1; i <= 101; ++i) log.Add("line " + std::to_string(i), 0);
    ASSERT_EQ(101u, log.Lines().size());
    EXPECT_EQ("line 1", log.Lines().front());
    log.Add("line 102", 0);
    ASSERT_EQ(101u, log.Lines().size());
    EXPECT_EQ("line 2", log.Lines().front());
    EXPECT_EQ("line 102", log.Lines().back());
    // The file is the permanent record: nothing is dropped there.
    const std::string file = testutil::ReadFile(dir / "quorvel.log");
    EXPECT_NE(std::string::npos, file.find(":line 1\r\n"));
}

TEST_F(ActivityLogTest, UnwritableFileStillShowsTheLine) {
    testutil::TempDir dir;
    ActivityLog log(dir / "missing-dir/quorvel.log");
    EXPECT_EQ("Thu Jan 01 00:00:00 1970:[QV] shown", log.Add("[QV] shown", 0));
    EXPECT_EQ(1u, log.Lines().size());
}

}  // namespace
