#include "app/Server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <future>
#include <thread>

#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "settings/Profile.h"
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

// Two servers in one process, each on a thread of its own with its own home:
// nothing of one reaches the other (no shared state but the files named).
TEST(Servers, TwoInOneProcessServeTheirOwnStores) {
    struct Home {
        testutil::TempDir dir;
        int port = testutil::FreePort();
        std::string group;
    } homes[2];
    homes[0].group = "alpha.one";
    homes[1].group = "beta.two";
    for (Home& h : homes) {
        testutil::WriteHome(h.dir.Path(), h.port);
        profile::WriteString(h.dir / "Quorvel.INI", "admin", "NewsPath", h.dir / "news/");
        h.dir.Write("news/newsrc.ini",
                    "[Groups]\nTotal=1\nG00001=" + h.group + "\n[" + h.group +
                        "]\nLocal=Yes\nAllowPost=Yes\nLow=1\nHigh=0\nAddDate=20240101\n");
        h.dir.Write("news/" + h.group + "/.keep", "");
    }

    struct Running {
        std::thread thread;
        std::promise<Server*> ready;
        testutil::RecordingShell shell;
    } running[2];
    for (int i = 0; i < 2; ++i) {
        Running& r = running[i];
        ServerOptions o;
        o.home = homes[i].dir.Path();
        o.version = "test";
        o.directory = homes[i].dir.Path();
        r.thread = std::thread([&r, o] {
            Server server(r.shell, o);
            if (!server.Start()) {
                r.ready.set_value(nullptr);
                return;
            }
            for (int n = 0; n < 200 && !server.Started(); ++n) server.Loop().RunOnce(10);
            r.ready.set_value(&server);
            server.Run();
        });
    }
    Server* servers[2] = {};
    for (int i = 0; i < 2; ++i) {
        auto ready = running[i].ready.get_future();
        ASSERT_EQ(std::future_status::ready, ready.wait_for(std::chrono::seconds(10)));
        servers[i] = ready.get();
        ASSERT_NE(nullptr, servers[i]);
    }

    for (int i = 0; i < 2; ++i) {
        testutil::LineClient c;
        ASSERT_TRUE(c.Connect(homes[i].port)) << i;
        EXPECT_EQ(0u, c.ReadLine().value_or("").rfind("200 ", 0)) << i;
        for (int j = 0; j < 2; ++j) {
            c.Send("GROUP " + homes[j].group + "\r\n");
            const std::string reply = c.ReadLine().value_or("");
            EXPECT_EQ(i == j ? "211" : "411", reply.substr(0, 3)) << i << " " << reply;
        }
        c.Send("QUIT\r\n");
        EXPECT_EQ("205 .", c.ReadLine().value_or(""));
    }
    for (int i = 0; i < 2; ++i) {
        servers[i]->Stop();
        running[i].thread.join();
        EXPECT_TRUE(running[i].shell.Logged("[127.0.0.1] C:GROUP " + homes[i].group)) << i;
        const std::string log = homes[i].dir.Read("quorvel.log");
        EXPECT_NE(std::string::npos,
                  log.find("Serving newsreaders on port " + std::to_string(homes[i].port)));
        EXPECT_EQ(std::string::npos, log.find("port " + std::to_string(homes[1 - i].port)));
    }
}

}  // namespace
