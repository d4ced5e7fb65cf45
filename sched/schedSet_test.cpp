#include "sched/schedSet.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "sched/Schedule.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

class SchedSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    testutil::TempDir dir;
    ::Setup setup{dir / "Quorvel.INI"};
};

TEST(SchedSetLine, EventLineFormat) {
    struct Case {
        const char *type, *day, *hour, *minute, *want;
    } cases[] = {
        {"News", "1", "10", "30", "[News] - Every Monday, at  10:30. <N11030>"},
        {"Group", "*", "**", "15", "[Group] - Daily at 15 minutes past the hour. <G***15>"},
        {"Expire", "0", "00", "00", "[Expire] - Every Sunday, at  00:00. <E00000>"},
        {"News", "6", "**", "55", "[News] - Every Saturday, at 55 minutes past the hour. <N6**55>"},
        {"Group", "3", "23", "05", "[Group] - Every Wednesday, at  23:05. <G32305>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, schedSet::EventLine(c.type, c.day, c.hour, c.minute)) << c.want;
}

TEST(SchedSetLine, Choices) {
    EXPECT_EQ(8u, schedSet::DayChoices().size());
    EXPECT_EQ("Every Day", schedSet::DayChoices().front());
    EXPECT_EQ("Sunday", schedSet::DayChoices().back());
    ASSERT_EQ(25u, schedSet::HourChoices().size());
    EXPECT_EQ("All", schedSet::HourChoices()[0]);
    EXPECT_EQ("00", schedSet::HourChoices()[1]);
    EXPECT_EQ("23", schedSet::HourChoices()[24]);
    ASSERT_EQ(12u, schedSet::MinuteChoices().size());
    EXPECT_EQ("05", schedSet::MinuteChoices()[1]);
    EXPECT_EQ("55", schedSet::MinuteChoices()[11]);
}

TEST_F(SchedSetTest, AddBuildsLinesFromTheChoices) {
    schedSet page(setup);
    page.SetupWindow();
    EXPECT_FALSE(page.ScheduleChanged());
    sdPacket& p = page.Transfer();
    struct Case {
        bool news, group, expire;
        int day, hour, minute;
        const char* want;
    } cases[] = {
        {true, false, false, 1, 11, 6, "[News] - Every Monday, at  10:30. <N11030>"},
        {false, true, false, 0, 0, 3, "[Group] - Daily at 15 minutes past the hour. <G***15>"},
        {false, false, true, 7, 1, 0, "[Expire] - Every Sunday, at  00:00. <E00000>"},
        {false, false, true, 6, 24, 11, "[Expire] - Every Saturday, at  23:55. <E62355>"},
    };
    for (const Case& c : cases) {
        p.news = c.news;
        p.group = c.group;
        p.expire = c.expire;
        p.day = c.day;
        p.hour = c.hour;
        p.minute = c.minute;
        ASSERT_TRUE(page.AddEventButton());
        EXPECT_EQ(c.want, p.events.back());
    }
    EXPECT_TRUE(page.ScheduleChanged());
}

TEST_F(SchedSetTest, ApplyRewritesSectionsTheScheduleReads) {
    setup.SetSleepTime(30);
    testutil::WriteFile(setup.IniPath(),
                        "[admin]\r\nSleepTime=30\r\n"
                        "[EVENT01]\r\nType=News\r\nDay=1\r\nHour=10\r\nMinute=30\r\n"
                        "[EVENT02]\r\nType=Group\r\nDay=*\r\nHour=**\r\nMinute=15\r\n"
                        "[EVENT03]\r\nType=Expire\r\nHour=04\r\nMinute=00\r\n");
    schedSet page(setup);
    page.SetupWindow();
    sdPacket& p = page.Transfer();
    EXPECT_EQ("30", p.interval);
    ASSERT_EQ(3u, p.events.size());
    EXPECT_EQ("[Expire] - Every Sunday, at  04:00. <E00400>", p.events[2]);  // no Day: Sunday

    // Remove the first; nothing selected removes nothing.
    page.DelEventButton();
    EXPECT_EQ(3u, p.events.size());
    p.selected = 0;
    page.DelEventButton();
    ASSERT_EQ(2u, p.events.size());
    p.news = true;
    p.day = 2;     // Tuesday
    p.hour = 9;    // "08"
    p.minute = 9;  // "45"
    page.AddEventButton();
    p.interval = "0";
    ASSERT_TRUE(page.Apply());

    EXPECT_EQ(0, setup.GetSleepTime());
    const std::string ini = setup.IniPath();
    struct Want {
        const char *section, *type, *day, *hour, *minute;
    } wants[] = {{"EVENT01", "Group", "*", "**", "15"},
                 {"EVENT02", "Expire", "0", "04", "00"},
                 {"EVENT03", "News", "2", "08", "45"}};
    for (const Want& w : wants) {
        EXPECT_EQ(w.type, profile::GetString(ini, w.section, "Type", "!")) << w.section;
        EXPECT_EQ(w.day, profile::GetString(ini, w.section, "Day", "!")) << w.section;
        EXPECT_EQ(w.hour, profile::GetString(ini, w.section, "Hour", "!")) << w.section;
        EXPECT_EQ(w.minute, profile::GetString(ini, w.section, "Minute", "!")) << w.section;
    }
    EXPECT_EQ("!", profile::GetString(ini, "EVENT04", "Type", "!"));

    // The schedule reads back what the page wrote.
    Schedule s(ini, [] { return std::time_t(1796688000); });  // Tue Dec 8 2026 0:00 UTC
    EXPECT_EQ("[SCHED] Next Trigger: December 8, 2026 8:45:00 am", s.GetNextTrigger(3));
    EXPECT_EQ("Next Event: December 8, 2026 0:15:00 am", s.NextEvent());
}

TEST_F(SchedSetTest, ApplyOfAnEmptyListRemovesAllEvents) {
    testutil::WriteFile(setup.IniPath(),
                        "[EVENT01]\r\nType=News\r\nDay=1\r\nHour=10\r\nMinute=30\r\n"
                        "[EVENT02]\r\nType=News\r\nDay=1\r\nHour=11\r\nMinute=30\r\n");
    schedSet page(setup);
    page.SetupWindow();
    page.Transfer().events.clear();
    ASSERT_TRUE(page.Apply());
    EXPECT_TRUE(profile::SectionNames(setup.IniPath()).size() <= 1u);  // only "admin" may remain
    EXPECT_EQ("No Events Scheduled", Schedule(setup.IniPath()).NextEvent());
}

// The schedule reads 98 events; a 99th line would look scheduled and never run.
TEST_F(SchedSetTest, NinetyNinthEventIsRefused) {
    schedSet page(setup);
    page.SetupWindow();
    for (int i = 0; i < 98; ++i) ASSERT_TRUE(page.AddEventButton()) << i;
    EXPECT_FALSE(page.AddEventButton());
    EXPECT_EQ(98u, page.Transfer().events.size());
}

}  // namespace
