#include "sched/ChildProcess.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>

#include "net/EventLoop.h"

namespace {

// Hosts block the signals they read from a descriptor (SIGTERM, SIGHUP, ...);
// a child that kept that mask could not be ended by Kill's SIGTERM.
TEST(ChildProcessesTest, ChildrenDoNotInheritBlockedSignals) {
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&blocked, s);
    ASSERT_EQ(0, ::pthread_sigmask(SIG_BLOCK, &blocked, &old));
    EventLoop loop;
    ChildProcesses children(loop);
    std::optional<std::string> output;
    ASSERT_NE(0, children.Start({"grep", "SigBlk", "/proc/self/status"},
                                [&](int, std::string out) { output = std::move(out); }));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!output && std::chrono::steady_clock::now() < end) loop.RunOnce(10);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(output);
    EXPECT_EQ("SigBlk:\t0000000000000000\n", *output);
}

}  // namespace
