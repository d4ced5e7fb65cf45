#include "app/qvPaneSplit.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <functional>
#include <memory>

#include "app/CtlCommands.h"
#include "app/Messages.h"
#include "sched/SimDialUp.h"
#include "sched/TimeManager.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

using namespace std::chrono_literals;

// Runs the loop until pred holds or the time is up; returns pred().
bool RunUntil(EventLoop& loop, const std::function<bool()>& pred,
              std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred() && std::chrono::steady_clock::now() < end) loop.RunOnce(20);
    return pred();
}

// A session whose state the test sets; readers keep their connection.
struct FakeSession : SessionHandle {
    explicit FakeSession(std::shared_ptr<int> s) : state(std::move(s)) {}
    int State() const override { return *state; }
    std::shared_ptr<int> state;
    StreamSocket socket;
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(nullptr, ::getcwd(buf, sizeof buf));
        oldCwd_ = buf;
        ASSERT_EQ(0, ::chdir(home_.Path().c_str()));
        port_ = testutil::FreePort();
        Write("admin", "NewsPath", "news/");
        Write("admin", "ListenPort", std::to_string(port_));
        Write("admin", "PostingHost", "127.0.0.2");
        Write("NewsFeed01", "Name", "127.0.0.1");
        Write("NewsFeed01", "Port", "1119");
        Write("NewsFeed01", "AllGroupFile", "feed01.all");
        Write("NewsFeed01", "SubGroupFile", "feed01.sub");
    }
    void TearDown() override {
        pane_.reset();
        ASSERT_EQ(0, ::chdir(oldCwd_.c_str()));
    }
    void Write(const char* section, const char* key, const std::string& value) {
        profile::WriteString("Quorvel.INI", section, key, value);
    }
    // Builds the controller with fake sessions and runs its start sequence.
    void Start() {
        pane_ = std::make_unique<qvPaneSplit>(loop_, setup_, timers_, shell_);
        pane_->SetReaderFactory([this](const Context&, StreamSocket&& accepted,
                                       const std::string& peer, const std::string&) {
            auto s = std::make_unique<FakeSession>(std::make_shared<int>(1));
            s->socket = std::move(accepted);
            readers_.push_back(s->state);
            peers_.push_back(peer);
            return s;
        });
        pane_->SetFeedFactory([this](const Context&, const FeedRequest& r) {
            feedRequests_.push_back(r);
            auto s = std::make_unique<FakeSession>(std::make_shared<int>(1));
            feeds_.push_back(s->state);
            return s;
        });
        DialTimings quick;
        quick.hangUpWaitMs = quick.connectedWaitMs = quick.redialWaitMs = 10;
        pane_->SetDialTimings(quick);
        pane_->SetupWindow();
        ASSERT_TRUE(
            RunUntil(loop_, [&] { return pane_->Listening() || !shell_.messages.empty(); }));
    }
    bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

    testutil::TempDir home_;
    std::string oldCwd_;
    int port_ = 0;
    EventLoop loop_;
    ::Setup setup_{home_ / "Quorvel.INI"};
    TimeManager timers_{loop_};
    testutil::RecordingShell shell_;
    std::unique_ptr<qvPaneSplit> pane_;
    std::vector<std::shared_ptr<int>> readers_;
    std::vector<std::string> peers_;
    std::vector<std::shared_ptr<int>> feeds_;
    std::vector<FeedRequest> feedRequests_;
};

