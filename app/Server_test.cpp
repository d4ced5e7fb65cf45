#include "app/Server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <thread>

#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "tests/util/TestUtil.h"

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(nullptr, ::getcwd(buf, sizeof buf));
        oldCwd_ = buf;
        ASSERT_EQ(0, ::chdir(home_.Path().c_str()));
        port_ = testutil::FreePort();
        testutil::WriteHome(home_.Path(), port_);
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(oldCwd_.c_str())); }

    ServerOptions Options() const {
        ServerOptions o;
        o.home = home_.Path();
        o.version = "test";
        o.directory = home_.Path();
        return o;
    }

    testutil::TempDir home_;
    std::string oldCwd_;
    int port_ = 0;
    testutil::RecordingShell shell_;
};

TEST_F(ServerTest, StopFromAnotherThreadEndsRunAsExitDoes) {
    Server server(shell_, Options());
    ASSERT_TRUE(server.Start());
    for (int i = 0; i < 100 && !server.Started(); ++i) server.Loop().RunOnce(10);
    EXPECT_TRUE(server.Controller().Listening());
    // Asked before the loop runs: taken up as soon as it does.
    std::thread([&server] { server.Stop(); }).join();
    server.Run();
    EXPECT_TRUE(shell_.Logged("[QV] Quorvel test starting in " + home_.Path()));
    EXPECT_TRUE(shell_.Logged("[QV] Quorvel stopped"));
}

TEST_F(ServerTest, SecondServerInTheSameHomeDoesNotStart) {
    Server first(shell_, Options());
    ASSERT_TRUE(first.Start());
    testutil::RecordingShell otherShell;
    Server second(otherShell, Options());
    std::string why;
    EXPECT_FALSE(second.Start(&why));
    EXPECT_EQ("a server is already running in " + home_.Path(), why);
}

}  // namespace
