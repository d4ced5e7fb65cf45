#pragma once
// The controller: owns the listen socket, the reader and feed sessions (in
// fixed slot tables), the settings store, the schedule and the activity log;
// runs the start sequence, the work queue (Get/Post, group-list refresh,
// expire), the five-second reaping tick and the minute tick. Sessions reach
// it as the Host of the context they are given: log lines and traffic.
//
// Everything runs on the loop's one thread, each step as the handler of one
// posted message. Sessions are only destroyed in the five-second tick, so a
// session is never deleted inside one of its own handlers.

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ActivityLog.h"
#include "app/Shell.h"
#include "core/Context.h"
#include "core/Host.h"
#include "net/Socket.h"
#include "sched/DialUp.h"
#include "sched/DialUpState.h"
#include "sched/RasDialog.h"  // DialTimings

class Setup;
class TimeManager;
class HostInfoManager;
class DialUpController;
namespace store {
class ExpireRun;
}

// A session as the controller sees it: owned by a slot, asked for its state
// (1 active, 2 ended) in the five-second tick, destroyed in state 2.
class SessionHandle {
public:
    virtual ~SessionHandle() = default;
    virtual int State() const = 0;
};

// What a feed session is created with.
struct FeedRequest {
    int kind = 0;  // kind::RefreshGroups, PostArticles or FetchArticles
    int port = 119;
    std::string address;   // dotted, or the unresolved name when the lookup failed
    std::string hostName;  // as configured: the name a TLS certificate must carry
    std::string allGroupFile;
    std::string subGroupFile;
    std::string newsDirectory;  // the controller's, ending in "/"
};

// The event schedule as the controller uses it.
class EventSchedule {
public:
    virtual ~EventSchedule() = default;
    // 0 nothing due, 1 Expire, 2 Group, 3 News (at most one per call).
    virtual int AnyTrigger() = 0;
    // "Next Event: ..." or "No Events Scheduled".
    virtual std::string NextEvent() = 0;
    // "[SCHED] Next Trigger: ..." or a text beginning with "*".
    virtual std::string GetNextTrigger(int index) = 0;
};

class qvPaneSplit : public MessageTarget, public Host, private SocketEvents {
public:
    static constexpr int kClientSlots = 500;
    static constexpr int kFeedSlots = 5;
    static constexpr std::size_t kLabelMax = 29;

    // Starts a reader session on an accepted connection: sets the peer's
    // dotted address and the news directory, takes the socket over (a
    // socket left in accepted is closed) and runs the session. ctx is the
    // controller's own: the session reports to it.
    using ReaderFactory = std::function<std::unique_ptr<SessionHandle>(
        const Context& ctx, StreamSocket&& accepted, const std::string& peer,
        const std::string& newsDirectory)>;
    using FeedFactory = std::function<std::unique_ptr<SessionHandle>(const Context& ctx,
                                                                     const FeedRequest& request)>;
    using ScheduleFactory = std::function<std::unique_ptr<EventSchedule>()>;
    // Runs an expire run; calls done once when it has finished. Without
    // one, the store's expire run works in small steps between which
    // readers are served.
    using ExpireRunner = std::function<void(std::function<void()> done)>;

    // logFile: the activity log's file ("quorvel.log" in the current
    // directory unless given).
    qvPaneSplit(EventLoop& loop, Setup& setup, TimeManager& timers, Shell& shell,
                std::string logFile = "quorvel.log");
    ~qvPaneSplit() override;

    void SetReaderFactory(ReaderFactory f) { readerFactory_ = std::move(f); }
    void SetFeedFactory(FeedFactory f) { feedFactory_ = std::move(f); }
    void SetScheduleFactory(ScheduleFactory f) { scheduleFactory_ = std::move(f); }
    void SetExpireRunner(ExpireRunner f) { expireRunner_ = std::move(f); }
    // Called by CmExit after CanClose (the front-end ends its loop there).
    void SetExitHandler(std::function<void()> f) { exitHandler_ = std::move(f); }
    // The pauses of a dial (set before SetupWindow; a sped-up tick shortens
    // them with it).
    void SetDialTimings(DialTimings t) { dialTimings_ = t; }
    // Where a front-end shows the dial-up dialog; the headless front-end
    // has none and follows the progress in the log.
    void SetDialView(RasDialogView* view);
    // Whether the main window is hidden in the tray: the dial-up dialog
    // then opens as the untitled one. Without it, never.
    void SetInTray(std::function<bool()> inTray);

    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override;