int ConnectNonBlocking(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// 1: the peer closed; 0: still open; checked without waiting.
int PeerClosed(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    if (n == 0) return 1;
    if (n < 0 && errno == ECONNRESET) return 1;
    return 0;
}

TEST_F(ControllerTest, StartCreatesDirectoriesRemovesStaleLockAndListens) {
    ASSERT_EQ(0, ::mkdir("news", 0755));
    testutil::WriteFile(home_ / "news/feed01.lck", "**");
    Start();
    EXPECT_TRUE(pane_->Listening()) << (shell_.messages.empty() ? "" : shell_.messages[0]);
    EXPECT_TRUE(Exists("news/POSTS"));
    EXPECT_FALSE(Exists("news/feed01.lck"));
    EXPECT_EQ(500, pane_->MaxClients());
    const std::vector<std::string> tree = pane_->TreeLines();
    ASSERT_EQ(5u, tree.size());
    EXPECT_EQ("  Serving on Port: " + std::to_string(port_), tree[1]);
    EXPECT_EQ("  Max Client Connections: 500", tree[2]);
}

TEST_F(ControllerTest, BusyPortIsReportedAndTheServerCarriesOn) {
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    ASSERT_EQ(0, ::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(blocker, 1));
    Start();
    ::close(blocker);
    EXPECT_FALSE(pane_->Listening());
    ASSERT_EQ(1u, shell_.messages.size());
    EXPECT_EQ("ERROR: Error Binding Listen Socket", shell_.messages[0]);
}

TEST_F(ControllerTest, The501stReaderIsClosedSilentlyAndAFreedPlaceIsReused) {
    Start();
    ASSERT_TRUE(pane_->Listening());
    std::vector<int> fds;
    for (int i = 0; i < 500; ++i) {
        fds.push_back(ConnectNonBlocking(port_));
        if (i % 50 == 49) RunUntil(loop_, [&] { return pane_->ReaderCount() == i + 1; });
    }
    ASSERT_TRUE(RunUntil(
        loop_, [&] { return pane_->ReaderCount() == 500; }, 20s))
        << pane_->ReaderCount();
    EXPECT_EQ("127.0.0.1", peers_[0]);
    EXPECT_EQ(500u, shell_.connections.readers.size());
    EXPECT_EQ("IP: 127.0.0.1", shell_.connections.readers[0]);
    const std::size_t logLines = pane_->LogLines().size();

    const int extra = ConnectNonBlocking(port_);
    ASSERT_TRUE(RunUntil(loop_, [&] { return PeerClosed(extra) == 1; }));
    EXPECT_EQ(500, pane_->ReaderCount());
    EXPECT_EQ(500u, readers_.size());
    EXPECT_EQ(logLines, pane_->LogLines().size());  // nothing logged
    for (int fd : fds) EXPECT_EQ(0, PeerClosed(fd));

    // A session that has ended is reaped in the tick; its place takes the next reader.
    *readers_[7] = 2;
    pane_->Msg5Timer();
    EXPECT_EQ(499, pane_->ReaderCount());
    const int next = ConnectNonBlocking(port_);
    ASSERT_TRUE(RunUntil(loop_, [&] { return pane_->ReaderCount() == 500; }));
    EXPECT_EQ(0, PeerClosed(next));
    for (int fd : fds) ::close(fd);
    ::close(extra);
    ::close(next);
}

TEST_F(ControllerTest, GetPostCreatesFetchThenPostAndHoldsTheLock) {
    Start();
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 2; }));
    EXPECT_EQ(kind::FetchArticles, feedRequests_[0].kind);
    EXPECT_EQ("127.0.0.1", feedRequests_[0].address);
    EXPECT_EQ(kind::PostArticles, feedRequests_[1].kind);
    EXPECT_EQ("127.0.0.2", feedRequests_[1].address);  // the posting host
    EXPECT_EQ(1119, feedRequests_[1].port);
    EXPECT_EQ("feed01.sub", feedRequests_[0].subGroupFile);
    EXPECT_EQ(2, pane_->FeedSessionCount());
    EXPECT_EQ("**", testutil::ReadFile(home_ / "news/feed01.lck"));
    EXPECT_EQ(std::vector<std::string>({"IP:127.0.0.1", "IP:127.0.0.2"}), shell_.connections.feeds);

    // Feed work running: every new request is dropped.
    pane_->CmProcessQueue();
    pane_->CmRefreshGroups();
    pane_->CmExpireRun();
    for (int i = 0; i < 5; ++i) loop_.RunOnce(10);
    EXPECT_EQ(2u, feedRequests_.size());
    pane_->DoStatus();
    EXPECT_EQ("Session in progress", pane_->StatusLines()[3]);

    // The lock goes with the last feed session.
    *feeds_[0] = 2;
    pane_->Msg5Timer();
    EXPECT_EQ(1, pane_->FeedSessionCount());
    EXPECT_TRUE(Exists("news/feed01.lck"));
    *feeds_[1] = 2;
    pane_->Msg5Timer();
    EXPECT_EQ(0, pane_->FeedSessionCount());
    EXPECT_FALSE(Exists("news/feed01.lck"));
    EXPECT_TRUE(shell_.connections.feeds.empty());
}

