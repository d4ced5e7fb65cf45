#include "app/HeadlessShell.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <climits>
#include <optional>
#include <sstream>

#include "app/FirstRun.h"
#include "core/File.h"
#include "net/EventLoop.h"
#include "settings/Profile.h"
#include "tests/util/TestUtil.h"

namespace {

// The wizard's answer; a shell without a terminal on a loop answers at once.
std::optional<bool> Wizard(HeadlessShell& shell) {
    std::optional<bool> configured;
    shell.RunWizard([&](bool c) { configured = c; });
    return configured;
}

TEST(HeadlessShell, MessageBoxesBecomeOneLogLine) {
    const struct {
        const char* title;
        const char* text;
        const char* want;
    } cases[] = {
        {"ERROR", "Error Binding Listen Socket", "[QV] ERROR: Error Binding Listen Socket"},
        {"Server Connect Failed",
         "No server information available. \nPlease complete setup information first.",
         "[QV] Server Connect Failed: No server information available. Please complete setup "
         "information first."},
        {"ERROR", "Group already exists.\n Add Aborted.",
         "[QV] ERROR: Group already exists. Add Aborted."},
        {"Next Step", "a.  b\r\n\r\n", "[QV] Next Step: a.  b"},
        {"t", "x\ny", "[QV] t: x y"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, HeadlessShell::MessageLine(c.title, c.text)) << c.text;
}

TEST(HeadlessShell, LogLinesGoToTheOutputAndMessagesToTheSink) {
    std::ostringstream out;
    std::istringstream in;
    HeadlessShell shell(out, in, false);
    shell.AddLogLine("Tue Dec 08 05:41:39 2026:[QV] hello");
    EXPECT_EQ("Tue Dec 08 05:41:39 2026:[QV] hello\n", out.str());
    std::vector<std::string> logged;
    shell.SetLogSink([&](std::string_view l) { logged.emplace_back(l); });
    shell.ShowMessage("error", "Non FD_ACCEPT?");
    bool yes = false;
    shell.AskYesNo("Delete Group", "Sure?", true, [&](bool answer) { yes = answer; });
    EXPECT_TRUE(yes);
    EXPECT_EQ(std::vector<std::string>({"[QV] error: Non FD_ACCEPT?", "[QV] Delete Group: Sure?"}),
              logged);
}

class FirstRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(nullptr, ::getcwd(buf, sizeof buf));
        old_ = buf;
        ASSERT_EQ(0, ::chdir(home_.Path().c_str()));
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(old_.c_str())); }
    std::string Get(const char* section, const char* key) {
        return profile::GetString("Quorvel.INI", section, key, "!");
    }
    testutil::TempDir home_;
    std::string old_;
};

TEST_F(FirstRunTest, WithoutTerminalDefaultsAreWrittenAndLoopbackOnlyAdmitted) {
    std::ostringstream out;
    std::istringstream in;
    HeadlessShell shell(out, in, false);
    std::vector<std::string> logged;
    shell.SetLogSink([&](std::string_view l) { logged.emplace_back(l); });
    EXPECT_EQ(std::optional<bool>(false), Wizard(shell));
    EXPECT_EQ("news/", Get("admin", "NewsPath"));
    EXPECT_EQ("119", Get("admin", "ListenPort"));
    EXPECT_EQ("!", Get("NewsFeed01", "Name"));
    EXPECT_EQ("!", Get("admin", "PostingHost"));
    EXPECT_EQ("feed01.sub", Get("NewsFeed01", "SubGroupFile"));
    EXPECT_EQ("127.0.0.1\n", home_.Read("allowip.ini"));
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(UpstreamHowToLine(), logged.back());
}

TEST_F(FirstRunTest, DefaultsNeverReplaceWhatTheOwnerWrote) {
    profile::WriteString("Quorvel.INI", "admin", "ListenPort", "1190");
    profile::WriteString("Quorvel.INI", "admin", "NewsPath", "/srv/news/");
    home_.Write("allowip.ini", "192.168.1.*\n");
    WriteFirstRunDefaults();
    EXPECT_EQ("1190", Get("admin", "ListenPort"));
    EXPECT_EQ("/srv/news/", Get("admin", "NewsPath"));
    EXPECT_EQ("192.168.1.*\n", home_.Read("allowip.ini"));
}

