#include "sched/TimeManager.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace {

class Target : public MessageTarget {
public:
    using MessageTarget::MessageTarget;
    bool HandleMessage(int message, WPARAM, LPARAM) override {
        got.push_back(message);
        return true;
    }
    std::vector<int> got;
};

// Ticks on which the target received message, over the given ticks; at
// each tick first runs the optional step (tick number from 1).
template <typename Step>
std::vector<int> FiringTicks(EventLoop& loop, TimeManager& tm, Target& t, int ticks, Step step) {
    std::vector<int> fired;
    for (int tick = 1; tick <= ticks; ++tick) {
        step(tick);
        t.got.clear();
        tm.EvTimer(1);
        loop.RunOnce(0);
        if (!t.got.empty()) fired.push_back(tick);
    }
    return fired;
}

class TimeManagerTest : public ::testing::Test {
protected:
    EventLoop loop;
    TimeManager tm{loop};
    Target target{loop};
};

TEST_F(TimeManagerTest, PeriodsAndResets) {
    const struct {
        const char* name;
        int period;
        int resetAt;  // the reset comes after this many ticks (0: none)
        std::vector<int> want;
    } cases[] = {
        {"period 5", 5, 0, {5, 10, 15}},
        {"reset after the 4th tick", 5, 4, {9, 14}},
        {"period 1", 1, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"period 0", 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"period 60", 60, 0, {}},
    };
    for (const auto& c : cases) {
        tm.Activate();
        ASSERT_TRUE(tm.TimerSet(&target, 4014, c.period));
        const auto fired = FiringTicks(loop, tm, target, 15, [&](int tick) {
            if (tick == c.resetAt + 1 && c.resetAt > 0) {
                EXPECT_TRUE(tm.ResetTimer(&target, 4014));
            }
        });
        EXPECT_EQ(c.want, fired) << c.name;
    }
}

TEST_F(TimeManagerTest, MessagesArePostedNotSent) {
    tm.Activate();
    tm.TimerSet(&target, 3016, 1);
    tm.EvTimer(1);
    EXPECT_TRUE(target.got.empty());
    loop.RunOnce(0);
    EXPECT_EQ(std::vector<int>{3016}, target.got);
    EXPECT_EQ(1, tm.Entries()[0].fired);
}

TEST_F(TimeManagerTest, KillStatusAndResetOfUnknownPairs) {
    tm.Activate();
    EXPECT_FALSE(tm.TimerKill(&target, 4010));
    EXPECT_FALSE(tm.ResetTimer(&target, 4010));
    EXPECT_FALSE(tm.CheckStatus(&target, 4010));
    for (const auto& e : tm.Entries()) EXPECT_EQ(0, e.active);

    ASSERT_TRUE(tm.TimerSet(&target, 4010, 60));
    EXPECT_TRUE(tm.CheckStatus(&target, 4010));
    EXPECT_FALSE(tm.CheckStatus(&target, 4010));  // now inactive
    EXPECT_TRUE(tm.TimerKill(&target, 4010));     // matches inactive entries too
}

TEST_F(TimeManagerTest, TableOfThirtyAndLowestFreeEntryReused) {
    tm.Activate();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(tm.TimerSet(&target, 5000 + i, 5)) << i;
    EXPECT_FALSE(tm.TimerSet(&target, 6000, 5));
    ASSERT_TRUE(tm.TimerKill(&target, 5007));
    ASSERT_TRUE(tm.TimerKill(&target, 5003));
    ASSERT_TRUE(tm.TimerSet(&target, 6001, 5));
    EXPECT_EQ(6001, tm.Entries()[3].message);
    ASSERT_TRUE(tm.TimerSet(&target, 6002, 5));
    EXPECT_EQ(6002, tm.Entries()[7].message);
    EXPECT_FALSE(tm.TimerSet(&target, 6003, 5));
}

TEST_F(TimeManagerTest, SamePairTwiceMakesTwoTimers) {
    tm.Activate();
    tm.TimerSet(&target, 4013, 1);
    tm.TimerSet(&target, 4013, 1);
    tm.EvTimer(1);
    loop.RunOnce(0);
    EXPECT_EQ((std::vector<int>{4013, 4013}), target.got);
}

TEST_F(TimeManagerTest, TargetGoneWithoutKillLosesItsMessages) {
    tm.Activate();
    auto gone = std::make_unique<Target>(loop);
    tm.TimerSet(gone.get(), 4014, 1);
    tm.TimerSet(&target, 4010, 1);
    gone.reset();
    tm.EvTimer(1);
    loop.RunOnce(0);
    EXPECT_EQ(std::vector<int>{4010}, target.got);
}

TEST_F(TimeManagerTest, TheLoopTickDrivesIt) {
    tm.Activate();
    tm.TimerSet(&target, 3016, 1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (target.got.empty() && std::chrono::steady_clock::now() < end) loop.RunOnce(100);
    EXPECT_EQ(std::vector<int>{3016}, target.got);
}

}  // namespace