TEST_F(ControllerTest, FeedRequestWithoutServerShowsTheBox) {
    const struct {
        const char* section;
        const char* key;
    } missing[] = {{"NewsFeed01", "Name"}, {"admin", "PostingHost"}};
    for (const auto& m : missing) {
        profile::WriteString("Quorvel.INI", m.section, m.key, std::nullopt);
        Start();
        shell_.messages.clear();
        pane_->CmRefreshGroups();
        ASSERT_TRUE(RunUntil(loop_, [&] { return !shell_.messages.empty(); })) << m.key;
        EXPECT_EQ(
            "Server Connect Failed: No server information available. \nPlease complete "
            "setup information first.",
            shell_.messages[0])
            << m.key;
        EXPECT_TRUE(feedRequests_.empty());
        EXPECT_EQ(0, pane_->FeedSessionCount());
        pane_.reset();
        Write("NewsFeed01", "Name", "127.0.0.1");
        Write("admin", "PostingHost", "127.0.0.2");
    }
}

TEST_F(ControllerTest, SimpleScheduleCountsMinutesOnlyWhileIdle) {
    Write("admin", "SleepTime", "3");
    Start();
    ASSERT_TRUE(pane_->SimpleSchedule());
    EXPECT_EQ(3, pane_->FetchCountdown());
    pane_->DoStatus();
    ASSERT_EQ(5u, pane_->StatusLines().size());
    EXPECT_EQ("Fetch in 3 minutes.", pane_->StatusLines()[4]);

    pane_->MsgMinuteTimer();
    pane_->MsgMinuteTimer();
    for (int i = 0; i < 3; ++i) loop_.RunOnce(10);
    EXPECT_TRUE(feedRequests_.empty());
    pane_->MsgMinuteTimer();  // reaches 0: the run starts
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 2; }));
    EXPECT_EQ(-1, pane_->FetchCountdown());
    pane_->DoStatus();
    EXPECT_EQ(4u, pane_->StatusLines().size());  // no "Fetch in" while negative

    for (int i = 0; i < 5; ++i) pane_->MsgMinuteTimer();  // frozen while feed work runs
    EXPECT_EQ(-1, pane_->FetchCountdown());
    *feeds_[0] = 2;
    *feeds_[1] = 2;
    pane_->Msg5Timer();
    EXPECT_EQ(3, pane_->FetchCountdown());  // the next run 3 minute ticks after this one ended
}

TEST_F(ControllerTest, StatusShowsKilobytesAndTotalsPast4GB) {
    Start();
    const struct {
        std::int64_t add;
        const char* sent;
    } steps[] = {
        {1023, "Bytes Sent: 0k"},
        {1, "Bytes Sent: 1k"},
        {LPARAM{INT_MAX}, "Bytes Sent: 2097152k"},
        // A 32-bit total would have wrapped to a negative figure here.
        {LPARAM{INT_MAX}, "Bytes Sent: 4194304k"},
        {LPARAM{3} << 30, "Bytes Sent: 7340032k"},
    };
    for (const auto& s : steps) {
        pane_->Post(msg::IncSent, 0, static_cast<LPARAM>(s.add));
        loop_.RunOnce(0);
        EXPECT_EQ(s.sent, pane_->StatusLines()[0]) << s.add;
        EXPECT_EQ(s.sent, shell_.status[0]) << s.add;
    }
    pane_->Post(msg::IncRecvd, 0, 5 * 1024 + 1023);
    loop_.RunOnce(0);
    EXPECT_EQ("Bytes Recv: 5k", pane_->StatusLines()[1]);
    EXPECT_EQ(0u, pane_->StatusLines()[2].rfind("System Mem Usage:  ", 0));
    EXPECT_EQ('%', pane_->StatusLines()[2].back());
    EXPECT_EQ("No Events Scheduled", pane_->StatusLines()[3]);
    EXPECT_EQ(4u, pane_->StatusLines().size());
}

