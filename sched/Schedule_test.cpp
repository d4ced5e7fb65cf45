#include "sched/Schedule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "tests/util/TestUtil.h"

namespace {

// The tests speak UTC so that the local-time rules give fixed answers.
class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    std::string Ini(std::string_view text) {
        dir.Write("Quorvel.INI", text);
        return dir / "Quorvel.INI";
    }
    testutil::TempDir dir;
};

std::time_t At(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return ::timegm(&t);
}

// December 2026: the 6th is a Sunday, the 7th a Monday.
TEST_F(ScheduleTest, NextTriggerRule) {
    struct Case {
        const char* what;
        std::time_t now;
        long day, hour, minute;
        std::time_t want;
    } cases[] = {
        {"daily, before its time", At(2026, 12, 7, 9, 30), -1, 10, 30, At(2026, 12, 7, 10, 30)},
        {"daily, in the minute it fired", At(2026, 12, 7, 10, 30, 20), -1, 10, 30,
         At(2026, 12, 8, 10, 30)},
        {"daily, one second before", At(2026, 12, 7, 10, 29, 59), -1, 10, 30,
         At(2026, 12, 7, 10, 30)},
        {"weekly today, time passed", At(2026, 12, 7, 11, 0), 1, 10, 30, At(2026, 12, 14, 10, 30)},
        {"weekly, computed the day before", At(2026, 12, 6, 12, 0), 1, 10, 30,
         At(2026, 12, 7, 10, 30)},
        {"every hour, in its minute", At(2026, 12, 7, 10, 15), -1, -1, 15, At(2026, 12, 7, 11, 15)},
        {"every hour, before its minute", At(2026, 12, 7, 10, 14, 59), -1, -1, 15,
         At(2026, 12, 7, 10, 15)},
        {"every hour, after the last hour", At(2026, 12, 7, 23, 20), -1, -1, 15,
         At(2026, 12, 8, 0, 15)},
        {"every hour Mondays, Monday night", At(2026, 12, 7, 23, 20), 1, -1, 15,
         At(2026, 12, 14, 0, 15)},
        {"every hour Mondays, from Sunday", At(2026, 12, 6, 10, 20), 1, -1, 15,
         At(2026, 12, 7, 0, 15)},
        {"midnight is hour 0, not this hour", At(2026, 12, 7, 0, 0, 30), -1, 0, 0,
         At(2026, 12, 8, 0, 0)},
        {"midnight, from the morning", At(2026, 12, 7, 10, 0), -1, 0, 0, At(2026, 12, 8, 0, 0)},
        {"Sunday is 7, week wraps", At(2026, 12, 6, 11, 0), 7, 10, 0, At(2026, 12, 13, 10, 0)},
        {"Sunday from Saturday night", At(2026, 12, 12, 23, 59, 59), 7, 0, 0,
         At(2026, 12, 13, 0, 0)},
        {"year wraps", At(2026, 12, 31, 23, 50), -1, 0, 5, At(2027, 1, 1, 0, 5)},
        {"month wraps, weekly", At(2027, 2, 27, 12, 0), 1, 8, 0, At(2027, 3, 1, 8, 0)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Schedule::FormatTime(c.want),
                  Schedule::FormatTime(Schedule::NextTrigger(c.now, c.day, c.hour, c.minute)))
            << c.what;
}

TEST_F(ScheduleTest, DateText) {
    struct Case {
        std::time_t when;
        const char* want;
    } cases[] = {
        {At(2026, 12, 8, 10, 30), "December 8, 2026 10:30:00 am"},
        {At(2027, 1, 1, 0, 5), "January 1, 2027 0:05:00 am"},
        {At(2026, 6, 30, 12, 0), "June 30, 2026 12:00:00 pm"},
        {At(2026, 9, 9, 13, 7, 9), "September 9, 2026 1:07:09 pm"},
        {At(2026, 5, 1, 23, 59, 58), "May 1, 2026 11:59:58 pm"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, Schedule::FormatTime(c.when));
}

TEST_F(ScheduleTest, LoadingReadsFieldsAsDesigned) {
    const std::string ini =
        Ini("[EVENT01]\r\nType=News\r\nDay=0\r\nHour=10\r\nMinute=30\r\n"
            "[event02]\r\ntype=Group\r\nHour=**\r\nMinute=15\r\n"  // no Day: Sunday
            "[EVENT03]\r\nType=Expire\r\nDay=*\r\nHour=xx\r\nMinute=\r\n"
            "[EVENT04]\r\nType=News\r\nDay=3\r\nHour=07\r\nMinute=05\r\n");
    Schedule s(ini, [] { return At(2026, 12, 7, 12, 0); });
    struct Case {
        int n;
        char kind;
        long day, hour, minute;
    } cases[] = {{1, 'N', 7, 10, 30}, {2, 'G', 7, -1, 15}, {3, 'E', -1, 0, 0}, {4, 'N', 3, 7, 5}};
    for (const Case& c : cases) {
        const ScheduleEvent& e = s.Event(c.n);
        EXPECT_TRUE(e.active) << c.n;
        EXPECT_EQ(c.kind, e.kind) << c.n;
        EXPECT_EQ(c.day, e.day) << c.n;
        EXPECT_EQ(c.hour, e.hour) << c.n;
        EXPECT_EQ(c.minute, e.minute) << c.n;
    }
    EXPECT_FALSE(s.Event(5).active);
    EXPECT_EQ("[SCHED] Next Trigger: December 13, 2026 10:30:00 am", s.GetNextTrigger(1));
    const std::vector<std::string> lines = {"[SCHED] Next Trigger: December 13, 2026 10:30:00 am",
                                            "[SCHED] Next Trigger: December 13, 2026 0:15:00 am",
                                            "[SCHED] Next Trigger: December 8, 2026 0:00:00 am",
                                            "[SCHED] Next Trigger: December 9, 2026 7:05:00 am"};
    EXPECT_EQ(lines, s.TriggerLines());
    EXPECT_EQ("*Invalid Event Index", s.GetNextTrigger(5));
    EXPECT_EQ("*Invalid Event Index", s.GetNextTrigger(0));
    EXPECT_EQ("*Invalid Event Index", s.GetNextTrigger(99));
    // Event 3 is due at the coming midnight, the earliest of all.
    EXPECT_EQ("Next Event: December 8, 2026 0:00:00 am", s.NextEvent());
}

TEST_F(ScheduleTest, GapEndsTheList) {
    const std::string ini =
        Ini("[EVENT01]\r\nType=News\r\nDay=*\r\nHour=10\r\nMinute=30\r\n"
            "[EVENT03]\r\nType=News\r\nDay=*\r\nHour=11\r\nMinute=30\r\n");
    Schedule s(ini, [] { return At(2026, 12, 7, 12, 0); });
    EXPECT_TRUE(s.Event(1).active);
    EXPECT_FALSE(s.Event(2).active);
    EXPECT_FALSE(s.Event(3).active);
}

TEST_F(ScheduleTest, NoFileNoEvents) {
    Schedule s(dir / "missing.ini");
    EXPECT_EQ("No Events Scheduled", s.NextEvent());
    EXPECT_EQ("*Invalid Event Index", s.GetNextTrigger(1));
    EXPECT_EQ(0, s.AnyTrigger());
}

TEST_F(ScheduleTest, OneEventFiresPerTickLowestFirst) {
    const std::string ini =
        Ini("[EVENT01]\r\nType=Group\r\nDay=*\r\nHour=10\r\nMinute=30\r\n"
            "[EVENT02]\r\nType=Expire\r\nDay=*\r\nHour=10\r\nMinute=30\r\n"
            "[EVENT03]\r\nType=News\r\nDay=*\r\nHour=10\r\nMinute=30\r\n"
            "[EVENT04]\r\nType=Xmas\r\nDay=*\r\nHour=10\r\nMinute=30\r\n");
    std::time_t now = At(2026, 12, 7, 9, 0);
    Schedule s(ini, [&] { return now; });
    EXPECT_EQ(0, s.AnyTrigger());
    now = At(2026, 12, 7, 10, 29, 59);
    EXPECT_EQ(0, s.AnyTrigger());
    // Due together: one per minute tick, lowest number first. The unknown
    // kind is re-armed and reports nothing.
    now = At(2026, 12, 7, 10, 30, 5);
    EXPECT_EQ(2, s.AnyTrigger());
    now = At(2026, 12, 7, 10, 31, 5);
    EXPECT_EQ(1, s.AnyTrigger());
    now = At(2026, 12, 7, 10, 32, 5);
    EXPECT_EQ(3, s.AnyTrigger());
    EXPECT_EQ(0, s.AnyTrigger());
    EXPECT_EQ(0, s.AnyTrigger());
    // Every event is re-armed for tomorrow.
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ("[SCHED] Next Trigger: December 8, 2026 10:30:00 am", s.GetNextTrigger(n)) << n;
}

TEST_F(ScheduleTest, EventDueDuringWorkFiresAtFirstTickAfter) {
    const std::string ini = Ini("[EVENT01]\r\nType=News\r\nDay=*\r\nHour=10\r\nMinute=30\r\n");
    std::time_t now = At(2026, 12, 7, 10, 0);
    Schedule s(ini, [&] { return now; });
    // The controller did not ask while a fetch ran from 10:20 to 11:47.
    now = At(2026, 12, 7, 11, 47, 12);
    EXPECT_EQ(3, s.AnyTrigger());
    EXPECT_EQ(0, s.AnyTrigger());
    EXPECT_EQ("Next Event: December 8, 2026 10:30:00 am", s.NextEvent());
}

TEST_F(ScheduleTest, OutOfRangeEventsAreIgnoredAndLogged) {
    const std::string ini =
        Ini("[EVENT01]\r\nType=News\r\nDay=*\r\nHour=25\r\nMinute=00\r\n"
            "[EVENT02]\r\nType=News\r\nDay=*\r\nHour=10\r\nMinute=75\r\n"
            "[EVENT03]\r\nType=News\r\nDay=9\r\nHour=10\r\nMinute=00\r\n"
            "[EVENT04]\r\nType=Group\r\nDay=*\r\nHour=10\r\nMinute=30\r\n");
    std::vector<std::string> log;
    std::time_t now = At(2026, 12, 7, 9, 0);
    Schedule s(
        ini, [&] { return now; }, [&](std::string_view l) { log.emplace_back(l); });
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("[SCHED] Event 01 ignored: hour 25 is out of range", log[0]);
    EXPECT_EQ("[SCHED] Event 02 ignored: minute 75 is out of range", log[1]);
    EXPECT_EQ("[SCHED] Event 03 ignored: day 9 is out of range", log[2]);
    EXPECT_EQ("[SCHED] Next Trigger: never (event ignored)", s.GetNextTrigger(1));
    // The events after them still count and fire.
    EXPECT_EQ("Next Event: December 7, 2026 10:30:00 am", s.NextEvent());
    now = At(2026, 12, 8, 1, 0);  // a day later: the broken ones never fire
    EXPECT_EQ(2, s.AnyTrigger());
    EXPECT_EQ(0, s.AnyTrigger());
}

}  // namespace
