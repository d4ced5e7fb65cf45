// The server binary with a sped-up tick (QV_TICK_MS): the simple-schedule
// countdown starts a Get/Post run by itself, dialling the simulated dial-up
// entry first, against a small fake upstream on loopback; and a dial-up
// profile without NetworkManager's nmcli is reported, not fatal.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "settings/Profile.h"
#include "tests/util/TestUtil.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Just enough of an upstream for a fetch: a greeting, reader mode, no such
// group, and goodbye. Serves one connection at a time on its own thread;
// every wait is bounded by a poll time-out and the stop flag.
class FakeUpstream {
public:
    FakeUpstream() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 8) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeUpstream() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }
    int Connections() const { return connections_; }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            ++connections_;
            Talk(fd);
            ::close(fd);
        }
    }
    void Talk(int fd) {
        Send(fd, "200 fake upstream ready\r\n");
        std::string buf;
        const auto end = Clock::now() + 10s;
        while (!stop_ && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char chunk[512];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buf.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t eol; (eol = buf.find("\r\n")) != std::string::npos;) {
                const std::string line = buf.substr(0, eol);
                buf.erase(0, eol + 2);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    commands_.push_back(line);
                }
                if (line == "QUIT") {
                    Send(fd, "205 bye\r\n");
                    return;
                }
                if (line == "MODE READER")
                    Send(fd, "200 reader mode\r\n");
                else if (line.rfind("GROUP ", 0) == 0)
                    Send(fd, "411 no such group\r\n");
                else
                    Send(fd, "500 what?\r\n");
            }
        }
    }
    static void Send(int fd, const std::string& text) {
        (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }

    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

// Sets an environment variable for the server started meanwhile; the old
// value comes back when the object goes.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old, had_ = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

class ScheduleE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = testutil::FreePort();
        testutil::WriteHome(home_.Path(), port_);
    }
    void Set(const char* section, const char* key, const std::string& value) {
        profile::WriteString(home_ / "Quorvel.INI", section, key, value);
    }
    std::string Log() const { return home_.Read("quorvel.log"); }
    static int Count(const std::string& text, const std::string& part) {
        int n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + 1))
            ++n;
        return n;
    }
    // Waits (bounded) until the log holds part at least n times.
    bool WaitLogged(const std::string& part, int n, std::chrono::seconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            if (Count(Log(), part) >= n) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    int Ctl(const std::string& args, std::string* out = nullptr) {
        return testutil::RunCommand(
            std::string(QV_BINARY) + " --home " + home_.Path() + " ctl " + args + " 2>&1", out);
    }

    testutil::TempDir home_;
    int port_ = 0;
    testutil::ServerProcess server_;
};

TEST_F(ScheduleE2eTest, CountdownStartsADialledRunAndRestartsAfterIt) {
    FakeUpstream upstream;
    ASSERT_NE(0, upstream.Port());
    Set("Newsfeed01", "Port", std::to_string(upstream.Port()));
    Set("admin", "SleepTime", "1");
    Set("ras", "Profile", "MyISP");
    Set("ras", "Backend", "sim");
    Set("ras", "SimScript", "sim.txt");
    Set("ras", "DropConnect", "Yes");
    home_.Write("sim.txt",
                "entry MyISP\nstate 0 after 50ms\nstate 1 after 50ms\nconnected after 200ms\n");
    home_.Write("news/feed01.sub", "Y0000000000 test.alpha\r\n");
    // A scheduled event half an hour away: logged at start, never due here.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char minute[8];
    std::snprintf(minute, sizeof minute, "%02d", (local.tm_min + 30) % 60);
    Set("EVENT01", "Type", "Expire");
    Set("EVENT01", "Day", "*");
    Set("EVENT01", "Hour", "**");
    Set("EVENT01", "Minute", minute);
    {
        // 50 ms seconds: the minute tick comes every 3 s.
        ScopedEnv tick("QV_TICK_MS", "50");
        ASSERT_TRUE(server_.Start(QV_BINARY, home_.Path(), port_)) << home_.Read("stdout.txt");
    }

    std::string status;
    EXPECT_EQ(0, Ctl("status", &status));
    EXPECT_EQ(1, Count(Log(), "[SCHED] Next Trigger: ")) << Log();
    EXPECT_NE(std::string::npos, status.find("Next Event: ")) << status;
    // Unless the first minute tick came already (a slow start), the
    // countdown shows and nothing has been dialled or fetched. A dial logs
    // its first step 50 ms after it starts; look well after that.
    std::this_thread::sleep_for(300ms);
    if (Log().find("[RAS]") == std::string::npos) {
        EXPECT_NE(std::string::npos, status.find("Fetch in 1 minutes.")) << status;
        EXPECT_EQ(0, upstream.Connections());
    }

    ASSERT_TRUE(WaitLogged("[QV] Terminating RAS Connection", 1, 30s)) << Log();
    const std::string log = Log();
    const std::size_t dialling = log.find("[RAS] Opening connection port");
    const std::size_t connected = log.find("[RAS] Session established");
    const std::size_t fetch = log.find("] Requesting New Articles");
    const std::size_t ended = log.find("] Server Session Ended.");
    const std::size_t hangUp = log.find("[QV] Terminating RAS Connection");
    ASSERT_NE(std::string::npos, dialling) << log;
    ASSERT_NE(std::string::npos, connected) << log;
    ASSERT_NE(std::string::npos, fetch) << log;
    ASSERT_NE(std::string::npos, ended) << log;
    EXPECT_LT(dialling, connected) << log;
    EXPECT_LT(connected, fetch) << log;  // feed work only after the connect
    EXPECT_LT(ended, hangUp) << log;
    EXPECT_EQ(1, Count(log, "[QV] Terminating RAS Connection")) << log;
    EXPECT_GE(upstream.Connections(), 1);
    const std::vector<std::string> commands = upstream.Commands();
    EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "GROUP test.alpha"));

    // The countdown restarted after the run: the next run comes one minute
    // tick later, dialling again since the line was hung up.
    ASSERT_TRUE(WaitLogged("[RAS] Session established", 2, 30s)) << Log();
    ASSERT_TRUE(WaitLogged("[QV] Terminating RAS Connection", 2, 30s)) << Log();
    EXPECT_GE(upstream.Connections(), 2);
    EXPECT_EQ(0, server_.Stop(SIGTERM));
}

TEST_F(ScheduleE2eTest, MissingNmcliIsReportedAndStartsNoFeedWork) {
    Set("ras", "Profile", "MyISP");
    testutil::TempDir emptyPath;
    {
        ScopedEnv path("PATH", emptyPath.Path());
        ASSERT_TRUE(server_.Start(QV_BINARY, home_.Path(), port_)) << home_.Read("stdout.txt");
    }
    const std::string line = "[RAS] nmcli was not found";
    ASSERT_TRUE(WaitLogged(line, 1, 10s)) << Log();
    std::string out;
    EXPECT_EQ(0, Ctl("getpost", &out)) << out;
    ASSERT_TRUE(WaitLogged(line, 2, 10s)) << Log();
    EXPECT_EQ(0, Ctl("status", &out)) << out;  // still serving
    EXPECT_EQ(std::string::npos, Log().find("Attempting Server Connection")) << Log();
    EXPECT_EQ(0, server_.Stop(SIGTERM));
}

}  // namespace