TEST_F(ControllerTest, ExpireRunCountsAsFeedWorkUntilDone) {
    Start();
    std::function<void()> finish;
    pane_->SetExpireRunner([&](std::function<void()> done) { finish = std::move(done); });
    pane_->CmExpireRun();
    ASSERT_TRUE(RunUntil(loop_, [&] { return static_cast<bool>(finish); }));
    EXPECT_EQ(1, pane_->FeedSessionCount());
    pane_->CmProcessQueue();
    for (int i = 0; i < 3; ++i) loop_.RunOnce(10);
    EXPECT_TRUE(feedRequests_.empty());
    finish();
    finish();  // reported twice, counted once
    EXPECT_EQ(0, pane_->FeedSessionCount());
}

TEST_F(ControllerTest, StoreExpireRunLogsAndEnds) {
    Start();
    pane_->CmExpireRun();
    ASSERT_TRUE(RunUntil(
        loop_, [&] { return pane_->FeedSessionCount() == 0 && shell_.Logged("[EXPIRE]"); }));
}

TEST_F(ControllerTest, FirstStartRunsTheWizard) {
    profile::WriteString("Quorvel.INI", "NewsFeed01", "Name", std::nullopt);
    // A person who answers some passes of the loop later.
    struct WizardShell : testutil::RecordingShell {
        void RunWizard(std::function<void(bool)> done) override {
            ++runs;
            answer = std::move(done);
        }
        int runs = 0;
        std::function<void(bool)> answer;
    } shell;
    qvPaneSplit pane(loop_, setup_, timers_, shell);
    pane.SetupWindow();
    ASSERT_TRUE(RunUntil(loop_, [&] { return shell.runs == 1; }));
    for (int i = 0; i < 5; ++i) loop_.RunOnce(0);
    EXPECT_FALSE(pane.Started());  // the start goes on once answered
    profile::WriteString("Quorvel.INI", "NewsFeed01", "Name", "news.example.net");
    shell.answer(true);
    ASSERT_TRUE(RunUntil(loop_, [&] { return pane.Listening(); }));
    EXPECT_EQ(1, shell.runs);
    ASSERT_EQ(1u, shell.messages.size());
    EXPECT_EQ(0u, shell.messages[0].rfind("Next Step: If you are connected to your ISP", 0));
}

TEST_F(ControllerTest, LogReachesShellPaneAndFile) {
    Start();
    pane_->UpdLog("[QV] hello");
    EXPECT_EQ("[QV] hello", pane_->LogLines().back());
    ASSERT_FALSE(shell_.log.empty());
    EXPECT_EQ(":[QV] hello", shell_.log.back().substr(24));
    loop_.RunOnce(0);  // the file gets the pass's lines at its end
    const std::string file = testutil::ReadFile(home_ / "quorvel.log");
    EXPECT_NE(std::string::npos, file.find(":[QV] hello\r\n"));
}

TEST_F(ControllerTest, ChangedSleepTimeRestartsTheCountdownAtOnce) {
    Start();
    EXPECT_FALSE(pane_->SimpleSchedule());
    EXPECT_EQ(4u, pane_->StatusLines().size());
    Write("admin", "SleepTime", "12");
    pane_->SettingsClosed(0, false);
    EXPECT_TRUE(pane_->SimpleSchedule());
    ASSERT_EQ(5u, pane_->StatusLines().size());
    EXPECT_EQ("Fetch in 12 minutes.", pane_->StatusLines()[4]);
    pane_->MsgMinuteTimer();
    pane_->SettingsClosed(12, false);  // unchanged: the countdown runs on
    EXPECT_EQ(11, pane_->FetchCountdown());
}

