// The server binary as a system service: "quorvel service ..." against a
// redirected unit directory and a fake systemctl, and service mode started
// by hand.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "settings/Profile.h"
#include "tests/util/FakeSystemd.h"
#include "tests/util/TestUtil.h"

namespace {

using namespace std::chrono_literals;
using testutil::DatagramSink;
using testutil::FakeSystemctl;
using testutil::LineClient;
using testutil::TempDir;

class ServiceCommandTest : public ::testing::Test {
protected:
    ServiceCommandTest() : systemctl(dir.Path()) {
        dir.Write("home/.keep", "");
        dir.Write("units/.keep", "");
    }

    // "quorvel --home HOME ARGS" with the unit directory and systemctl
    // redirected and no terminal; the exit code, standard output in *out
    // and standard error in *err.
    int Quorvel(const std::string& args, std::string* out = nullptr, std::string* err = nullptr) {
        const int rc = testutil::RunCommand(
            "QV_UNIT_DIR='" + Units() + "' QV_SYSTEMCTL='" + systemctl.Path() +
                "' QV_SYSLOG_SOCKET='" + dir / "nolog" + "' NOTIFY_SOCKET= " + QV_BINARY +
                " --home '" + Home() + "' " + args + " </dev/null 2>'" + dir / "stderr" + "'",
            out);
        if (err != nullptr) *err = dir.Read("stderr");
        return rc;
    }
    std::string Home() const { return dir / "home"; }
    std::string Units() const { return dir / "units"; }
    std::string Ini(std::string_view section, std::string_view key) const {
        return profile::GetString(Home() + "/Quorvel.INI", section, key, "(missing)");
    }

