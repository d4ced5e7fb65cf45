#include "app/CtlCommands.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <memory>

#include "app/qvPaneSplit.h"
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