TEST_F(ControllerTest, ScheduledEventsFireOnePerMinuteTick) {
    struct FakeSchedule : EventSchedule {
        explicit FakeSchedule(std::vector<int>* events) : due(events) {}
        int AnyTrigger() override {
            if (due->empty()) return 0;
            const int k = due->front();
            due->erase(due->begin());
            return k;
        }
        std::string NextEvent() override { return "Next Event: soon"; }
        std::string GetNextTrigger(int i) override {
            return i <= 2 ? "[SCHED] Next Trigger: " + std::to_string(i) : "*Invalid Event Index";
        }
        std::vector<int>* due;
    };
    std::vector<int> due = {3, 1};
    pane_ = std::make_unique<qvPaneSplit>(loop_, setup_, timers_, shell_);
    pane_->SetScheduleFactory([&] { return std::make_unique<FakeSchedule>(&due); });
    std::vector<int> kinds;
    pane_->SetFeedFactory([&](const Context&, const FeedRequest& r) {
        kinds.push_back(r.kind);
        auto f = std::make_unique<FakeSession>(std::make_shared<int>(1));
        feeds_.push_back(f->state);
        return f;
    });
    pane_->SetupWindow();
    ASSERT_TRUE(RunUntil(loop_, [&] { return pane_->Listening(); }));
    EXPECT_TRUE(shell_.Logged(":[SCHED] Next Trigger: 2"));
    EXPECT_FALSE(shell_.Logged("Invalid"));
    EXPECT_EQ("Next Event: soon", pane_->StatusLines()[3]);

    pane_->MsgMinuteTimer();  // the News event
    ASSERT_TRUE(RunUntil(loop_, [&] { return kinds.size() == 2; }));
    EXPECT_EQ(std::vector<int>({kind::FetchArticles, kind::PostArticles}), kinds);
    pane_->MsgMinuteTimer();  // feed work runs: the schedule is not asked
    EXPECT_EQ(1u, due.size());
    *feeds_[0] = *feeds_[1] = 2;
    pane_->Msg5Timer();
    pane_->MsgMinuteTimer();  // now the Expire event
    EXPECT_TRUE(due.empty());
    ASSERT_TRUE(RunUntil(loop_, [&] { return shell_.Logged("[EXPIRE]"); }));
}

// ---- dial-up in the work queue

class DialWiringTest : public ControllerTest {
protected:
    static constexpr const char* kTerminating = "[QV] Terminating RAS Connection";

    // Starts the controller with the simulated dial-up entry "MyISP".
    void StartDialling(const std::string& script, const char* drop = "Yes", int attempts = 3,
                       int sleepTime = 3) {
        testutil::WriteFile(home_ / "sim.txt", script);
        Write("ras", "Profile", "MyISP");
        Write("ras", "Backend", "sim");
        Write("ras", "SimScript", "sim.txt");
        Write("ras", "redialattempts", std::to_string(attempts));
        Write("ras", "DropConnect", drop);
        Write("admin", "SleepTime", std::to_string(sleepTime));
        Start();
        sim_ = dynamic_cast<SimDialUp*>(pane_->DialUpMachine());
        ASSERT_NE(nullptr, sim_);
        pane_->SetFeedFactory([this](const Context&, const FeedRequest& r) {
            feedRequests_.push_back(r);
            afterConnect_.push_back(pane_->Ras()->RasConnected &&
                                    Count("[RAS] Session established") == 1);
            auto f = std::make_unique<FakeSession>(std::make_shared<int>(1));
            feeds_.push_back(f->state);
            return f;
        });
    }
    int Count(std::string_view line) const {
        int n = 0;
        for (const std::string& l : pane_->LogLines()) n += l == line ? 1 : 0;
        return n;
    }
    // The feed sessions end; the next five-second tick finds no feed work.
    void EndRun() {
        for (auto& f : feeds_) *f = 2;
        pane_->Msg5Timer();
    }
    void RunFor(std::chrono::milliseconds d) {
        const auto end = std::chrono::steady_clock::now() + d;
        while (std::chrono::steady_clock::now() < end) loop_.RunOnce(5);
    }

    SimDialUp* sim_ = nullptr;
    std::vector<bool> afterConnect_;
};

TEST_F(DialWiringTest, NoProfileStartsTheWorkWithoutDialling) {
    StartDialling("entry MyISP\nconnected\n");
    Write("ras", "Profile", "(None)");
    pane_->SettingsClosed(3, false);
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 2; }));
    EXPECT_EQ(0, sim_->Dials());
    EXPECT_EQ(-1, pane_->FetchCountdown());
    EndRun();
    EXPECT_EQ(0, Count(kTerminating));
    EXPECT_EQ(3, pane_->FetchCountdown());
}

