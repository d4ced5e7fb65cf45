#include "sched/DialUpController.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "sched/SimDialUp.h"
#include "sched/TimeManager.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

struct RecordingView : RasDialogView {
    void DialogOpened(int resource) override { opened.push_back(resource); }
    void SetCaption(std::string_view c) override { captions.emplace_back(c); }
    void SetTimeLeft(std::string_view t) override { timeLeft.emplace_back(t); }
    void DialogClosed(int result) override { closed.push_back(result); }
    std::vector<int> opened;
    std::vector<std::string> captions;
    std::vector<std::string> timeLeft;
    std::vector<int> closed;
};

// A target that proves the loop keeps serving others while we dial.
struct Echo : MessageTarget {
    using MessageTarget::MessageTarget;
    bool HandleMessage(int, WPARAM, LPARAM) override {
        ++handled;
        return true;
    }
    int handled = 0;
};

class DialUpTest : public ::testing::Test {
protected:
    static constexpr const char* kTerminating = "[QV] Terminating RAS Connection";

    void SetUp() override {
        setup.SetRasProfile("MyISP");
        setup.SetRedialAttempts(3);
        setup.SetWaitForConnect(5);
    }
    void TearDown() override {
        controller.reset();
        sim.reset();
    }

    void Start(const std::string& script) {
        controller.reset();
        sim = std::make_unique<SimDialUp>(loop, script,
                                          [this](std::string_view l) { log.emplace_back(l); });
        DialTimings t;
        t.hangUpWaitMs = 20;
        t.connectedWaitMs = 20;
        t.redialWaitMs = 20;
        t.startGraceMs = 0;
        Make(t);
    }
    // A controller for the line of the fixture's profile.
    void Make(DialTimings t) {
        controller = std::make_unique<DialUpController>(ctx, *sim, t);
        controller->Ras().RasInstalled = installed;
        controller->SetView(&view);
    }
    RasState& Ras() { return controller->Ras(); }
    // Starts a request; the answer lands in result.
    bool Connect() {
        return controller->DoRasConnect([this](bool ok) {
            result = ok;
            ++answers;
        });
    }
    // Runs the loop until pred holds or two seconds have passed.
    template <typename Pred>
    bool RunUntil(Pred pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            loop.RunOnce(5);
        }
        return true;
    }
    void RunFor(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) loop.RunOnce(5);
    }
    // Five seconds of the timer manager: one countdown step of the dialog.
    void FiveSeconds() {
        for (int i = 0; i < 5; ++i) tm.EvTimer();
        loop.RunOnce(0);
    }
    int Count(std::string_view line) const {
        int n = 0;
        for (const std::string& l : log) n += l == line ? 1 : 0;
        return n;
    }

    EventLoop loop;
    TimeManager tm{loop};
    testutil::TempDir dir;
    ::Setup setup{dir / "Quorvel.INI"};
    std::unique_ptr<SimDialUp> sim;
    std::unique_ptr<DialUpController> controller;
    RecordingView view;
    testutil::RecordingHost host;
    std::vector<std::string>& log = host.log;
    Context ctx{loop, setup, tm, host};
    bool installed = true;
    std::optional<bool> result;
    int answers = 0;
};

TEST_F(DialUpTest, NoProfileStartsWorkAtOnce) {
    installed = false;
    Start("entry MyISP\nconnected\n");
    EXPECT_TRUE(Connect());
    ASSERT_TRUE(result.has_value());  // answered inside the call
    EXPECT_TRUE(*result);
    EXPECT_EQ(0, sim->Dials());
    EXPECT_TRUE(view.opened.empty());
}

TEST_F(DialUpTest, OwnLineUpStartsWorkAtOnce) {
    Start("connected\n");
    Ras().RasSession = 42;
    Ras().RasConnected = true;
    Connect();
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(*result);
    EXPECT_EQ(0, sim->Dials());
}

TEST_F(DialUpTest, ZeroRedialAttemptsStartsNothing) {
    setup.SetRedialAttempts(0);
    Start("connected\n");
    Connect();
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    RunFor(50);
    EXPECT_EQ(0, sim->Dials());
    EXPECT_TRUE(view.opened.empty());
}