    TempDir dir;
    FakeSystemctl systemctl;
};

TEST_F(ServiceCommandTest, InstallShowRemoveAsAnOwnerWould) {
    std::string out, err;
    EXPECT_EQ(0, Quorvel("service depends add foo", &out, &err)) << err;
    EXPECT_EQ(0, Quorvel("service depends add network-online.target", &out, &err)) << err;
    EXPECT_EQ(0, Quorvel("service depends add FOO", &out, &err)) << err;
    EXPECT_EQ("FOO is already a dependency\n", out);
    EXPECT_EQ(0, Quorvel("service name News", &out, &err)) << err;

    ASSERT_EQ(0, Quorvel("service install manual", &out, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("Service installation successful.\n\nQuorvel is now"))
        << out;
    EXPECT_NE(std::string::npos, out.find("systemctl start News\n")) << out;
    EXPECT_EQ(std::vector<std::string>{"daemon-reload"}, systemctl.Calls());
    EXPECT_EQ("Yes", Ini("Service", "RunAsService"));
    const std::string unit = testutil::ReadFile(Units() + "/News.service");
    EXPECT_NE(std::string::npos, unit.find("\nAfter=foo.service network-online.target\n")) << unit;
    EXPECT_NE(std::string::npos, unit.find("\nType=notify\n")) << unit;
    EXPECT_NE(std::string::npos, unit.find(" --home " + Home() + "\n")) << unit;

    systemctl.SetState("disabled");
    ASSERT_EQ(0, Quorvel("service", &out, &err)) << err;
    EXPECT_EQ(
        "Run as service: yes\nService name: News\n"
        "Start type: manual (systemctl is-enabled: disabled)\n"
        "Dependencies: foo network-online.target\n"
        "Installed: yes (" +
            Units() + "/News.service)\n",
        out);

    // Installed: neither a second install nor a new name.
    EXPECT_EQ(3, Quorvel("service install", &out, &err));
    EXPECT_NE(std::string::npos, err.find("already installed")) << err;
    EXPECT_EQ(3, Quorvel("service name Other", &out, &err));

    systemctl.Clear();
    ASSERT_EQ(0, Quorvel("service remove", &out, &err)) << err;
    EXPECT_EQ(
        "Service removal successful.\n\nQuorvel is now configured to run as a normal "
        "application.\n",
        out);
    EXPECT_EQ((std::vector<std::string>{"disable News.service", "daemon-reload"}),
              systemctl.Calls());
    EXPECT_EQ("No", Ini("Service", "RunAsService"));
    EXPECT_EQ("", testutil::ReadFile(Units() + "/News.service"));

    EXPECT_EQ(3, Quorvel("service remove", &out, &err));
    EXPECT_NE(std::string::npos,
              err.find("The error code from the service control manager was 2\n"))
        << err;
}

TEST_F(ServiceCommandTest, StartTypesAndRefusals) {
    const struct {
        std::string args;
        int rc;
        std::vector<std::string> calls;
        std::string err;  // a part of standard error
    } cases[] = {
        {"service install", 0, {"daemon-reload", "enable Quorvel.service"}, ""},
        {"service install disabled", 0, {"daemon-reload"}, ""},
        {"service install sometimes", 2, {}, "auto, manual or disabled"},
        {"service name 'My News'", 3, {}, "letters, digits"},
        {"service name " + std::string(50, 'n'), 3, {}, "1 to 49"},
        {"service depends add 'a b'", 3, {}, "cannot name a systemd unit"},
        {"service depends remove nothing", 3, {}, "not a dependency"},
        {"service run maybe", 2, {}, "run yes|no"},
        {"service frobnicate", 2, {}, "unknown service command"},
    };
    for (const auto& c : cases) {
        systemctl.Clear();
        std::string out, err;
        EXPECT_EQ(c.rc, Quorvel(c.args, &out, &err)) << c.args << "\n" << err;
        EXPECT_EQ(c.calls, systemctl.Calls()) << c.args;
        EXPECT_NE(std::string::npos, err.find(c.err)) << c.args << "\n" << err;
        if (c.rc == 0) {
            EXPECT_EQ(0, Quorvel("service remove")) << c.args;
        }
    }
}

TEST_F(ServiceCommandTest, DialUpQuestionWithoutATerminalAnswersNo) {
    dir.Write("home/Quorvel.INI", "[ras]\r\nProfile=Provider\r\n");
    std::string out, err;
    ASSERT_EQ(0, Quorvel("service install", &out, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("\"quorvel service depends add NetworkManager\"")) << out;
    EXPECT_EQ("(missing)", Ini("Service", "Dependancy1"));
    EXPECT_EQ(std::string::npos, testutil::ReadFile(Units() + "/Quorvel.service").find("After="));
}

// The binary in service mode, as systemd starts it: NOTIFY_SOCKET set,
// standard error kept in a file.
class ServiceProcess {
public:
    ~ServiceProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Start(const std::string& home, const std::vector<std::string>& env,
               const std::string& stderrPath) {
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
            const int fd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, 0);
            ::execl(QV_BINARY, QV_BINARY, "--home", home.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return true;
    }
    int Pid() const { return pid_; }
    // The exit code, 128 + signal, or -1 when it has not ended in time.
    int WaitExit(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

TEST_F(ServiceCommandTest, StartedByHandSaysHowToStartItAndFails) {
    const std::string name70(70, 'n');
    const std::string name63(63, 'n');
    dir.Write("home/Quorvel.INI",
              "[Service]\r\nRunAsService=yes\r\nServiceName=" + name70 + "\r\n");
    std::string out, err;
    EXPECT_EQ(1, Quorvel("", &out, &err)) << err;
    EXPECT_NE(std::string::npos, err.find("as the service " + name63 +
                                          ". Start it with "
                                          "\"systemctl start " +
                                          name63 +
                                          "\", or leave service mode with \"quorvel "
                                          "--home " +
                                          Home() + " service run no\""))
        << err;
    EXPECT_EQ(std::string::npos, err.find(name63 + "n")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;  // that line only
    // Nothing of the server ran.
    EXPECT_EQ("", dir.Read("home/quorvel.log"));
}

TEST_F(ServiceCommandTest, RunsUnderANotifySocketAndStopsCleanly) {
    const int port = testutil::FreePort();
    testutil::WriteHome(Home(), port);
    profile::WriteString(Home() + "/Quorvel.INI", "Service", "RunAsService", "Yes");
    dir.Write("home/Service.INI", "[Parameters]\r\nStart=7\r\n");
    DatagramSink notify(dir / "notify");
    DatagramSink syslog(dir / "syslog");
    ASSERT_TRUE(notify.Bound() && syslog.Bound());

    ServiceProcess service;
    ASSERT_TRUE(service.Start(
        Home(), {"NOTIFY_SOCKET=" + notify.Name(), "QV_SYSLOG_SOCKET=" + syslog.Name()},
        dir / "stderr"));
    ASSERT_TRUE(notify.WaitFor("READY=1", 10s)) << notify.SeenText() << dir.Read("stderr");
    EXPECT_EQ("STATUS=Starting", notify.Seen().front());
    ASSERT_TRUE(syslog.WaitFor("event 105", 5s)) << syslog.SeenText();
    const std::string ident = " Quorvel[" + std::to_string(service.Pid()) + "]: ";
    EXPECT_NE(std::string::npos, syslog.Seen().back().find(ident)) << syslog.SeenText();

    // Ready means served: the greeting comes at once.
    LineClient reader;
    ASSERT_TRUE(reader.Connect(port));
    const auto greeting = reader.ReadLine();
    ASSERT_TRUE(greeting);
    EXPECT_EQ(0u, greeting->find("200 ")) << *greeting;

    ::kill(service.Pid(), SIGUSR1);
    std::string current;
    for (int i = 0; i < 500 && current != "7"; ++i) {
        std::this_thread::sleep_for(10ms);
        current = profile::GetString(Home() + "/Service.INI", "Status", "Current", "");
    }
    EXPECT_EQ("7", current);

    ::kill(service.Pid(), SIGUSR2);
    ASSERT_TRUE(syslog.WaitFor("event 106", 5s)) << syslog.SeenText();
    EXPECT_EQ(0u, syslog.Seen().back().find("<27>")) << syslog.Seen().back();  // daemon, error

    const auto stop = std::chrono::steady_clock::now();
    ::kill(service.Pid(), SIGTERM);
    ASSERT_TRUE(notify.WaitFor("STOPPING=1", 5s)) << notify.SeenText();
    EXPECT_EQ(0, service.WaitExit(5s)) << dir.Read("stderr");
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 5s);
    EXPECT_TRUE(notify.WaitFor("STATUS=Stopped", 1s)) << notify.SeenText();
    EXPECT_TRUE(syslog.WaitFor("event 108", 1s)) << syslog.SeenText();
    // The reader's session was closed, and the log was written to its end.
    EXPECT_TRUE(reader.WaitClosed(1s));
    EXPECT_NE(std::string::npos, dir.Read("home/quorvel.log").find("[QV] Quorvel stopped"));
    const std::string err = dir.Read("stderr");
    EXPECT_NE(std::string::npos, err.find("[Quorvel](")) << err;  // trace lines for the journal
    EXPECT_NE(std::string::npos, err.find("[QV] Serving newsreaders on port")) << err;
}

}  // namespace