TEST_F(DialWiringTest, GetPostDialsFirstAndStartsFeedWorkOnlyOnceConnected) {
    StartDialling("entry MyISP\nstate 0 after 20ms\nstate 1 after 20ms\nconnected after 500ms\n");
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return Count("[RAS] Opening connection port") == 1; }));
    EXPECT_TRUE(pane_->Dialling());
    EXPECT_EQ(-2, pane_->FetchCountdown());
    EXPECT_TRUE(pane_->FeedWorkBusy());
    // While dialling, more work is dropped and the minute tick stands still.
    pane_->CmProcessQueue();
    pane_->CmRefreshGroups();
    pane_->CmExpireRun();
    pane_->MsgMinuteTimer();
    pane_->Msg5Timer();
    EXPECT_TRUE(feedRequests_.empty());
    EXPECT_EQ(-2, pane_->FetchCountdown());

    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 2; }));
    EXPECT_EQ(1, sim_->Dials());
    EXPECT_EQ("MyISP", sim_->dialled.at(0).entry);
    EXPECT_EQ(kind::FetchArticles, feedRequests_[0].kind);
    EXPECT_EQ(kind::PostArticles, feedRequests_[1].kind);
    EXPECT_EQ(std::vector<bool>({true, true}), afterConnect_);
    EXPECT_EQ(-1, pane_->FetchCountdown());
    EXPECT_FALSE(shell_.Logged("[EXPIRE]"));
    // The owner asking meanwhile is told why nothing more starts.
    for (const char* cmd : {"getpost", "refresh"}) {
        const CtlReply r = HandleCtlCommand(*pane_, {cmd});
        EXPECT_EQ(CtlReply::Refused, r.outcome) << cmd;
        EXPECT_EQ("A server session or an expire run is in progress; request dropped.\n", r.text)
            << cmd;
    }
    EXPECT_EQ(2u, feedRequests_.size());

    // A tick during the run leaves the line alone; the end of the run hangs
    // up the line we dialled, once, and restarts the countdown.
    pane_->Msg5Timer();
    EXPECT_TRUE(pane_->Ras()->RasConnected);
    EXPECT_EQ(0, Count(kTerminating));
    EndRun();
    EXPECT_EQ(1, Count(kTerminating));
    EXPECT_EQ(1, sim_->HangUps());
    EXPECT_FALSE(pane_->Ras()->RasConnected);
    EXPECT_EQ(3, pane_->FetchCountdown());
    pane_->Msg5Timer();
    EXPECT_EQ(1, Count(kTerminating));
}

TEST_F(DialWiringTest, RefreshDialsFirstToo) {
    StartDialling("entry MyISP\nconnected after 30ms\n", "Yes", 3, 0);
    pane_->CmRefreshGroups();
    EXPECT_TRUE(feedRequests_.empty());
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 1; }));
    EXPECT_EQ(kind::RefreshGroups, feedRequests_[0].kind);
    EXPECT_EQ(std::vector<bool>({true}), afterConnect_);
    EndRun();
    EXPECT_EQ(1, Count(kTerminating));
}

TEST_F(DialWiringTest, FailedDialsStartNoFeedWork) {
    const struct {
        const char* script;
        const char* line;  // logged once per attempt
    } cases[] = {
        {"entry MyISP\nerror 678 after 10ms\n", "[RAS] No answer"},
        {"entry MyISP\nstate 0\ndisconnected after 10ms\n",
         "[RAS] Disconnect or failed connection attempt"},
        {"entry MyISP\nfail\n", "[RAS] The RAS subsystem has encountered a fatal error!"},
    };
    for (const auto& c : cases) {
        StartDialling(c.script, "Yes", 2);
        pane_->MsgProcessQueue();
        EXPECT_TRUE(pane_->Dialling()) << c.script;
        ASSERT_TRUE(RunUntil(loop_, [&] { return !pane_->Dialling(); })) << c.script;
        RunFor(std::chrono::milliseconds(50));
        EXPECT_EQ(2, sim_->Dials()) << c.script;
        EXPECT_EQ(2, Count(c.line)) << c.script;
        EXPECT_TRUE(feedRequests_.empty()) << c.script;
        EXPECT_EQ(0, pane_->FeedSessionCount()) << c.script;
        EXPECT_EQ(-1, pane_->FetchCountdown()) << c.script;
        // Until then a Get/Post asked for is dropped, and the owner is told.
        const CtlReply r = HandleCtlCommand(*pane_, {"getpost"});
        EXPECT_EQ(CtlReply::Refused, r.outcome) << c.script;
        EXPECT_EQ(0u, r.text.rfind("The last Get/Post run's dial-up failed", 0)) << r.text;
        pane_->Msg5Timer();  // the countdown restarts at the next tick
        EXPECT_EQ(3, pane_->FetchCountdown()) << c.script;
        EXPECT_EQ(0, Count(kTerminating)) << c.script;
        pane_.reset();
    }
}