TEST_F(DialUpTest, UnavailableMachineryIsLoggedAndRefused) {
    Start("unavailable [RAS] nmcli was not found\n");
    Connect();
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_EQ(1, Count("[RAS] nmcli was not found"));
    EXPECT_EQ(0, sim->Dials());
}

TEST_F(DialUpTest, ProgressTextsInOrderThenConnected) {
    setup.SetDropConnection(true);
    Start(
        "entry MyISP\n"
        "state 0 after 1ms\nstate 1\nstate 2\nstate 3\nstate 5\nstate 6\nstate 7\n"
        "state 10\nstate 11\nstate 14\nstate 21\nstate 4\nconnected after 1ms\n");
    EXPECT_TRUE(Connect());
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    const std::vector<std::string> want = {"[RAS] Opening connection port",
                                           "[RAS] Port ready, connection pending",
                                           "[RAS] Connecting device",
                                           "[RAS] Device level connection established",
                                           "[RAS] Authentication process in progress",
                                           "[RAS] Authenticating",
                                           "[RAS] Retrying authentication",
                                           "[RAS] Projection phase in progress",
                                           "[RAS] Calculating link speed",
                                           "[RAS] Authentication complete",
                                           "[RAS] Logging on to the network",
                                           "[RAS] Session established"};
    EXPECT_EQ(want, log);  // state 4 has no text
    EXPECT_NE(0u, Ras().RasSession);
    EXPECT_TRUE(Ras().RasConnected);
    EXPECT_FALSE(Ras().RasInProgress);
    EXPECT_TRUE(Ras().QuorvelConnection);
    EXPECT_EQ(std::vector<int>{RasDialog::kWindowResource}, view.opened);
    EXPECT_EQ(std::vector<std::string>{"Connecting to MyISP"}, view.captions);
    EXPECT_EQ(std::vector<int>{RasDialog::kOk}, view.closed);
    ASSERT_EQ(1u, sim->dialled.size());
    EXPECT_EQ("MyISP", sim->dialled[0].entry);
}

TEST_F(DialUpTest, ThreeTimeOutsThenGiveUp) {
    Start("state 0\n");
    Echo echo(loop);
    Connect();
    for (int attempt = 1; attempt <= 3; ++attempt) {
        ASSERT_TRUE(RunUntil([&] { return sim->Dials() == attempt; })) << attempt;
        RunFor(10);
        // Readers are served while the dial runs.
        echo.Post(1);
        loop.RunOnce(0);
        EXPECT_EQ(attempt, echo.handled);
        EXPECT_FALSE(result.has_value());
        FiveSeconds();  // WaitForConnect 5: this step ends the attempt
        EXPECT_EQ(attempt, sim->HangUps()) << attempt;
    }
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
    RunFor(100);
    EXPECT_EQ(3, sim->Dials());
    EXPECT_EQ(3, Count("[RAS] Opening connection port"));
    EXPECT_EQ((std::vector<int>{2, 2, 2}), view.closed);
    EXPECT_EQ(std::vector<std::string>(3, "Time Left: 0:00"), view.timeLeft);
    EXPECT_FALSE(Ras().RasCancelPressed);
    EXPECT_EQ(0u, Ras().RasSession);
    EXPECT_FALSE(Ras().RasInProgress);
}

TEST_F(DialUpTest, CountdownTexts) {
    setup.SetWaitForConnect(60);
    setup.SetRedialAttempts(1);
    Start("state 0\n");
    Connect();
    ASSERT_TRUE(RunUntil([&] { return sim->Dials() == 1; }));
    for (int i = 0; i < 12; ++i) FiveSeconds();
    const std::vector<std::string> want = {"Time Left: 0:55", "Time Left: 0:50", "Time Left: 0:45",
                                           "Time Left: 0:40", "Time Left: 0:35", "Time Left: 0:30",
                                           "Time Left: 0:25", "Time Left: 0:20", "Time Left: 0:15",
                                           "Time Left: 0:10", "Time Left: 0:05", "Time Left: 0:00"};
    EXPECT_EQ(want, view.timeLeft);
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);

    struct Case {
        long seconds;
        const char* want;
    } cases[] = {{125, "Time Left: 2:05"}, {60, "Time Left: 1:00"}, {-5, "Time Left: 0:00"}};
    for (const Case& c : cases) EXPECT_EQ(c.want, RasDialog::TimeLeftText(c.seconds)) << c.seconds;
}