    // Start sequence, part one; posts MsgStart.
    void SetupWindow();
    // Removes the tray icon; the answer is always yes.
    bool CanClose();
    // File > Exit.
    void CmExit();

    void MsgStart();
    void MsgStartListen();
    bool SpawnChildConnection();
    int GetClientConnection() const;  // lowest free reader slot, or -1
    int GetServerConnection() const;  // lowest free feed slot, or -1

    // Work queue. Cm...: menu commands; Msg...: their posted messages. The
    // feed kind travels with each connect request (wParam of 4006).
    void CmProcessQueue();
    void MsgProcessQueue();
    void MsgGetNews();
    void MsgPostArticles();
    void CmRefreshGroups();
    void MsgRefreshGroups();
    void MsgConnectToServer(int kind);
    void CmExpireRun();
    void MsgExpireRun();

    void Msg5Timer();
    void MsgMinuteTimer();
    void ConnectionMaint();
    void ResetSchedule();
    // What follows the settings sheet, whether closed by OK or Cancel: the
    // news directories, the dial-up flag, the countdown when the sleep time
    // changed (sleepTimeBefore: its value when the sheet opened) and the
    // schedule when its events were edited (the schedule page's
    // ScheduleChanged). With it the server takes the rest of the settings
    // it holds while running: a new "ListenPort" moves the listener (the
    // old one stays when the new port cannot be opened, and the log says
    // why); a new "NewsPath" waits for the next start. Returns what changed
    // against the settings last applied, one line each.
    std::vector<std::string> SettingsClosed(int sleepTimeBefore, bool scheduleChanged);
    // "ctl reload" and SIGHUP: the same for settings edited in the files,
    // with the sleep time last applied as the one before and the schedule
    // rebuilt (a control command that did not touch the events passes
    // false). The allow list and "ServerTimeout" are read by each new
    // session, so they need nothing more than being reported. Each change
    // is logged too ("[QV] Settings: ...").
    std::vector<std::string> ReloadSettings(bool rebuildSchedule = true);

    // Opens the listener on port and closes the old one; sessions already
    // connected stay. false, with the reason in *why, when the port cannot
    // be opened: the old listener then stays. Before the start sequence has
    // opened the listener it only checks the number.
    bool MoveListener(int port, std::string* why);
    // The port the listener serves (0: none).
    int ListenPort() const { return listening_ ? listenPort_ : 0; }
    // The news directory the server works in, ending in "/": the one
    // configured when it started (a changed "NewsPath" takes effect at the
    // next start); empty when none is configured.
    std::string NewsDirectory() const;

    // Why a Get/Post run (getPost) or a group-list refresh asked for now
    // would be dropped: no upstream set, feed work running or being
    // started, a dial under way, or the pause of the simple schedule after
    // a run whose dial failed. nullopt: it would start.
    std::optional<std::string> FeedRequestRefusal(bool getPost) const;
    // "Next Event: ..." of the schedule in force, or "No Events Scheduled".
    std::string NextEvent() const;
    // While dialling: the dial-up dialog's status line and its "Time Left:
    // m:ss" line (or that the next attempt is waited for); empty otherwise.
    std::vector<std::string> DialLines() const;

    // Activity log and status (UpdLog, IncSent, IncRecvd and MessageBox are
    // also what the sessions see of the controller, as their Host).
    void UpdLog(std::string_view text) override;
    // Posted as 4034 / 4033, so the status follows in the controller's turn.
    void IncSent(std::int64_t bytes) override;
    void IncRecvd(std::int64_t bytes) override;
    void DoStatus();
    void UpdateTree();
    void MsgIncSent(LPARAM bytes);
    void MsgIncRecvd(LPARAM bytes);
    // A message box: the front-end shows it (headless: a log line).
    void MessageBox(std::string_view text, std::string_view title) override;

    // Dial-up. The machinery ("ras"/"Backend") is made by SetupWindow.
    // DoRasConnect answers through done (before the return when nothing
    // must be dialled); false, and done never runs, while a dial is under
    // way.
    bool DoRasConnect(std::function<void(bool connected)> done);
    void HangupNow();
    // The dial-up dialog's Cancel: no further attempts. false when nothing
    // is being dialled.
    bool CmCancel();
    bool Dialling() const;
    DialUp* DialUpMachine() const { return dialUp_.get(); }
    // The dial-up state; nullptr until the start sequence has made the
    // machinery.
    const RasState* Ras() const;

    // What the sessions are handed: the loop, the settings, the timers and
    // this controller as their host.
    const Context& GetContext() const { return ctx_; }
    Setup& GetSetup() const { return ctx_.setup; }

