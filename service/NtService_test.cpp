#include "service/NtService.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "settings/Setup.h"
#include "tests/util/FakeSystemd.h"
#include "tests/util/TestUtil.h"

using testutil::DatagramSink;
using testutil::FakeSystemctl;
using testutil::TempDir;

namespace {

struct RecordingEvents : EventSink {
    void Report(int type, int id, const std::vector<std::string>& strings) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::string line = std::to_string(type) + " " + std::to_string(id);
        for (const std::string& s : strings) line += " " + s;
        events.push_back(line);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

class ServiceFixture : public ::testing::Test {
protected:
    ServiceFixture() : systemctl(dir.Path()) {
        dir.Write("home/.keep", "");
        dir.Write("units/.keep", "");
        env.home = dir / "home";
        env.program = "/usr/bin/quorvel";
        env.unitDir = dir / "units";
        env.systemctl = systemctl.Path();
        env.events = events;
        env.trace = [this](std::string_view line) {
            std::lock_guard<std::mutex> lock(traceMutex);
            trace.emplace_back(line);
        };
    }
    void Dependencies(const std::vector<std::string>& names) {
        ::Setup setup(env.home + "/Quorvel.INI");
        int n = 1;
        for (const std::string& d : names) setup.SetDependancy(d, n++);
    }

