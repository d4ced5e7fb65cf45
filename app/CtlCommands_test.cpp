#include "app/CtlCommands.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "sched/TimeManager.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

const char* const kLocked =
    "Operation Unsuccessful: Modification are not allowed while a server session is in "
    "progress.\n";

class SubscribeCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(nullptr, ::getcwd(buf, sizeof buf));
        oldCwd_ = buf;
        ASSERT_EQ(0, ::chdir(home_.Path().c_str()));
        profile::WriteString("Quorvel.INI", "admin", "NewsPath", "news/");
        profile::WriteString("Quorvel.INI", "Newsfeed01", "AllGroupFile", "feed01.all");
        profile::WriteString("Quorvel.INI", "Newsfeed01", "SubGroupFile", "feed01.sub");
        home_.Write("news/POSTS/.keep", "");
        pane_ = std::make_unique<qvPaneSplit>(loop_, setup_, timers_, shell_);
    }
    void TearDown() override {
        pane_.reset();
        ASSERT_EQ(0, ::chdir(oldCwd_.c_str()));
    }
    CtlReply Ctl(std::vector<std::string> words) { return HandleCtlCommand(*pane_, words); }
    std::string Sub() const { return home_.Read("news/feed01.sub"); }

    testutil::TempDir home_;
    std::string oldCwd_;
    EventLoop loop_;
    ::Setup setup_{home_ / "Quorvel.INI"};
    TimeManager timers_{loop_};
    testutil::RecordingShell shell_;
    std::unique_ptr<qvPaneSplit> pane_;
};