    // What the front-ends and the control channel read.
    const std::vector<std::string>& StatusLines() const { return status_; }
    // The connection tree as indented text lines.
    std::vector<std::string> TreeLines() const;
    ConnectionTree Connections() const;
    const std::deque<std::string>& LogLines() const { return log_.Lines(); }
    std::int64_t BytesSent() const { return bytesSent_; }
    std::int64_t BytesReceived() const { return bytesRecvd_; }
    int FeedSessionCount() const { return feedCount_; }
    // Feed work runs or is being started (dialling, or a connect request
    // queued): new feed work is refused.
    bool FeedWorkBusy() const { return feedCount_ > 0 || startingSessions_ > 0 || Dialling(); }
    int FetchCountdown() const { return fetchCountdown_; }
    // MAX_CLIENTS: the reader places, 500 once the start sequence has run
    // and 0 before.
    int MaxClients() const { return maxClients_; }
    // SimpleSchedule: the fetch countdown runs ("admin"/"SleepTime" not 0).
    bool SimpleSchedule() const { return simpleSchedule_; }
    bool Listening() const { return listening_; }
    // The start sequence has run up to opening the listener (whether or not
    // that worked).
    bool Started() const { return started_; }
    int ReaderCount() const;

    // The expire run (or anything else that must keep feed work out)
    // counts itself as a feed session while it runs.
    void BeginFeedWork() { ++feedCount_; }
    void EndFeedWork();

    // Memory in use, percent: 100 * (MemTotal - MemAvailable) / MemTotal
    // from a /proc/meminfo text; -1 when the text lacks the numbers.
    static int MemoryLoadFrom(std::string_view meminfo);
    static int MemoryLoad();

private:
    // The listening socket's one event.
    void OnAccept() override;

    struct Slot {
        bool inUse = false;
        std::unique_ptr<SessionHandle> session;
        std::string label;
        std::unique_ptr<HostInfoManager> lookup;  // feed slots: address lookup under way
    };

    // The configured news directory ("NewsPath" now); empty when not set.
    std::string ConfiguredNewsDirectory() const;
    std::string LockFilePath() const;
    // A listener on port, or nullptr with the reason in *why (and, at
    // start, the message box's text in *box).
    std::unique_ptr<StreamSocket> OpenListener(int port, std::string* why, const char** box);
    std::vector<std::string> ApplySettings(int sleepTimeBefore, bool rebuildSchedule);
    void RemoveLockFile();
    void MakeNewsDirectories();
    // The start sequence after the first-start wizard has answered.
    void FinishStart();
    void StartFeedSession(int slot, const FeedRequest& request);
    void ExpireStep();
    static std::string Label(std::string text);

    Context ctx_;
    Shell& shell_;
    ActivityLog log_;
    std::unique_ptr<StreamSocket> listen_;
    bool listening_ = false;
    int listenPort_ = 0;
    // Pinned when the start sequence has made the directories.
    std::string newsDir_;
    // What the settings were when last applied, to tell what changed.
    std::vector<std::pair<std::string, std::string>> applied_;
    bool started_ = false;
    bool storeWhole_ = false;  // the start repaired the store or found it stopped cleanly
    std::vector<Slot> clients_;
    std::vector<Slot> feeds_;
    int passEndId_ = 0;
    int highestClient_ = -1;
    int highestFeed_ = -1;
    int feedCount_ = 0;
    int fetchCountdown_ = 0;
    int maxClients_ = 0;
    bool simpleSchedule_ = false;
    std::int64_t bytesSent_ = 0;
    std::int64_t bytesRecvd_ = 0;
    std::vector<std::string> status_;
    std::unique_ptr<EventSchedule> schedule_;
    std::unique_ptr<store::ExpireRun> expire_;
    std::unique_ptr<DialUp> dialUp_;
    std::unique_ptr<DialUpController> dial_;  // after dialUp_: it goes first
    DialTimings dialTimings_;
    RasDialogView* dialView_ = nullptr;
    std::function<bool()> inTray_;
    // Connect requests posted after a dial but not handled yet: the run has
    // begun though no feed session exists so far.
    int startingSessions_ = 0;
    int memoryLoad_ = 0;
    std::time_t memoryRead_ = 0;

    ReaderFactory readerFactory_;
    FeedFactory feedFactory_;
    ScheduleFactory scheduleFactory_;
    ExpireRunner expireRunner_;
    std::function<void()> exitHandler_;
};
