// The server binary, started headless in a temporary home and spoken to over
// real sockets: NNTP for readers, "quorvel ctl" for the owner.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "core/Version.h"
#include "settings/Profile.h"
#include "tests/util/TestUtil.h"

namespace {

using namespace std::chrono_literals;
using testutil::LineClient;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = testutil::FreePort();
        testutil::WriteHome(home_.Path(), port_);
        ASSERT_TRUE(server_.Start(QV_BINARY, home_.Path(), port_)) << home_.Read("stdout.txt");
    }

    // "quorvel --home HOME ctl ARGS": exit code, and what it printed.
    int Ctl(const std::string& args, std::string* out = nullptr) {
        return testutil::RunCommand(
            std::string(QV_BINARY) + " --home " + home_.Path() + " ctl " + args + " 2>&1", out);
    }

    std::string Status() {
        std::string out;
        Ctl("status", &out);
        return out;
    }

    // Readers still listed in the tree (closed ones go at the 5-second tick).
    bool WaitNoReaders() {
        const auto end = std::chrono::steady_clock::now() + 8s;
        while (std::chrono::steady_clock::now() < end) {
            if (Status().find("  IP: ") == std::string::npos) return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    std::unique_ptr<LineClient> Reader() {
        auto c = std::make_unique<LineClient>();
        if (!c->Connect(port_)) return nullptr;
        return c;
    }

    testutil::TempDir home_;
    int port_ = 0;
    testutil::ServerProcess server_;
};

const std::string kGreeting = "200 Quorvel Ready - posting allowed ";

TEST_F(ServerTest, GreetingRepliesAndQuit) {
    auto c = Reader();
    ASSERT_TRUE(c);
    EXPECT_EQ(kGreeting, c->ReadLine().value_or("<none>"));
    const struct {
        const char* command;
        const char* reply;
    } cases[] = {
        {"FOO\r\n", "500 Command not recognized"},
        {"group no.such.group\r\n", "411 No such group."},
        {"SLAVE\r\n", "202 Slave Status Noted."},
    };
    for (const auto& t : cases) {
        ASSERT_TRUE(c->Send(t.command));
        EXPECT_EQ(t.reply, c->ReadLine().value_or("<none>")) << t.command;
    }
    ASSERT_TRUE(c->Send("QUIT\r\n"));
    EXPECT_EQ("205 .", c->ReadLine().value_or("<none>"));
    EXPECT_TRUE(c->WaitClosed());
}

TEST_F(ServerTest, PipelinedAndSplitCommandsAreAnsweredInOrder) {
    ASSERT_EQ(0, Ctl("addgroup local.test"));
    auto c = Reader();
    ASSERT_TRUE(c);
    ASSERT_EQ(kGreeting, c->ReadLine().value_or("<none>"));
    ASSERT_TRUE(c->Send("GROUP local.test\r\nFOO\r\nGROUP no.such\r\nSLAVE\r\n"));
    EXPECT_EQ(0u, c->ReadLine().value_or("<none>").rfind("211 0 2 1 local.test", 0));
    EXPECT_EQ("500 Command not recognized", c->ReadLine().value_or("<none>"));
    EXPECT_EQ("411 No such group.", c->ReadLine().value_or("<none>"));
    EXPECT_EQ("202 Slave Status Noted.", c->ReadLine().value_or("<none>"));

    // One command in three pieces, with pauses between them.
    ASSERT_TRUE(c->Send("GRO"));
    EXPECT_FALSE(c->ReadLine(300ms).has_value());
    ASSERT_TRUE(c->Send("UP local.test\r"));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(c->Send("\n"));
    EXPECT_EQ(0u, c->ReadLine().value_or("<none>").rfind("211 0 2 1 local.test", 0));
}

TEST_F(ServerTest, FiveHundredReadersAndThe501stIsClosedWithoutReply) {
    ASSERT_TRUE(WaitNoReaders());  // the start-up probe has been reaped
    std::vector<std::unique_ptr<LineClient>> readers;
    for (int i = 0; i < 500; ++i) {
        auto c = Reader();
        ASSERT_TRUE(c) << i;
        readers.push_back(std::move(c));
    }
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(kGreeting, readers[static_cast<std::size_t>(i)]->ReadLine(10s).value_or("<none>"))
            << i;

    LineClient extra;
    ASSERT_TRUE(extra.Connect(port_));
    EXPECT_EQ("", extra.ReadUntilClose(5s));
    EXPECT_TRUE(extra.WaitClosed(1s));

    // Still serving those it has.
    ASSERT_TRUE(readers[499]->Send("SLAVE\r\n"));
    EXPECT_EQ("202 Slave Status Noted.", readers[499]->ReadLine().value_or("<none>"));

    // A reader that leaves frees its place within one reaping tick.
    ASSERT_TRUE(readers[0]->Send("QUIT\r\n"));
    EXPECT_EQ("205 .", readers[0]->ReadLine().value_or("<none>"));
    bool served = false;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!served && std::chrono::steady_clock::now() < end) {
        LineClient next;
        ASSERT_TRUE(next.Connect(port_));
        served = next.ReadLine(2s).value_or("") == kGreeting;
        if (!served) std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(served);
}

TEST_F(ServerTest, CtlStatusAndGroups) {
    const std::string status = Status();
    EXPECT_NE(std::string::npos, status.find("Bytes Sent: 0k\n")) << status;
    EXPECT_NE(std::string::npos, status.find("System Mem Usage:  ")) << status;
    EXPECT_NE(std::string::npos, status.find("Serving on Port: " + std::to_string(port_) + "\n"))
        << status;
    EXPECT_NE(std::string::npos, status.find("Max Client Connections: 500\n")) << status;
    EXPECT_NE(std::string::npos, status.find("Server Connections\n")) << status;

    std::string out;
    EXPECT_EQ(0, Ctl("addgroup local.test", &out)) << out;
    EXPECT_EQ(0, Ctl("addgroup local.quiet noposting desc Quiet  talk, here", &out)) << out;
    EXPECT_EQ(2, Ctl("addgroup local.x desc", &out)) << out;
    EXPECT_EQ("Quiet talk, here", profile::GetString(home_.Path() + "/news/newsrc.ini",
                                                     "local.quiet", "Description", ""));
    EXPECT_EQ(3, Ctl("addgroup LOCAL.TEST", &out));
    EXPECT_EQ("ERROR: Group already exists. Add Aborted.\n", out);
    EXPECT_EQ(3, Ctl("addgroup ../escape", &out)) << out;
    EXPECT_EQ(0, Ctl("groups", &out));
    EXPECT_EQ("local.test 1 1 local posting\nlocal.quiet 1 1 local noposting\n", out);

    // Deleting is refused while a feed session holds the lock.
    home_.Write("news/feed01.lck", "**");
    EXPECT_EQ(3, Ctl("delgroup local.quiet", &out));
    EXPECT_EQ(
        "Operation Unsuccessful: Modification are not allowed while a server session is in "
        "progress.\n",
        out);
    ::unlink((home_ / "news/feed01.lck").c_str());
    EXPECT_EQ(0, Ctl("delgroup local.quiet", &out));
    EXPECT_EQ("Operation Complete: Newsgroup has been removed.\n", out);
    EXPECT_EQ(3, Ctl("delgroup local.quiet", &out));
    EXPECT_EQ(0, Ctl("groups", &out));
    EXPECT_EQ("local.test 1 1 local posting\n", out);

    EXPECT_EQ(2, Ctl("frobnicate", &out));
    EXPECT_NE(std::string::npos, out.find("unknown command: frobnicate")) << out;
}

TEST_F(ServerTest, CtlQuitEndsTheServerWithCodeZero) {
    std::string out;
    EXPECT_EQ(0, Ctl("quit", &out));
    EXPECT_EQ("Quorvel is shutting down.\n", out);
    // Already gone: Stop's signal finds nobody, the exit status is the server's own.
    EXPECT_EQ(0, server_.Stop(0));
    EXPECT_EQ(1, Ctl("status", &out));
    EXPECT_EQ("quorvel: no server is running in " + home_.Path() + "\n", out);
}

TEST_F(ServerTest, SigtermEndsTheServerWithCodeZero) {
    auto c = Reader();  // a connected reader does not keep it alive
    ASSERT_TRUE(c);
    EXPECT_EQ(0, server_.Stop(SIGTERM));
    const std::string log = home_.Read("quorvel.log");
    EXPECT_NE(std::string::npos, log.find(":[QV] Quorvel stopped\r\n")) << log;
    EXPECT_NE(0, ::access((home_ / "quorvel.ctl").c_str(), F_OK));
}

TEST_F(ServerTest, SecondServerInTheSameHomeIsRefusedStaleSocketIsNot) {
    std::string out;
    EXPECT_EQ(1, testutil::RunCommand(std::string(QV_BINARY) + " --home " + home_.Path() +
                                          " --headless </dev/null 2>&1 >/dev/null",
                                      &out));
    EXPECT_EQ("quorvel: a server is already running in " + home_.Path() + "\n", out);

    // A crash leaves quorvel.ctl behind; the next start replaces it.
    EXPECT_EQ(128 + SIGKILL, server_.Stop(SIGKILL));
    ASSERT_EQ(0, ::access((home_ / "quorvel.ctl").c_str(), F_OK));
    testutil::ServerProcess again;
    ASSERT_TRUE(again.Start(QV_BINARY, home_.Path(), port_)) << home_.Read("stdout.txt");
    EXPECT_EQ(0, Ctl("status", &out)) << out;
    EXPECT_EQ(0, again.Stop(SIGTERM));
}

TEST(Cli, HelpVersionAndBadOptions) {
    std::string out;
    const std::string bin = QV_BINARY;
    // What the About box shows, from the build's one version header.
    EXPECT_EQ(0, testutil::RunCommand(bin + " --version", &out));
    EXPECT_EQ(
        "Quorvel Version 1.0, Release A, Build 2\n" + std::string(version::kLegalNotice) + "\n",
        out);
    // Help needs no running server.
    EXPECT_EQ(0, testutil::RunCommand(bin + " --home /nonexistent/qv ctl help 2>&1", &out));
    EXPECT_NE(std::string::npos, out.find("  reload ")) << out;
    EXPECT_EQ(0, testutil::RunCommand(bin + " --help", &out));
    EXPECT_NE(std::string::npos, out.find("Usage: quorvel [--home DIR] [--headless]")) << out;
    EXPECT_EQ(2, testutil::RunCommand(bin + " --frobnicate 2>&1", &out));
    EXPECT_EQ(0u, out.rfind("quorvel: unknown option '--frobnicate'\n", 0)) << out;
    EXPECT_EQ(2, testutil::RunCommand(bin + " ctl 2>&1", &out));
    EXPECT_EQ(1, testutil::RunCommand(bin + " --home /nonexistent/qv ctl status 2>&1", &out));
    EXPECT_EQ(0u, out.rfind("quorvel: cannot use /nonexistent/qv as home", 0)) << out;
}

TEST(Cli, FirstStartWithoutTerminalWritesSafeDefaults) {
    testutil::TempDir home;
    const int port = testutil::FreePort();
    // Only the port, so the test need not bind port 119.
    home.Write("Quorvel.INI", "[admin]\nListenPort=" + std::to_string(port) + "\n");
    testutil::ServerProcess server;
    ASSERT_TRUE(server.Start(QV_BINARY, home.Path(), port)) << home.Read("stdout.txt");
    EXPECT_EQ(0, server.Stop(SIGINT));
    EXPECT_EQ("127.0.0.1\n", home.Read("allowip.ini"));
    const std::string ini = home.Read("Quorvel.INI");
    EXPECT_NE(std::string::npos, ini.find("NewsPath=news/")) << ini;
    EXPECT_NE(std::string::npos, ini.find("ListenPort=" + std::to_string(port))) << ini;
    const std::string out = home.Read("stdout.txt");
    EXPECT_NE(std::string::npos, out.find("[QV] No upstream news server is configured")) << out;
    EXPECT_EQ(0, ::access((home / "news/POSTS").c_str(), F_OK));
}

}  // namespace