TEST_F(SubscribeCommandTest, SubscribeAppendsThePagesRecords) {
    const struct {
        std::vector<std::string> words;
        CtlReply::Outcome outcome;
        const char* file;  // the subscription file afterwards
    } steps[] = {
        {{"subscribe", "comp.lang.c"}, CtlReply::Ok, "Y0000000000 comp.lang.c\r\n"},
        {{"subscribe", "test.alpha", "25"},
         CtlReply::Ok,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\n"},
        {{"SUBSCRIBE", "test.beta", "ALL"},
         CtlReply::Ok,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\nY0000000000 test.beta\r\n"},
        // Already there (in other letters): no second record.
        {{"subscribe", "Comp.Lang.C"},
         CtlReply::Refused,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\nY0000000000 test.beta\r\n"},
        {{"subscribe", "test.gamma", "-3"},
         CtlReply::Unknown,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\nY0000000000 test.beta\r\n"},
        {{"subscribe", "test.gamma", "123456"},
         CtlReply::Unknown,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\nY0000000000 test.beta\r\n"},
        {{"subscribe"},
         CtlReply::Unknown,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\nY0000000000 test.beta\r\n"},
        {{"subscribe", "../etc"},
         CtlReply::Refused,
         "Y0000000000 comp.lang.c\r\nY*000000025 test.alpha\r\nY0000000000 test.beta\r\n"},
    };
    for (const auto& s : steps) {
        const CtlReply r = Ctl(s.words);
        const std::string cmd = s.words.size() > 1 ? s.words[1] : s.words[0];
        EXPECT_EQ(s.outcome, r.outcome) << cmd << ": " << r.text;
        EXPECT_EQ(s.file, Sub()) << cmd;
    }
}

TEST_F(SubscribeCommandTest, UnsubscribeRewritesWithoutTheGroupIgnoringCase) {
    home_.Write("news/feed01.sub",
                "Y0000000140 comp.lang.c\r\nY*000000025 Test.Alpha\r\nY0000000007 test.beta\r\n");
    const struct {
        const char* group;
        CtlReply::Outcome outcome;
        const char* file;
    } steps[] = {
        {"test.alpha", CtlReply::Ok, "Y0000000140 comp.lang.c\r\nY0000000007 test.beta\r\n"},
        {"test.alpha", CtlReply::Refused, "Y0000000140 comp.lang.c\r\nY0000000007 test.beta\r\n"},
        {"comp.lang.c", CtlReply::Ok, "Y0000000007 test.beta\r\n"},
        {"TEST.BETA", CtlReply::Ok, ""},
    };
    for (const auto& s : steps) {
        const CtlReply r = Ctl({"unsubscribe", s.group});
        EXPECT_EQ(s.outcome, r.outcome) << s.group << ": " << r.text;
        EXPECT_EQ(s.file, Sub()) << s.group;
    }
}

TEST_F(SubscribeCommandTest, RefusedWhileFeedWorkRuns) {
    home_.Write("news/feed01.sub", "Y0000000140 comp.lang.c\r\n");
    const std::string before = Sub();
    home_.Write("news/feed01.lck", "**");  // a feed session exists
    for (const auto& words : {std::vector<std::string>{"subscribe", "test.alpha"},
                              std::vector<std::string>{"unsubscribe", "comp.lang.c"}}) {
        const CtlReply r = Ctl(words);
        EXPECT_EQ(CtlReply::Refused, r.outcome) << words[0];
        EXPECT_EQ(kLocked, r.text) << words[0];
    }
    ::unlink((home_ / "news/feed01.lck").c_str());
    // An expire run counts as feed work too.
    pane_->BeginFeedWork();
    EXPECT_EQ(kLocked, Ctl({"subscribe", "test.alpha"}).text);
    pane_->EndFeedWork();
    EXPECT_EQ(before, Sub());
    EXPECT_EQ(CtlReply::Ok, Ctl({"subscribe", "test.alpha"}).outcome);
}

TEST_F(SubscribeCommandTest, NotesAGroupTheUpstreamDoesNotCarry) {
    home_.Write("news/feed01.all",
                "215 list\r\ntest.alpha 10 1 y\r\ntest.beta 5 1 y\r\n.\r\n205 bye\r\n");
    EXPECT_EQ("Subscribed to test.alpha, the last 5 articles first.\n",
              Ctl({"subscribe", "test.alpha", "5"}).text);
    const CtlReply r = Ctl({"subscribe", "test.alhpa"});
    EXPECT_EQ(CtlReply::Ok, r.outcome);
    EXPECT_NE(std::string::npos, r.text.find("does not carry test.alhpa")) << r.text;
}

TEST_F(SubscribeCommandTest, WithoutASubscriptionFileSetting) {
    profile::WriteString("Quorvel.INI", "Newsfeed01", "SubGroupFile", std::nullopt);
    const CtlReply r = Ctl({"subscribe", "test.alpha"});
    EXPECT_EQ(CtlReply::Refused, r.outcome);
    EXPECT_NE(std::string::npos, r.text.find("SubGroupFile")) << r.text;
}

}  // namespace

namespace {

// Every file a refused command could have written.
std::string Files(const testutil::TempDir& home) {
    std::string all;
    for (const char* f : {"Quorvel.INI", "allowip.ini", "news/newsrc.ini", "news/feed01.sub"})
        all += std::string(f) + ":\n" + home.Read(f) + "\n";
    return all;
}

TEST_F(SubscribeCommandTest, RefusalsSayWhyAndWriteNothing) {
    home_.Write("allowip.ini", "127.0.0.1\n");
    home_.Write("news/feed01.sub", "Y0000000000 comp.lang.c\r\n");
    ASSERT_EQ(CtlReply::Ok, Ctl({"addgroup", "local.test"}).outcome);
    const struct {
        std::vector<std::string> words;
        const char* text;  // the answer begins so
    } cases[] = {
        {{"addgroup", "LOCAL.TEST"}, "ERROR: Group already exists. Add Aborted.\n"},
        {{"addgroup", "local.other", "age", "ten"}, "ERROR: age must be a number"},
        {{"group", "no.such.group", "age", "5"}, "ERROR: The group does not exist.\n"},
        {{"group", "local.test", "size", "-1"}, "ERROR: size must be a number"},
        {{"expire-defaults", "condage", "9x"}, "ERROR: condage must be a number"},
        {{"setup", "listenport", "0"}, "ERROR: Listen Port must be a number from 1 to 65535."},
        {{"setup", "listenport", "70000"}, "ERROR: Listen Port must be"},
        {{"setup", "timeout", "abc"}, "ERROR: Inactivity Timeout must be"},
        {{"setup", "postinghost", "two words"}, "ERROR: Posting Host must be"},
        {{"allow", "add", "10.0.0"}, "ERROR: The IP Mask must be four parts"},
        {{"allow", "add", "10.0.0.300"}, "ERROR: The IP Mask must be four parts"},
        {{"allow", "add", "127.0.0.1"}, "127.0.0.1 is already in the allow list."},
        {{"allow", "remove", "10.9.9.9"}, "10.9.9.9 is not in the allow list."},
        {{"events", "add", "News", "Funday", "10", "30"}, "ERROR: The day must be"},
        {{"events", "add", "News", "Monday", "24", "30"}, "ERROR: The hour must be"},
        {{"events", "add", "News", "Monday", "10", "07"}, "ERROR: The minute must be one of"},
        {{"events", "add", "Fetch", "Monday", "10", "30"}, "ERROR: The kind of event must be"},
        {{"events", "remove", "1"}, "ERROR: There is no event 1;"},
        {{"sleeptime", "-5"}, "ERROR: The interval must be a number of minutes"},
        {{"ras", "redial", "100"}, "ERROR: Redial Attempts must be a number from 0 to 99."},
        {{"ras", "wait", "0"}, "ERROR: Wait for Connection must be"},
        {{"ras", "password", "=" + std::string(100, 'x')},
         "ERROR: The password may have at most 99"},
        {{"feed", "port", "http"}, "ERROR: The Port must be a number from 1 to 65535."},
        {{"feed", "name", "!"}, "ERROR: The Name must be"},
        {{"feed", "security", "ssl"}, "ERROR: The Security must be none, tls or starttls."},
        {{"feed", "verify", "maybe"}, "ERROR: Verify must be yes, no or the certificate's"},
        {{"feed", "verify", std::string(63, 'a')}, "ERROR: Verify must be"},
        {{"feed", "user", "two words"}, "ERROR: The User must be"},
        {{"feed", "password", "=line\nbreak"}, "ERROR: The password may have at most 99"},
        {{"feed", "port", "563", "security", "bogus"}, "ERROR: The Security must be"},
        {{"getpost"}, "Server Connect Failed: No server information available."},
        {{"search", "x"}, "usage:"},
    };
    // No upstream yet: Get/Post says so instead of being dropped silently.
    const std::string before = Files(home_);
    for (const auto& c : cases) {
        const CtlReply r = Ctl(c.words);
        const std::string& w = c.words.back();
        if (c.words[0] == "search") {
            // Only the control channel reads the group list (in steps).
            EXPECT_EQ(CtlReply::Unknown, r.outcome) << w;
            continue;
        }
        EXPECT_EQ(CtlReply::Refused, r.outcome) << c.words[0] << " " << w << ": " << r.text;
        EXPECT_EQ(0u, r.text.rfind(c.text, 0)) << c.words[0] << " " << w << ": " << r.text;
        EXPECT_EQ(before, Files(home_)) << c.words[0] << " " << w;
    }
    // A password that the scramble would cut short is refused too.
    std::string cut = "=";
    for (int b = 128; b < 256; ++b) cut += static_cast<char>(b);
    EXPECT_EQ(CtlReply::Refused, Ctl({"ras", "password", cut}).outcome);
    EXPECT_EQ(before, Files(home_));
}

TEST_F(SubscribeCommandTest, SavedValuesReadBackAsThePagesShowThem) {
    ASSERT_EQ(CtlReply::Ok, Ctl({"addgroup", "local.test", "noposting", "age", "5"}).outcome);
    const CtlReply shown = Ctl({"group", "local.test"});
    EXPECT_NE(std::string::npos, shown.text.find("Posting Allowed: no\nage: 5 days\n"))
        << shown.text;
    EXPECT_EQ(CtlReply::Ok, Ctl({"group", "local.test", "posting", "yes", "size", "7"}).outcome);
    const std::string index = home_.Read("news/newsrc.ini");
    EXPECT_NE(std::string::npos, index.find("AllowPost=Yes")) << index;
    EXPECT_NE(std::string::npos, index.find("ExpireSize=7")) << index;

    EXPECT_EQ(CtlReply::Ok, Ctl({"ras", "password", "=open sesame"}).outcome);
    EXPECT_EQ("open sesame", setup_.GetRasPassword());
    EXPECT_EQ(std::string::npos, home_.Read("Quorvel.INI").find("sesame"));
    const CtlReply ras = Ctl({"ras"});
    EXPECT_EQ(std::string::npos, ras.text.find("sesame")) << ras.text;

    EXPECT_EQ(CtlReply::Ok, Ctl({"feed", "password", "=feed sesame"}).outcome);
    EXPECT_EQ(CtlReply::Ok, Ctl({"feed", "user", "joe", "security", "STARTTLS", "verify",
                                 "AB:" + std::string(62, 'c')})
                                .outcome);
    EXPECT_EQ("feed sesame", setup_.GetFeedPassword());
    EXPECT_EQ(std::string::npos, home_.Read("Quorvel.INI").find("sesame"));
    const CtlReply feed = Ctl({"feed"});
    EXPECT_NE(std::string::npos,
              feed.text.find("User: joe\nPassword: (set)\nSecurity: starttls\nVerify "
                             "Certificate: ab" +
                             std::string(62, 'c') + "\nCA File: (system)\n"))
        << feed.text;
}

// The group list is read a slice per pass of the loop: the command answers
// only after as many passes as the file has slices, and the loop serves
// everything else between them.
TEST_F(SubscribeCommandTest, GroupListCommandsReadInSlicesOnTheLoop) {
    std::string all = "215 list\r\n";
    constexpr int kGroups = 30000;
    for (int i = 0; i < kGroups; ++i)
        all += "cat" + std::to_string(i % 300) + ".group" + std::to_string(i) + " 10 1 y\r\n";
    all += ".\r\n205 bye\r\n";
    home_.Write("news/feed01.all", all);
    home_.Write("news/feed01.sub", "Y0000000000 cat7.group7\r\n");
    CtlCommands commands(*pane_);
    const struct {
        std::vector<std::string> words;
        CtlReply::Outcome outcome;
        const char* begins;
        std::size_t lines;
    } cases[] = {
        {{"categories"}, CtlReply::Ok, "cat0\ncat1\ncat10\n", 300},
        {{"category", "cat7"}, CtlReply::Ok, "Subscribed:\n  cat7.group7\nUnsubscribed:\n", 102},
        {{"search", "group2999"}, CtlReply::Ok, "cat290.group29990\ncat291.group29991\n", 11},
        {{"search", "nothing"}, CtlReply::Refused, "Program Information: Group not found\n", 1},
    };
    for (const auto& c : cases) {
        std::optional<CtlReply> reply;
        commands.Handle(c.words, [&](CtlReply r) { reply = std::move(r); });
        EXPECT_FALSE(reply.has_value()) << c.words[0];  // not inside the call
        int passes = 0;
        while (!reply && passes < 1000) {
            loop_.RunOnce(0);
            ++passes;
        }
        ASSERT_TRUE(reply.has_value()) << c.words[0];
        EXPECT_GE(passes, kGroups / static_cast<int>(CtlCommands::kLinesPerStep)) << c.words[0];
        EXPECT_EQ(c.outcome, reply->outcome) << c.words[0] << ": " << reply->text;
        EXPECT_EQ(0u, reply->text.rfind(c.begins, 0)) << c.words[0] << ": " << reply->text;
        EXPECT_EQ(c.lines, static_cast<std::size_t>(
                               std::count(reply->text.begin(), reply->text.end(), '\n')))
            << c.words[0];
        EXPECT_EQ(0u, commands.Pending());
    }
    // Without the file: the page's message, and a category still shows its
    // subscriptions.
    ::unlink((home_ / "news/feed01.all").c_str());
    std::optional<CtlReply> reply;
    commands.Handle({"categories"}, [&](CtlReply r) { reply = std::move(r); });
    while (!reply) loop_.RunOnce(0);
    EXPECT_EQ(CtlReply::Refused, reply->outcome);
    EXPECT_EQ(
        "File not available: Group file does not exist. You must run a 'Refresh Newsgroups' "
        "event before subscribing to groups.\n",
        reply->text);
}

TEST(CtlWords, PasswordComesFromStandardInputOnly) {
    std::string error;
    const auto read = [](bool* ok) {
        *ok = true;
        return std::string("pa ss");
    };
    EXPECT_EQ((std::vector<std::string>{"ras", "password", "=pa ss"}),
              PrepareCtlWords({"ras", "password"}, read, &error));
    EXPECT_TRUE(PrepareCtlWords({"ras", "password", "typed"}, read, &error).empty());
    EXPECT_NE(std::string::npos, error.find("standard input")) << error;
    EXPECT_EQ((std::vector<std::string>{"ras", "login", "bob"}),
              PrepareCtlWords({"ras", "login", "bob"}, read, &error));
    EXPECT_EQ((std::vector<std::string>{"feed", "password", "=pa ss"}),
              PrepareCtlWords({"feed", "password"}, read, &error));
    EXPECT_TRUE(PrepareCtlWords({"feed", "password", "typed"}, read, &error).empty());
    EXPECT_NE(std::string::npos, error.find("quorvel ctl feed password")) << error;
    // Whatever a word holds comes through the channel whole.
    const std::vector<std::string> words{"search", "a b%c", "", "tab\there", "=x"};
    EXPECT_EQ(words, ControlChannel::DecodeWords(ControlChannel::EncodeWords(words)));
}

}  // namespace