    TempDir dir;
    FakeSystemctl systemctl;
    std::shared_ptr<RecordingEvents> events = std::make_shared<RecordingEvents>();
    std::mutex traceMutex;
    std::vector<std::string> trace;
    ServiceEnvironment env;
};

using InstallTest = ServiceFixture;

TEST_F(InstallTest, UnitCarriesDependenciesInOrderAndTheStartTypesEffect) {
    struct Case {
        int startType;
        std::vector<std::string> deps;
        std::vector<std::string> calls;
        std::string after;  // "" : no After=/Wants= lines
    } cases[] = {
        {2,
         {"NetworkManager", "network-online.target", "foo"},
         {"daemon-reload", "enable Quorvel.service"},
         "NetworkManager.service network-online.target foo.service"},
        {3, {}, {"daemon-reload"}, ""},
        {4, {"b"}, {"daemon-reload"}, "b.service"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("start type " + std::to_string(c.startType));
        systemctl.Clear();
        Dependencies(c.deps);
        NtService service("Quorvel", env);
        ASSERT_TRUE(service.Install(c.startType)) << service.LastErrorText();
        EXPECT_TRUE(service.IsInstalled());
        EXPECT_EQ(c.calls, systemctl.Calls());

        const std::string unit = testutil::ReadFile(env.unitDir + "/Quorvel.service");
        EXPECT_NE(std::string::npos, unit.find("\nType=notify\n")) << unit;
        EXPECT_NE(std::string::npos,
                  unit.find("\nExecStart=/usr/bin/quorvel --home " + env.home + "\n"))
            << unit;
        EXPECT_EQ(c.startType != 4,
                  unit.find("\nWantedBy=multi-user.target\n") != std::string::npos)
            << unit;
        if (c.after.empty()) {
            EXPECT_EQ(std::string::npos, unit.find("After=")) << unit;
            EXPECT_EQ(std::string::npos, unit.find("Wants=")) << unit;
        } else {
            EXPECT_NE(std::string::npos, unit.find("\nAfter=" + c.after + "\nWants=" + c.after))
                << unit;
        }
        EXPECT_EQ(c.startType == 4, unit.find("RefuseManualStart=yes") != std::string::npos)
            << unit;

        systemctl.Clear();
        ASSERT_TRUE(service.Uninstall()) << service.LastErrorText();
        EXPECT_FALSE(service.IsInstalled());
        EXPECT_EQ((std::vector<std::string>{"disable Quorvel.service", "daemon-reload"}),
                  systemctl.Calls());
        Dependencies({});
        testutil::WriteFile(env.home + "/Quorvel.INI", "");
    }
    EXPECT_EQ((std::vector<std::string>{"4 100 Quorvel", "4 101 Quorvel", "4 100 Quorvel",
                                        "4 101 Quorvel", "4 100 Quorvel", "4 101 Quorvel"}),
              events->Events());
}

TEST_F(InstallTest, FailuresSayWhichStepAndLeaveNoHalfUnit) {
    {
        NtService service("My Service", env);
        EXPECT_FALSE(service.Install(2));
        EXPECT_EQ(EINVAL, service.LastError());
        EXPECT_FALSE(service.IsInstalled());
    }
    NtService service("Quorvel", env);
    EXPECT_FALSE(service.Uninstall());
    EXPECT_EQ(ENOENT, service.LastError());

    // A unit that is written stays when systemctl refuses it, as a service
    // stayed installed when its event-log key could not be made.
    systemctl.FailOn("enable");
    EXPECT_FALSE(service.Install(2));
    EXPECT_EQ(4, service.LastError());
    EXPECT_NE(std::string::npos, service.LastErrorText().find("enable Quorvel.service"))
        << service.LastErrorText();
    EXPECT_TRUE(service.IsInstalled());
    EXPECT_FALSE(service.Install(2));
    EXPECT_EQ(EEXIST, service.LastError());

    systemctl.FailOn("disable");
    EXPECT_FALSE(service.Uninstall());
    EXPECT_TRUE(service.IsInstalled());
    EXPECT_EQ(std::vector<std::string>{"1 102 Quorvel"}, events->Events());

    env.systemctl = dir / "no-such-systemctl";
    NtService missing("Other", env);
    EXPECT_FALSE(missing.Install(3));
    EXPECT_EQ(ENOENT, missing.LastError());
}

TEST_F(InstallTest, ExecStartSurvivesTheUnitParser) {
    const struct {
        std::string program, home, execStart;
    } cases[] = {
        {"/usr/bin/quorvel", "/var/lib/quorvel",
         "ExecStart=/usr/bin/quorvel --home /var/lib/quorvel"},
        {"/opt/my news/quorvel", "/srv/100%/$HOME",
         "ExecStart=\"/opt/my news/quorvel\" --home /srv/100%%/$$HOME"},
        {"/q", "/a \"b\\c", "ExecStart=/q --home \"/a \\\"b\\\\c\""},
    };
    for (const auto& c : cases) {
        const std::string unit = NtService::UnitText(c.program, c.home, {}, 3);
        EXPECT_NE(std::string::npos, unit.find("\n" + c.execStart + "\n")) << c.home << "\n"
                                                                           << unit;
    }
    EXPECT_EQ("", NtService::UnitText("/q", "/a\nb", {}, 2));
}

TEST_F(InstallTest, LongNameIsCutTo63Everywhere) {
    const std::string name70(70, 'q');
    const std::string name63(63, 'q');
    DatagramSink syslog(dir / "log");
    ASSERT_TRUE(syslog.Bound());
    ::setenv("QV_SYSLOG_SOCKET", syslog.Name().c_str(), 1);
    env.events = nullptr;  // the real syslog writer
    NtService service(name70, env);
    EXPECT_EQ(name63, service.ServiceName());
    ASSERT_TRUE(service.Install(2)) << service.LastErrorText();
    ::unsetenv("QV_SYSLOG_SOCKET");
    EXPECT_TRUE(testutil::ReadFile(env.unitDir + "/" + name63 + ".service").size() > 0);
    EXPECT_EQ((std::vector<std::string>{"daemon-reload", "enable " + name63 + ".service"}),
              systemctl.Calls());
    const auto line = syslog.Receive(std::chrono::seconds(5));
    ASSERT_TRUE(line);
    // Facility daemon, information; the ident is the cut name.
    EXPECT_EQ(0u, line->find("<30>")) << *line;
    EXPECT_NE(std::string::npos, line->find(" " + name63 + "[" + std::to_string(::getpid()) +
                                            "]: event 100: " + name63))
        << *line;
}

// A service whose Run sends itself the control signals one at a time and
// waits until each has been handled.
class SignalledService : public NtService {
public:
    using NtService::NtService;
    bool initOk = true;
    std::vector<unsigned long> userCodes;

protected:
    bool OnInit() override { return initOk; }
    void Run() override {
        for (const int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGTERM}) {
            const int before = Handled();
            ::kill(::getpid(), sig);
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::seconds(5), [&] { return handled_ > before; });
        }
        // The handler clears running after OnStop has returned.
        for (int i = 0; i < 500 && Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void OnInterrogate() override { Count(); }
    void OnStop() override { Count(); }
    bool OnUserControl(unsigned long code) override {
        userCodes.push_back(code);
        Count();
        return code == 128;
    }

private:
    int Handled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return handled_;
    }
    void Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++handled_;
        wake_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    int handled_ = 0;
};

using DispatcherTest = ServiceFixture;

TEST_F(DispatcherTest, SignalsBecomeControlsAndStatesBecomeNotifications) {
    for (const std::string& name : {dir / "notify", "@qvtest-notify-" + std::to_string(getpid())}) {
        SCOPED_TRACE(name);
        DatagramSink notify(name);
        ASSERT_TRUE(notify.Bound());
        env.notifySocket = name;
        events->events.clear();
        SignalledService service("Quorvel", env);
        ASSERT_TRUE(service.StartServiceA());
        EXPECT_EQ((std::vector<unsigned long>{128, 129}), service.userCodes);
        EXPECT_EQ((std::vector<std::string>{"4 105", "1 106", "4 108"}), events->Events());
        EXPECT_EQ(0u, service.ExitCode());

        std::vector<std::string> got;
        while (auto d = notify.Receive(std::chrono::milliseconds(200))) got.push_back(*d);
        const std::string running = "READY=1\nSTATUS=Running";
        const std::string stopping = "STOPPING=1\nSTATUS=Stopping";
        // Start pending, running; one report per control (interrogate,
        // 128, 129); stop pending; then the stop's own report, which races
        // with the service thread's final "stopped".
        ASSERT_EQ(8u, got.size()) << ::testing::PrintToString(got);
        EXPECT_EQ((std::vector<std::string>{"STATUS=Starting", running, running, running, running,
                                            stopping}),
                  std::vector<std::string>(got.begin(), got.begin() + 6));
        EXPECT_TRUE(got[6] == stopping || got[6] == "STATUS=Stopped") << got[6];
        EXPECT_EQ("STATUS=Stopped", got[7]);
    }
}

TEST_F(DispatcherTest, StartedByHandFailedInitAndBadSocket) {
    {
        NtService service("Quorvel", env);  // no NOTIFY_SOCKET
        EXPECT_FALSE(service.StartServiceA());
        EXPECT_TRUE(events->Events().empty());
        ASSERT_EQ(2u, trace.size());
        EXPECT_NE(std::string::npos, trace[0].find("): Calling StartServiceCtrlDispatcher()\n"));
        EXPECT_EQ(0u, trace[0].find("[Quorvel](")) << trace[0];
    }
    {
        env.notifySocket = "relative/socket";
        NtService service("Quorvel", env);
        EXPECT_TRUE(service.StartServiceA());
        EXPECT_EQ(std::vector<std::string>{"1 103"}, events->Events());
    }
    {
        events->events.clear();
        DatagramSink notify(dir / "notify");
        env.notifySocket = notify.Name();
        SignalledService service("Quorvel", env);
        service.initOk = false;
        errno = 0;
        EXPECT_TRUE(service.StartServiceA());
        EXPECT_EQ(std::vector<std::string>{"1 104"}, events->Events());
        // A failed start is never reported as exit code 0.
        EXPECT_NE(0u, service.ExitCode());
        EXPECT_EQ("STATUS=Starting", notify.Receive(std::chrono::seconds(1)).value_or(""));
        EXPECT_EQ(0u,
                  notify.Receive(std::chrono::seconds(1)).value_or("").find("STATUS=Stopped ("));
    }
}

TEST_F(DispatcherTest, HandlerReportsUnhandledCodes) {
    struct Case {
        unsigned long code;
        std::vector<std::string> events;
        unsigned long state;
    } cases[] = {
        {2, {}, NtService::kStopped},          {3, {}, NtService::kStopped},
        {4, {}, NtService::kStopped},          {5, {}, NtService::kStopped},
        {127, {"1 106"}, NtService::kStopped}, {128, {"1 106"}, NtService::kStopped},
        {255, {"1 106"}, NtService::kStopped}, {1, {"4 108"}, NtService::kStopPending},
    };
    for (const Case& c : cases) {
        events->events.clear();
        NtService service("Quorvel", env);
        service.Handler(c.code);
        EXPECT_EQ(c.events, events->Events()) << c.code;
        EXPECT_EQ(c.state, service.CurrentState()) << c.code;
    }
    // Once a stop is pending the service never reports running again.
    NtService service("Quorvel", env);
    service.Handler(NtService::kControlStop);
    service.SetStatus(NtService::kRunning);
    EXPECT_EQ(NtService::kStopPending, service.CurrentState());
}

TEST_F(DispatcherTest, TraceLinesKeepTheirFormatAndLimit) {
    NtService service("Quorvel", env);
    trace.clear();
    service.DebugMsg("NtService::OnUserControl(%8.8lXH)", 200ul);
    service.DebugMsg("%s", std::string(5000, 'x').c_str());
    ASSERT_EQ(2u, trace.size());
    const std::string prefix = "[Quorvel](" + std::to_string(::gettid()) + "): ";
    EXPECT_EQ(prefix + "NtService::OnUserControl(000000C8H)\n", trace[0]);
    EXPECT_EQ(1023u, trace[1].size());
    EXPECT_EQ('\n', trace[1].back());
}

}  // namespace
