#include "service/ServiceEditor.h"

#include <gtest/gtest.h>

#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/FakeSystemd.h"
#include "tests/util/TestUtil.h"

using testutil::FakeSystemctl;
using testutil::TempDir;

namespace {

struct NoEvents : EventSink {
    void Report(int, int id, const std::vector<std::string>&) override { ids.push_back(id); }
    std::vector<int> ids;
};

class ServicePageTest : public ::testing::Test {
protected:
    ServicePageTest() : systemctl(dir.Path()), setup(dir / "Quorvel.INI") {
        dir.Write("units/.keep", "");
        env.home = dir.Path();
        env.program = "/usr/bin/quorvel";
        env.unitDir = dir / "units";
        env.systemctl = systemctl.Path();
        env.events = events;
        env.trace = [](std::string_view) {};
    }
    ServiceEditor Page() {
        return ServiceEditor(
            setup, env,
            [this](const ServiceMessage& m) { shown.push_back(m.title + ": " + m.text); },
            [this](const ServiceMessage& m) {
                asked.push_back(m.text);
                return answer;
            });
    }
    std::string Ini(std::string_view section, std::string_view key) {
        return profile::GetString(setup.IniPath(), section, key, "(missing)");
    }

    TempDir dir;
    FakeSystemctl systemctl;
    ::Setup setup;
    ServiceEnvironment env;
    std::shared_ptr<NoEvents> events = std::make_shared<NoEvents>();
    std::vector<std::string> shown;
    std::vector<std::string> asked;
    bool answer = false;
};

TEST_F(ServicePageTest, DialUpQuestionOnlyForAServerThatDials) {
    struct Case {
        std::string profile;  // "" : none written
        std::vector<std::string> saved;
        bool answer;
        bool asked;
        std::vector<std::string> after;
    } cases[] = {
        {"", {}, true, false, {}},
        {"(None)", {"foo"}, true, false, {"foo"}},
        {"Provider", {}, false, true, {}},
        {"Provider", {"foo"}, true, true, {"foo", "NetworkManager"}},
        {"Provider", {"networkmanager"}, true, false, {"networkmanager"}},
        {"Provider", {"NetworkManager.service"}, true, false, {"NetworkManager.service"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile + " / " + ::testing::PrintToString(c.saved));
        testutil::WriteFile(setup.IniPath(), "");
        if (!c.profile.empty()) setup.SetRasProfile(c.profile);
        for (std::size_t i = 0; i < c.saved.size(); ++i)
            setup.SetDependancy(c.saved[i], static_cast<int>(i + 1));
        const std::size_t before = asked.size();
        answer = c.answer;
        ServiceEditor page = Page();
        page.SetupWindow();
        EXPECT_EQ(c.asked, asked.size() > before);
        EXPECT_EQ(c.after, page.Transfer().dependancies);
    }
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(ServiceEditor::DialUpQuestion().text, asked.back());
    EXPECT_NE(std::string::npos, asked.back().find("Typically the RAS service is called "
                                                   "NetworkManager and you should add this value"));
    EXPECT_EQ(std::string::npos, asked.back().find("RASAUTO"));
}

TEST_F(ServicePageTest, AddRefusesEmptyAndRepeatedNamesAndRemoveTakesTheSelection) {
    ServiceEditor page = Page();
    page.SetupWindow();
    ServicePacket& p = page.Transfer();
    const struct {
        std::string text;
        bool added;
    } adds[] = {{"", false}, {"foo", true}, {"FOO", false}, {"bar", true}};
    for (const auto& a : adds) {
        p.newDependancy = a.text;
        EXPECT_EQ(a.added, page.CmAddDependancy()) << a.text;
        EXPECT_EQ(a.added ? "" : a.text, p.newDependancy) << a.text;
    }
    EXPECT_EQ((std::vector<std::string>{"foo", "bar"}), p.dependancies);
    page.CmRemoveDependancy();  // nothing selected
    p.selected = 0;
    page.CmRemoveDependancy();
    EXPECT_EQ(std::vector<std::string>{"bar"}, p.dependancies);
}

TEST_F(ServicePageTest, ApplyRewritesTheWholeSection) {
    testutil::WriteFile(setup.IniPath(),
                        "[Service]\r\nDependancy1=a\r\nDependancy2=b\r\nStray=1\r\n"
                        "[admin]\r\nListenPort=1119\r\n");
    ServiceEditor page = Page();
    page.SetupWindow();
    page.Transfer().dependancies.clear();
    page.Transfer().runAsService = true;
    page.Transfer().serviceName = "News";
    ASSERT_TRUE(page.Apply());
    EXPECT_EQ("Yes", Ini("Service", "RunAsService"));
    EXPECT_EQ("News", Ini("Service", "ServiceName"));
    EXPECT_EQ((std::vector<std::string>{"RunAsService", "ServiceName"}),
              profile::KeyNames(setup.IniPath(), "Service"));
    EXPECT_EQ(1119, setup.GetListenPort());
}

TEST_F(ServicePageTest, InstallAndRemoveFromThePage) {
    setup.SetRunAsService(true);
    ServiceEditor page = Page();
    page.SetupWindow();
    EXPECT_EQ("Install Service", page.InstallCaption());
    // Disabled wins over the other buttons.
    page.Transfer().startAuto = true;
    page.Transfer().startDisabled = true;
    page.Transfer().serviceName = "News";
    page.CmInstallButton();
    EXPECT_TRUE(page.Installed());
    EXPECT_FALSE(page.NameAndStartTypeEnabled());
    EXPECT_EQ("Remove Service", page.InstallCaption());
    EXPECT_EQ(std::vector<std::string>{"daemon-reload"}, systemctl.Calls());
    EXPECT_EQ(NtService::kStartDisabled, page.Service()->InstalledStartType());
    EXPECT_EQ("News", Ini("Service", "ServiceName"));
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(
        "Program Information: Service installation successful.\r\n\r\nQuorvel is now capable of "
        "running as a system service.  Please consult the Quorvel System Service FAQ "
        "(SERVICE.FAQ) to learn how to start and stop Quorvel when running it as a system "
        "service.\r\n\r\nTo complete the installation you must set the \"Run Quorvel as an NT "
        "System Service\"switch.",
        shown[0]);

    // Remove clears the switch at once, before any apply, even when the
    // removal itself fails; the installed state flips whatever the outcome.
    systemctl.FailOn("disable");
    page.CmInstallButton();
    EXPECT_FALSE(page.Installed());
    EXPECT_EQ("No", Ini("Service", "RunAsService"));
    EXPECT_FALSE(page.Transfer().runAsService);
    EXPECT_EQ(
        "Program Error: Service removal FAILURE.\r\n\r\nThe Quorvel service could not be "
        "removed.  The error code from the service control manager was 4\n",
        shown.back());
    ::unlink((dir / "fail-disable").c_str());
    EXPECT_TRUE(page.RemoveService());
    EXPECT_EQ(
        "Program Information: Service removal successful.\r\n\r\nQuorvel is now configured to "
        "run as a normal application.",
        shown.back());

    env.unitDir = dir / "no-such-dir";
    ServiceEditor broken = Page();
    broken.SetupWindow();
    EXPECT_FALSE(broken.InstallService());
    EXPECT_EQ(
        "Program Error: Service installation FAILURE.\r\n\r\nQuorvel could not be installed as a "
        "service.  The error code from the service control manager was 2\n",
        shown.back());
}

TEST_F(ServicePageTest, UserControl128SavesTheCurrentValue) {
    struct Case {
        std::string serviceIni;
        std::string current;
    } cases[] = {
        {"", "0"},
        {"[Parameters]\nStart=42\nInc=5\n", "42"},
        {"[parameters]\nstart=-7\n", "-7"},
    };
    for (const Case& c : cases) {
        testutil::WriteFile(dir / "Service.INI", c.serviceIni);
        QuorvelService service("Quorvel", nullptr, env);
        ASSERT_TRUE(service.Initialize());
        events->ids.clear();
        service.Handler(128);
        EXPECT_TRUE(events->ids.empty()) << c.serviceIni;
        EXPECT_EQ(c.current,
                  profile::GetString(dir / "Service.INI", "Status", "Current", "(missing)"))
            << c.serviceIni;
        service.Handler(129);
        EXPECT_EQ(std::vector<int>{106}, events->ids) << c.serviceIni;
    }
}

}  // namespace