TEST_F(DialUpTest, CancelInFirstAttemptStopsRedialling) {
    Start("state 0\n");
    Connect();
    ASSERT_TRUE(RunUntil([&] { return sim->Dials() == 1; }));
    EXPECT_TRUE(controller->CmCancel());
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
    RunFor(100);
    EXPECT_EQ(1, sim->Dials());
    EXPECT_EQ(1, sim->HangUps());
    EXPECT_TRUE(Ras().RasCancelPressed);
    EXPECT_FALSE(controller->CmCancel());  // nothing left to cancel
}

TEST_F(DialUpTest, CancelBetweenAttemptsStopsRedialling) {
    Start("error 678 after 1ms\n");
    DialTimings t;
    t.hangUpWaitMs = 1;
    t.redialWaitMs = 400;
    Make(t);
    Connect();
    ASSERT_TRUE(RunUntil([&] { return controller->Dialog() == nullptr; }));
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(controller->CmCancel());
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    RunFor(500);
    EXPECT_EQ(1, sim->Dials());
}

TEST_F(DialUpTest, DialErrorShowsBothTexts) {
    setup.SetRedialAttempts(1);
    struct Case {
        int code;
        const char* text;  // nullptr: the code has no text
    } cases[] = {{678, "[RAS] No answer"},
                 {691, "[RAS] Authentication failure"},
                 {601, "[RAS] Invalid port handle"},
                 {750, "[RAS] Wrong module"},
                 {999, nullptr}};
    for (const Case& c : cases) {
        log.clear();
        result.reset();
        Start("state 0\nerror " + std::to_string(c.code) + " after 1ms\n");
        Connect();
        ASSERT_TRUE(RunUntil([&] { return result.has_value(); })) << c.code;
        EXPECT_FALSE(*result);
        std::vector<std::string> want = {"[RAS] Opening connection port",
                                         "[RAS] The RAS sub-system has encountered an error!"};
        if (c.text != nullptr) want.emplace_back(c.text);
        EXPECT_EQ(want, log) << c.code;
        EXPECT_FALSE(Ras().RasCancelPressed) << c.code;  // an error is no cancel: redial allowed
    }
}

TEST_F(DialUpTest, ErrorsAndFailuresRedial) {
    Start(
        "attempt\nfail\n"
        "attempt\nstate 0\ndisconnected after 1ms\n"
        "attempt\nconnected after 1ms\n");
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    EXPECT_EQ(3, sim->Dials());
    EXPECT_EQ(1, Count("[RAS] The RAS subsystem has encountered a fatal error!"));
    EXPECT_EQ(1, Count("[RAS] Disconnect or failed connection attempt"));
    EXPECT_EQ(1, Count("[RAS] Session established"));
    EXPECT_EQ(3, controller->Attempt());
}

TEST_F(DialUpTest, LineAlreadyUpIsTakenOverAndNeverHungUp) {
    setup.SetDropConnection(true);
    Start("entry MyISP\nactive Wired\nactive myisp\nconnected\n");
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    EXPECT_EQ(0, sim->Dials());
    EXPECT_EQ(0u, Ras().RasSession);
    EXPECT_TRUE(Ras().RasConnected);
    EXPECT_FALSE(Ras().QuorvelConnection);

    // The work ends: the five-second tick leaves the line up and forgets it.
    controller->ConnectionMaint();
    controller->FiveSecondReset();
    EXPECT_EQ(0, Count(kTerminating));
    EXPECT_EQ(0, sim->HangUps());
    EXPECT_FALSE(Ras().RasConnected);

    // The next request takes it over again.
    result.reset();
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    EXPECT_EQ(0, sim->Dials());
}

