#include "net/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

class Log : public MessageTarget {
public:
    Log(EventLoop& loop, std::vector<int>& out, int tag)
        : MessageTarget(loop), out_(out), tag_(tag) {}
    bool HandleMessage(int message, WPARAM, LPARAM) override {
        out_.push_back(tag_ * 1000 + message);
        return true;
    }

private:
    std::vector<int>& out_;
    int tag_;
};

TEST(EventLoop, PostedMessagesRunInOrderAndDeadTargetsAreSkipped) {
    EventLoop loop;
    std::vector<int> got;
    Log a(loop, got, 1);
    auto b = std::make_unique<Log>(loop, got, 2);
    a.Post(1);
    b->Post(1);
    a.Post(2);
    b->Post(2);
    b.reset();
    a.Post(3);
    loop.RunOnce(0);
    EXPECT_EQ((std::vector<int>{1001, 1002, 1003}), got);
}

TEST(EventLoop, OneShotTimersRunOnceInDueOrderAndCancelWorks) {
    EventLoop loop;
    std::vector<int> got;
    loop.After(30, [&] { got.push_back(2); });
    loop.After(0, [&] { got.push_back(1); });
    const int cancelled = loop.After(10, [&] { got.push_back(9); });
    loop.Cancel(cancelled);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.size() < 2 && std::chrono::steady_clock::now() < end) loop.RunOnce(50);
    for (int i = 0; i < 3; ++i) loop.RunOnce(20);
    EXPECT_EQ((std::vector<int>{1, 2}), got);
}

TEST(EventLoop, PostFromThreadWakesTheLoopInOrder) {
    EventLoop loop;
    std::vector<int> got;
    std::thread worker([&loop, &got] {
        for (int i = 0; i < 3; ++i) loop.PostFromThread([i, &got] { got.push_back(i); });
    });
    worker.join();
    // Without the wake-up, a wait of -1 would not return before the tick.
    const auto start = std::chrono::steady_clock::now();
    while (got.size() < 3) loop.RunOnce(-1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ((std::vector<int>{0, 1, 2}), got);
}

TEST(EventLoop, RemoteQueueRefusesOnceTheLoopIsGone) {
    std::shared_ptr<EventLoop::RemoteQueue> remote;
    {
        EventLoop loop;
        remote = loop.Remote();
        EXPECT_TRUE(remote->Post([] {}));
    }
    EXPECT_FALSE(remote->Post([] {}));
}

TEST(EventLoop, PassEndHandlersRunAfterThePassesMessages) {
    EventLoop loop;
    std::vector<std::string> order;
    struct Target : MessageTarget {
        using MessageTarget::MessageTarget;
        std::vector<std::string>* order = nullptr;
        bool HandleMessage(int m, WPARAM, LPARAM) override {
            order->push_back("msg" + std::to_string(m));
            return true;
        }
    } target(loop);
    target.order = &order;
    int id = 0;
    id = loop.AddPassEnd([&] {
        order.push_back("end");
        loop.RemovePassEnd(id);  // a handler may remove itself
    });
    target.Post(1);
    target.Post(2);
    loop.RunOnce(0);
    loop.RunOnce(0);
    EXPECT_EQ((std::vector<std::string>{"msg1", "msg2", "end"}), order);
}

// Two descriptors ready in one batch: whichever handler runs first closes
// the other and opens a new descriptor, which gets the closed one's number,
// and watches it. The batch still holds the closed descriptor's readiness;
// it must reach neither the old handler nor the new one, whose descriptor
// has nothing to read.
TEST(EventLoop, ReadinessOfAClosedDescriptorSkipsItsReusedNumber) {
    EventLoop loop;
    int fds[2] = {eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC), eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC)};
    ASSERT_GE(fds[0], 0);
    ASSERT_GE(fds[1], 0);
    std::vector<std::string> calls;
    int reused = -1;
    const auto handler = [&](int self) {
        return [&, self](std::uint32_t) {
            calls.push_back("old " + std::to_string(self));
            if (reused >= 0) return;
            const int other = fds[1 - self];
            loop.Unwatch(other);
            close(other);
            reused = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // not readable
            ASSERT_EQ(other, reused);
            loop.Watch(reused, EPOLLIN, [&](std::uint32_t) { calls.push_back("new"); });
        };
    };
    ASSERT_TRUE(loop.Watch(fds[0], EPOLLIN, handler(0)));
    ASSERT_TRUE(loop.Watch(fds[1], EPOLLIN, handler(1)));
    loop.RunOnce(0);
    ASSERT_EQ(1u, calls.size());
    for (int i = 0; i < 3; ++i) loop.RunOnce(0);  // the survivor stays readable
    for (const std::string& call : calls) EXPECT_NE("new", call);
    EXPECT_GE(calls.size(), 2u);
    for (int fd : fds) close(fd);
}

TEST(EventLoop, TickHandlersRunAboutOnceASecond) {
    EventLoop loop;
    int ticks = 0;
    const int id = loop.AddTick([&] { ++ticks; });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1300);
    while (std::chrono::steady_clock::now() < end) loop.RunOnce(100);
    EXPECT_EQ(1, ticks);
    loop.RemoveTick(id);
}

// A handler that runs the loop itself would handle messages and readiness
// in the middle of its own work: the loop refuses, whether the nested pass
// comes from a posted message, a timer or a descriptor.
TEST(EventLoopDeathTest, RunOnceInsideAHandlerAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Nesting : MessageTarget {
        using MessageTarget::MessageTarget;
        bool HandleMessage(int, WPARAM, LPARAM) override {
            Loop().RunOnce(0);
            return true;
        }
    };
    const auto nested = [](int source) {
        EventLoop loop;
        Nesting t(loop);
        if (source == 0) t.Post(1);
        if (source == 1) loop.After(0, [&loop] { loop.RunOnce(0); });
        if (source == 2) loop.PostFromThread([&loop] { loop.RunOnce(0); });
        for (int i = 0; i < 10; ++i) loop.RunOnce(10);
    };
    for (int source = 0; source < 3; ++source)
        EXPECT_DEATH(nested(source), "RunOnce called from inside a handler") << source;
}

}  // namespace
