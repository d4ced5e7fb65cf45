// The server binary as a system service: "quorvel service ..." against a
// redirected unit directory and a fake systemctl, and service mode started
// by hand.

#include <gtest/gtest.h>

#include <string>

#include "settings/Profile.h"
#include "tests/util/FakeSystemd.h"
#include "tests/util/TestUtil.h"

namespace {

using testutil::FakeSystemctl;
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
    EXPECT_EQ((std::vector<std::string>{"disable News.service", "unmask --runtime News.service",
                                        "daemon-reload"}),
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
        {"service install disabled", 0, {"daemon-reload", "mask --runtime Quorvel.service"}, ""},
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

}  // namespace