TEST_F(DialWiringTest, DropConnectNoLeavesTheLineUpForTheNextRunToTakeOver) {
    StartDialling("entry MyISP\nconnected after 10ms\n", "No");
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 2; }));
    EndRun();
    pane_->Msg5Timer();
    EXPECT_EQ(0, Count(kTerminating));
    EXPECT_EQ(0, sim_->HangUps());
    EXPECT_EQ(std::vector<std::string>({"MyISP"}), sim_->ActiveNames());
    EXPECT_EQ(0u, pane_->Ras()->RasSession);  // forgotten with the end of the run

    // The next run finds the line up and uses it without dialling.
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 4; }));
    EXPECT_EQ(1, sim_->Dials());
}

TEST_F(DialWiringTest, TakenOverLineIsNeverHungUp) {
    StartDialling("entry MyISP\nactive MyISP\n", "Yes");
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return feedRequests_.size() == 2; }));
    EXPECT_EQ(0, sim_->Dials());
    EXPECT_FALSE(pane_->Ras()->QuorvelConnection);
    pane_->Msg5Timer();  // during the run: the taken-over line counts as down again
    EXPECT_FALSE(pane_->Ras()->RasConnected);
    EndRun();
    pane_->Msg5Timer();
    EXPECT_EQ(0, sim_->HangUps());
    EXPECT_EQ(0, Count(kTerminating));
    EXPECT_EQ(std::vector<std::string>({"MyISP"}), sim_->ActiveNames());
}

TEST_F(DialWiringTest, CtlCancelStopsTheDialAndTheRedials) {
    StartDialling("entry MyISP\nstate 0 after 10ms\n", "Yes", 3, 0);
    pane_->CmProcessQueue();
    ASSERT_TRUE(RunUntil(loop_, [&] { return Count("[RAS] Opening connection port") == 1; }));
    pane_->CmProcessQueue();  // dropped: a dial is under way
    EXPECT_EQ(CtlReply::Ok, HandleCtlCommand(*pane_, {"cancel"}).outcome);
    ASSERT_TRUE(RunUntil(loop_, [&] { return !pane_->Dialling(); }));
    RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(1, sim_->Dials());
    EXPECT_TRUE(feedRequests_.empty());
    EXPECT_EQ(CtlReply::Refused, HandleCtlCommand(*pane_, {"cancel"}).outcome);
    // Nothing runs now: new work is taken again.
    EXPECT_FALSE(pane_->FeedWorkBusy());
}

TEST(MemoryLoad, ComputedFromTotalAndAvailable) {
    const struct {
        const char* text;
        int want;
    } cases[] = {
        {"MemTotal:       1000 kB\nMemFree:  10 kB\nMemAvailable:    250 kB\n", 75},
        {"MemTotal: 16000000 kB\nMemAvailable: 16000000 kB\n", 0},
        {"MemTotal: 3 kB\nMemAvailable: 0 kB\n", 100},
        {"MemTotal: 1000 kB\n", -1},
        {"", -1},
        {"MemTotal: 0 kB\nMemAvailable: 0 kB\n", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, qvPaneSplit::MemoryLoadFrom(c.text)) << c.text;
    const int real = qvPaneSplit::MemoryLoad();
    EXPECT_GE(real, 0);
    EXPECT_LE(real, 100);
}

}  // namespace