TEST_F(DialUpTest, TakenOverLineBeforeTheResetIsLookedUpAgain) {
    Start("active MyISP\n");
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    // A second request within the same five seconds does not sit out a
    // whole countdown: it finds the line again at once.
    result.reset();
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    EXPECT_TRUE(view.timeLeft.empty());
}

TEST_F(DialUpTest, HangUpWhenDoneFollowsDropConnect) {
    struct Case {
        bool drop;
        int terminating;
        int hangUps;
        bool stillUp;
    } cases[] = {{true, 1, 1, false}, {false, 0, 0, true}};
    for (const Case& c : cases) {
        SetUp();
        setup.SetDropConnection(c.drop);
        log.clear();
        result.reset();
        Start("connected after 1ms\n");
        Connect();
        ASSERT_TRUE(RunUntil([&] { return result.has_value(); })) << c.drop;
        ASSERT_TRUE(*result);
        ASSERT_EQ(std::vector<std::string>{"MyISP"}, sim->ActiveNames());
        controller->ConnectionMaint();
        controller->ConnectionMaint();
        EXPECT_EQ(c.terminating, Count(kTerminating)) << c.drop;
        EXPECT_EQ(c.hangUps, sim->HangUps()) << c.drop;
        EXPECT_EQ(c.stillUp, !sim->ActiveNames().empty()) << c.drop;
        EXPECT_EQ(c.stillUp, Ras().RasConnected) << c.drop;
        EXPECT_FALSE(Ras().QuorvelConnection) << c.drop;
    }
}

TEST_F(DialUpTest, SecondRequestWhileDiallingIsDropped) {
    Start("state 0\nconnected after 100ms\n");
    EXPECT_TRUE(Connect());
    EXPECT_FALSE(
        controller->DoRasConnect([](bool) { ADD_FAILURE() << "dropped request answered"; }));
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_EQ(1, answers);
    EXPECT_EQ(1, sim->Dials());
}

TEST_F(DialUpTest, NoHangUpWhileDialling) {
    setup.SetDropConnection(true);
    Start("connected after 1ms\n");
    DialTimings t;
    t.connectedWaitMs = 200;  // connected, dialog not yet closed
    Make(t);
    Connect();
    ASSERT_TRUE(RunUntil([&] { return Ras().RasConnected; }));
    controller->ConnectionMaint();
    EXPECT_EQ(0, Count(kTerminating));
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(*result);
    // The work it was dialled for is being started: not this tick either.
    controller->ConnectionMaint();
    EXPECT_EQ(0, sim->HangUps());
}

TEST_F(DialUpTest, FailedListingOnlyCountsDown) {
    setup.SetRedialAttempts(1);
    Start("listfail\nconnected\n");
    Connect();
    RunFor(30);
    EXPECT_EQ(0, sim->Dials());
    FiveSeconds();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
}

TEST_F(DialUpTest, TrayChoosesTheHiddenDialog) {
    setup.SetRedialAttempts(1);
    Start("connected\n");
    controller->SetInTray([] { return true; });
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_EQ(std::vector<int>{RasDialog::kTrayResource}, view.opened);
    EXPECT_EQ(1, Count("[RAS] Session established"));  // the log still gets it
}

TEST_F(DialUpTest, RedialWaitsForTheHangUpToSettle) {
    setup.SetDropConnection(true);
    Start("connected\n");
    DialTimings t;
    t.hangUpWaitMs = 300;
    t.connectedWaitMs = 1;
    t.startGraceMs = 0;
    Make(t);
    Connect();
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    controller->ConnectionMaint();  // hangs up
    ASSERT_EQ(1, sim->HangUps());
    result.reset();
    Connect();
    RunFor(100);
    EXPECT_EQ(1, sim->Dials());  // still waiting for the line to go down
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_EQ(2, sim->Dials());
}

TEST_F(DialUpTest, DestroyedMidDialIsSafe) {
    Start("state 0 after 20ms\nconnected after 20ms\n");
    Connect();
    ASSERT_TRUE(RunUntil([&] { return sim->Dials() == 1; }));
    controller.reset();
    RunFor(80);
    EXPECT_FALSE(result.has_value());
}

}  // namespace