TEST_F(FirstRunTest, TerminalAnswersAreWrittenAsTheWizardDoes) {
    home_.Write("allowip.ini", "10.0.0.1\n");
    std::ostringstream out;
    std::istringstream in("news.example.net\nabc\n563\nspool\n\n");
    HeadlessShell shell(out, in, true);
    EXPECT_EQ(std::optional<bool>(true), Wizard(shell));
    EXPECT_EQ("news.example.net", Get("NewsFeed01", "Name"));
    EXPECT_EQ("news.example.net", Get("admin", "PostingHost"));
    EXPECT_EQ("563", Get("NewsFeed01", "Port"));  // "abc" was asked again
    EXPECT_EQ("spool/", Get("admin", "NewsPath"));
    EXPECT_EQ("119", Get("admin", "ListenPort"));
    EXPECT_EQ("feed01.all", Get("NewsFeed01", "AllGroupFile"));
    EXPECT_EQ("feed01.sub", Get("NewsFeed01", "SubGroupFile"));
    EXPECT_EQ("*.*.*.*\n", home_.Read("allowip.ini"));
    EXPECT_NE(std::string::npos, out.str().find("Please enter a port number"));
}

TEST_F(FirstRunTest, TerminalWithoutHostLeavesUpstreamUnset) {
    std::ostringstream out;
    std::istringstream in("\nnews2\n2119\n");
    HeadlessShell shell(out, in, true);
    EXPECT_EQ(std::optional<bool>(false), Wizard(shell));
    EXPECT_EQ("!", Get("NewsFeed01", "Name"));
    EXPECT_EQ("news2/", Get("admin", "NewsPath"));
    EXPECT_EQ("2119", Get("admin", "ListenPort"));
    EXPECT_EQ("127.0.0.1\n", home_.Read("allowip.ini"));
}

TEST_F(FirstRunTest, TerminalAtEndOfInputTakesDefaults) {
    std::ostringstream out;
    std::istringstream in("");
    HeadlessShell shell(out, in, true);
    EXPECT_EQ(std::optional<bool>(false), Wizard(shell));
    EXPECT_EQ("news/", Get("admin", "NewsPath"));
    EXPECT_EQ("119", Get("admin", "ListenPort"));
}

// On a terminal the questions are answered while the loop goes on: nothing
// waits for the person, and an answer may arrive in pieces.
TEST_F(FirstRunTest, TerminalAnswersArriveWhileTheLoopRuns) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    const FileDescriptor terminal(fds[0]);
    FileDescriptor person(fds[1]);
    EventLoop loop;
    std::ostringstream out;
    std::istringstream unused;
    HeadlessShell shell(out, unused, true);
    shell.SetTerminal(loop, terminal.Get());
    std::optional<bool> configured;
    shell.RunWizard([&](bool c) { configured = c; });
    EXPECT_FALSE(configured.has_value());  // asked, not yet answered
    const char* pieces[] = {"news.exa", "mple.net\n", "\n", "spool\n"};
    for (const char* piece : pieces) {
        ASSERT_TRUE(files::WriteAll(person.Get(), piece));
        for (int i = 0; i < 3; ++i) loop.RunOnce(0);
        EXPECT_FALSE(configured.has_value()) << piece;
    }
    person.Close();  // end of input: the reader port keeps its default
    for (int i = 0; i < 20 && !configured; ++i) loop.RunOnce(50);
    EXPECT_EQ(std::optional<bool>(true), configured);
    EXPECT_EQ("news.example.net", Get("NewsFeed01", "Name"));
    EXPECT_EQ("119", Get("NewsFeed01", "Port"));
    EXPECT_EQ("spool/", Get("admin", "NewsPath"));
    EXPECT_EQ("119", Get("admin", "ListenPort"));
    EXPECT_NE(std::string::npos, out.str().find("Accept connections on port [119]: "));
}

}  // namespace
