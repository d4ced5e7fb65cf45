#include "app/qvPaneSplit.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/Messages.h"
#include "app/SettingsSnapshot.h"
#include "core/File.h"
#include "net/SocketAddress.h"
#include "net/SocketError.h"
#include "sched/DialUpController.h"
#include "sched/TimeManager.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/Expire.h"
#include "store/GroupIndex.h"
#include "store/Recovery.h"
#include "store/StoreNames.h"

namespace {
// Connections that arrive in a burst wait in the kernel's queue rather than
// being dropped into the client's slow SYN retries while the loop catches up.
constexpr int kListenBacklog = SOMAXCONN;
// After a failed accept (out of descriptors, say) accepting pauses this long,
// so a persisting failure cannot spin the loop or flood the log.
constexpr int kAcceptPauseMs = 1000;

constexpr const char* kNoServerText =
    "No server information available. \nPlease complete setup information first.";
constexpr const char* kNextStepText =
    "If you are connected to your ISP, you may retrieve a list of groups now.  If not, you must "
    "complete the RAS section in the Setup before attempting any server sessions.\n\n";
}  // namespace

qvPaneSplit::qvPaneSplit(EventLoop& loop, Setup& setup, TimeManager& timers, Shell& shell,
                         std::string logFile)
    : MessageTarget(loop),
      ctx_{loop, setup, timers, *this},
      shell_(shell),
      log_(std::move(logFile)) {
    // A finished feed session is reaped as soon as the events that ended it
    // have run, not at the next five-second tick: the lock file, the line
    // and the countdown are free again the moment the work is done.
    log_.SetDeferred(true);
    passEndId_ = loop.AddPassEnd([this] {
        log_.Flush();
        for (const Slot& s : feeds_)
            if (s.inUse && s.session && s.session->State() == 2) return ConnectionMaint();
    });
}

qvPaneSplit::~qvPaneSplit() {
    Loop().RemovePassEnd(passEndId_);
    ctx_.timers.TimerKill(this, msg::MinuteTimer);
    ctx_.timers.TimerKill(this, msg::FiveSecondTimer);
    // Sessions may still log while they go; the controller is whole until
    // they are gone.
    const bool feedWork = feedCount_ > 0 || startingSessions_ > 0;
    clients_.clear();  // reader sessions write back the Highs of their postings
    feeds_.clear();
    dial_.reset();
    dialUp_.reset();
    if (listen_) listen_->CloseSocket();
    schedule_.reset();
    expire_.reset();
    // A fetch cut off leaves articles above High for the next start to see.
    if (storeWhole_ && !feedWork)
        if (const std::string news = NewsDirectory(); !news.empty())
            store::WriteCleanStopMarker(news);
}

bool qvPaneSplit::HandleMessage(int message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case msg::MsgStart: MsgStart(); return true;
        case msg::MsgStartListen: MsgStartListen(); return true;
        case msg::ProcessQueue: MsgProcessQueue(); return true;
        case msg::GetNews: MsgGetNews(); return true;
        case msg::PostArticles: MsgPostArticles(); return true;
        case msg::RefreshGroups: MsgRefreshGroups(); return true;
        case msg::ExpireRun: MsgExpireRun(); return true;
        case msg::ExpireStep: ExpireStep(); return true;
        case msg::ConnectToServer: MsgConnectToServer(static_cast<int>(wParam)); return true;
        case msg::FiveSecondTimer: Msg5Timer(); return true;
        case msg::MinuteTimer: MsgMinuteTimer(); return true;
        case msg::IncSent: MsgIncSent(lParam); return true;
        case msg::IncRecvd: MsgIncRecvd(lParam); return true;
        case msg::Exit: CmExit(); return true;
        case msg::TrayMessage: return true;  // no tray without a desktop
        default: return false;
    }
}

// ---- start and end

void qvPaneSplit::SetupWindow() {
    dialUp_ = MakeDialUp(Loop(), ctx_.setup, [this](std::string_view line) { UpdLog(line); });
    // The controller counts the connect requests it queued after a dial
    // (startingSessions_), so its five-second tick never finds the line idle
    // between the dial and the first feed session; a grace period on top
    // would only let a run that ended at once forget to hang up.
    DialTimings timings = dialTimings_;
    timings.startGraceMs = 0;
    dial_ = std::make_unique<DialUpController>(ctx_, *dialUp_, timings);
    dial_->SetView(dialView_);
    dial_->SetInTray(inTray_);
    RasState& ras = dial_->Ras();
    ras.RasInstalled = ctx_.setup.GetRasProfile() != "(None)";
    std::string why;
    if (ras.RasInstalled && !dialUp_->Available(&why)) UpdLog(why);
    fetchCountdown_ = ctx_.setup.GetSleepTime();
    if (fetchCountdown_ < 0) fetchCountdown_ = 0;  // a negative value would read as "run under way"
    simpleSchedule_ = fetchCountdown_ != 0;
    ResetSchedule();
    applied_ = ReadSettingsValues(ctx_.setup);
    DoStatus();
    Post(msg::MsgStart);
}

void qvPaneSplit::MsgStart() {
    UpdateTree();
    shell_.SetTrayTip("Quorvel Active");

    const std::string name = profile::GetString(ctx_.setup.IniPath(), "newsfeed01", "Name", "!");
    if (!name.empty() && name[0] != '!') return FinishStart();
    dial_->Ras().RasInstalled = false;
    // The shell answers when the person has; the loop serves meanwhile.
    // Nothing listens yet and no timer is set, so nothing else starts.
    const std::uint64_t self = TargetId();
    shell_.RunWizard([this, self, &loop = Loop()](bool configured) {
        if (!loop.Alive(self)) return;
        if (configured) MessageBox(kNextStepText, "Next Step");
        FinishStart();
    });
}

void qvPaneSplit::FinishStart() {
    MakeNewsDirectories();
    // Sessions, the expire run and the lock file work here until the next
    // start, whatever "NewsPath" says meanwhile.
    newsDir_ = ConfiguredNewsDirectory();
    // The wizard may have written the settings.
    applied_ = ReadSettingsValues(ctx_.setup);
    // A run that was killed in the middle of a fetch left work files, content
    // files without an index (which the fetch would take for stored) and
    // articles above High; repair all of it before any session starts.
    // After a clean stop there is nothing to repair, and the scan, which
    // reads every group folder, is skipped.
    if (const std::string news = NewsDirectory(); !news.empty()) {
        if (!store::TakeCleanStopMarker(news)) {
            store::RecoverStore(news, [this](std::string_view line) { UpdLog(line); });
            for (const auto& [group, high] : store::RaiseHighsToArticles(news))
                UpdLog("[QV] High of " + group + " raised to " + std::to_string(high) +
                       ", the articles an interrupted fetch stored");
        }
        storeWhole_ = true;
    }

    maxClients_ = kClientSlots;
    clients_.clear();
    clients_.resize(kClientSlots);
    feeds_.clear();
    feeds_.resize(kFeedSlots);
    ctx_.timers.TimerSet(this, msg::MinuteTimer, 60);
    ctx_.timers.TimerSet(this, msg::FiveSecondTimer, 5);
    highestClient_ = highestFeed_ = 0;
    UpdateTree();
    Post(msg::MsgStartListen);
}

bool qvPaneSplit::CanClose() {
    shell_.RemoveTray();
    return true;
}

void qvPaneSplit::CmExit() {
    if (!CanClose()) return;
    if (exitHandler_)
        exitHandler_();
    else
        Loop().Stop();
}

// ---- listening and accepting

void qvPaneSplit::MsgStartListen() {
    started_ = true;
    RemoveLockFile();
    const int port = ctx_.setup.GetListenPort();
    std::string why;
    const char* box = nullptr;
    listen_ = OpenListener(port, &why, &box);
    if (!listen_) {
        if (!why.empty()) UpdLog("[QV] " + why);
        MessageBox(box, "ERROR");
        return;
    }
    listening_ = true;
    listenPort_ = port;
    UpdLog("[QV] Serving newsreaders on port " + std::to_string(port));
}

std::unique_ptr<StreamSocket> qvPaneSplit::OpenListener(int port, std::string* why,
                                                        const char** box) {
    auto s = std::make_unique<StreamSocket>(Loop());
    s->SetSocketStyle(AF_INET, SOCK_STREAM, 0);
    s->SetNotificationWindow(this);
    const auto fail = [&](const char* text, std::string reason) {
        *box = text;
        *why = std::move(reason);
        s->CloseSocket();
        return nullptr;
    };
    if (s->CreateSocket() != 0)
        return fail("Error Creating Listen Socket",
                    "Cannot listen on port " + std::to_string(port) + ": " +
                        SocketError(WinsockError(s->LastError()), 256).GetErrorString());
    // A restart must not wait for the previous run's connections to time out.
    s->SetReuseAddressOption(true);
    if (port < 1 || port > 65535)
        return fail("Error Binding Listen Socket",
                    "ListenPort " + std::to_string(port) + " is not a port number");
    const INetSocketAddress any(htons(static_cast<std::uint16_t>(port)), 0u);
    if (s->BindSocket(any) != 0)
        return fail("Error Binding Listen Socket",
                    "Cannot listen on port " + std::to_string(port) + ": " +
                        SocketError(WinsockError(s->LastError()), 256).GetErrorString());
    if (s->Listen(kListenBacklog) != 0 || s->StartAcceptNotification() != 0)
        return fail("Error Starting Listen Socket",
                    "Cannot listen on port " + std::to_string(port) + ": " +
                        SocketError(WinsockError(s->LastError()), 256).GetErrorString());
    return s;
}

bool qvPaneSplit::MoveListener(int port, std::string* why) {
    std::string reason;
    if (port < 1 || port > 65535) reason = std::to_string(port) + " is not a port number";
    if (reason.empty() && !started_) return true;  // the start sequence opens it
    if (reason.empty() && listening_ && port == listenPort_) return true;
    const char* box = nullptr;
    std::unique_ptr<StreamSocket> next =
        reason.empty() ? OpenListener(port, &reason, &box) : nullptr;
    if (!next) {
        if (why) *why = reason;
        return false;
    }
    // Connections waiting in the old socket's queue are lost with it; the
    // readers already accepted keep their sessions.
    if (listen_) listen_->CloseSocket();
    listen_ = std::move(next);
    listening_ = true;
    listenPort_ = port;
    UpdLog("[QV] Serving newsreaders on port " + std::to_string(port));
    UpdateTree();
    return true;
}

void qvPaneSplit::OnAccept() { SpawnChildConnection(); }

bool qvPaneSplit::SpawnChildConnection() {
    StreamSocket accepted;
    if (listen_->Accept(accepted) != 0) {
        if (listen_->LastError() == EWOULDBLOCK) return true;  // another took it
        MessageBox("Error Accepting Connection", "error");
        listen_->CancelNotification();
        Loop().After(kAcceptPauseMs, [this] {
            if (listening_ && listen_) listen_->StartAcceptNotification();
        });
        return false;
    }
    const int slot = GetClientConnection();
    if (slot < 0 || !readerFactory_) {
        accepted.CloseSocket();  // all places taken: closed at once, nothing said
        return true;
    }
    const INetSocketAddress peerAddress(accepted.GetPeerAddress());
    const std::string peer = INetSocketAddress::ConvertAddress(peerAddress.GetNetworkAddress());
    std::unique_ptr<SessionHandle> session =
        readerFactory_(ctx_, std::move(accepted), peer, NewsDirectory());
    if (!session) return true;  // a connection left in accepted closes with it
    Slot& s = clients_[static_cast<std::size_t>(slot)];
    s.inUse = true;
    s.session = std::move(session);
    s.label = Label("IP: " + peer);
    if (slot > highestClient_) highestClient_ = slot;
    UpdateTree();
    return true;
}

int qvPaneSplit::GetClientConnection() const {
    const int n = std::min<int>(maxClients_, static_cast<int>(clients_.size()));
    for (int i = 0; i < n; ++i)
        if (!clients_[static_cast<std::size_t>(i)].inUse) return i;
    return -1;
}

int qvPaneSplit::GetServerConnection() const {
    for (int i = 0; i < static_cast<int>(feeds_.size()); ++i)
        if (!feeds_[static_cast<std::size_t>(i)].inUse) return i;
    return -1;
}

int qvPaneSplit::ReaderCount() const {
    int n = 0;
    for (const Slot& s : clients_) n += s.inUse ? 1 : 0;
    return n;
}

// ---- work queue

void qvPaneSplit::CmProcessQueue() { Post(msg::ProcessQueue); }

void qvPaneSplit::MsgProcessQueue() {
    if (FeedWorkBusy()) return;
    if (simpleSchedule_ && fetchCountdown_ < 0) return;
    // -2 keeps the countdown and the five-second tick's end-of-run step off
    // while we dial; -1 (the run) follows whether or not the dial worked.
    if (simpleSchedule_) fetchCountdown_ = -2;
    DoStatus();
    const bool asked = DoRasConnect([this](bool connected) {
        if (connected) {
            // The fetch request is queued before the post request, and each
            // carries its own kind, so the fetch session is always created
            // first.
            startingSessions_ += 2;
            Post(msg::GetNews);
            Post(msg::PostArticles);
        }
        if (fetchCountdown_ == -2) fetchCountdown_ = -1;
        DoStatus();
    });
    if (!asked && fetchCountdown_ == -2) fetchCountdown_ = -1;
}

void qvPaneSplit::MsgGetNews() { Post(msg::ConnectToServer, kind::FetchArticles); }

void qvPaneSplit::MsgPostArticles() { Post(msg::ConnectToServer, kind::PostArticles); }

void qvPaneSplit::CmRefreshGroups() {
    if (FeedWorkBusy()) return;
    DoRasConnect([this](bool connected) {
        if (!connected) return;
        ++startingSessions_;
        Post(msg::ConnectToServer, kind::RefreshGroups);
    });
}

void qvPaneSplit::MsgRefreshGroups() { CmRefreshGroups(); }

void qvPaneSplit::CmExpireRun() {
    if (!FeedWorkBusy()) Post(msg::ExpireRun);
}

void qvPaneSplit::MsgExpireRun() {
    // Not while dialling either: the fetch would start in the middle of it.
    if (FeedWorkBusy()) return;
    if (expireRunner_) {
        BeginFeedWork();
        auto finished = std::make_shared<bool>(false);
        expireRunner_([this, finished] {
            if (*finished) return;  // done reported twice: count once
            *finished = true;
            EndFeedWork();
        });
        return;
    }
    const std::string news = NewsDirectory();
    if (news.empty()) {
        UpdLog("[EXPIRE] No news directory is configured");
        return;
    }
    BeginFeedWork();
    expire_ = std::make_unique<store::ExpireRun>(news, store::ExpireDefaults(ctx_.setup),
                                                 [this](std::string_view line) { UpdLog(line); });
    DoStatus();
    Post(msg::ExpireStep);
}

void qvPaneSplit::ExpireStep() {
    if (!expire_) return;
    if (expire_->Step()) {
        Post(msg::ExpireStep);  // posted: readers waiting meanwhile are served first
        return;
    }
    expire_.reset();
    EndFeedWork();
    DoStatus();
}

void qvPaneSplit::EndFeedWork() {
    if (feedCount_ > 0) --feedCount_;
}

void qvPaneSplit::MsgConnectToServer(int kind) {
    if (startingSessions_ > 0) --startingSessions_;
    const std::string name = profile::GetString(ctx_.setup.IniPath(), "newsfeed01", "Name", "!");
    const std::string postingHost = ctx_.setup.GetPostingHost();
    if (name.empty() || name[0] == '!' || postingHost.empty() || postingHost[0] == '!') {
        MessageBox(kNoServerText, "Server Connect Failed");
        return;
    }
    if (!feedFactory_) {
        UpdLog("[QV] Feed sessions are not available in this build; request dropped");
        return;
    }
    const std::string server = kind == kind::PostArticles ? postingHost : name;
    FeedRequest request;
    request.kind = kind;
    request.port = static_cast<int>(std::atol(
        profile::GetString(ctx_.setup.IniPath(), "Newsfeed01", "Port", "119", 30).c_str()));
    request.allGroupFile =
        profile::GetString(ctx_.setup.IniPath(), "Newsfeed01", "AllGroupFile", " ", 261);
    request.subGroupFile =
        profile::GetString(ctx_.setup.IniPath(), "Newsfeed01", "SubGroupFile", " ", 261);
    request.address = server;
    request.hostName = server;
    request.newsDirectory = NewsDirectory();

    const int slot = GetServerConnection();
    if (slot < 0) return;  // all feed places taken: dropped
    // The slot, the count and the lock file are taken now, before the name
    // lookup, so no second run can start while this one is being set up.
    Slot& s = feeds_[static_cast<std::size_t>(slot)];
    s.inUse = true;
    s.session.reset();
    ++feedCount_;
    if (slot > highestFeed_) highestFeed_ = slot;
    const std::string lock = LockFilePath();
    if (!lock.empty()) {
        std::ofstream out(lock, std::ios::binary | std::ios::trunc);
        out << "**";
    }
    if (INetSocketAddress::IsAddressDottedDecimal(server.c_str())) {
        StartFeedSession(slot, request);
        return;
    }
    // The lookup runs off the thread; readers are served meanwhile. A
    // failed lookup leaves the name, which the session reports.
    s.lookup = std::make_unique<HostInfoManager>(&Loop());
    int handle = 0;
    const int rc = s.lookup->GetHostInfoAsync(
        handle, server.c_str(), [this, slot, request](int error, const HostEntry& entry) mutable {
            if (error == 0) HostInfoManager::HostEntryToAddress(entry, request.address);
            StartFeedSession(slot, request);
        });
    if (rc != 0) StartFeedSession(slot, request);
}

void qvPaneSplit::StartFeedSession(int slot, const FeedRequest& request) {
    Slot& s = feeds_[static_cast<std::size_t>(slot)];
    s.session = feedFactory_(ctx_, request);
    if (!s.session) {
        s.inUse = false;
        EndFeedWork();
    } else {
        s.label = Label("IP:" + request.address);
    }
    UpdateTree();
}

// ---- ticks

void qvPaneSplit::Msg5Timer() {
    ConnectionMaint();
    // A line taken over from someone else counts as down again.
    if (dial_) dial_->FiveSecondReset();
}

void qvPaneSplit::MsgMinuteTimer() {
    // Neither the countdown nor the schedule moves while feed work runs or
    // is being started; a due event stays due until then.
    if (FeedWorkBusy()) return;
    if (simpleSchedule_ && fetchCountdown_ >= 0) {
        --fetchCountdown_;
        if (fetchCountdown_ == 0) Post(msg::ProcessQueue);
    }
    switch (schedule_ ? schedule_->AnyTrigger() : 0) {
        case 1: Post(msg::ExpireRun); break;
        case 2: Post(msg::RefreshGroups); break;
        case 3: Post(msg::ProcessQueue); break;
        default: break;
    }
}

void qvPaneSplit::ConnectionMaint() {
    bool changed = false;
    int highest = 0;
    for (int i = 0; i < static_cast<int>(clients_.size()); ++i) {
        Slot& s = clients_[static_cast<std::size_t>(i)];
        if (s.inUse && s.session && s.session->State() == 2) {
            s.session.reset();
            s.label.clear();
            s.inUse = false;
            changed = true;
        }
        if (s.inUse) highest = i;
    }
    highestClient_ = highest;
    highest = 0;
    for (int i = 0; i < static_cast<int>(feeds_.size()); ++i) {
        Slot& s = feeds_[static_cast<std::size_t>(i)];
        if (s.inUse && s.session && s.session->State() == 2) {
            s.session.reset();
            s.lookup.reset();
            s.label.clear();
            s.inUse = false;
            EndFeedWork();
            changed = true;
        }
        if (s.inUse) highest = i;
    }
    highestFeed_ = highest;
    if (changed) UpdateTree();

    if (feedCount_ == 0 && startingSessions_ == 0) {
        RemoveLockFile();
        // Hangs up the line we dialled when "DropConnect" asks for it.
        if (dial_) dial_->ConnectionMaint();
        if (fetchCountdown_ == -1) {
            fetchCountdown_ = ctx_.setup.GetSleepTime();
            if (fetchCountdown_ < 0) fetchCountdown_ = 0;
            // The line may stay up; the next run takes it over by its name.
            if (dial_) {
                RasState& ras = dial_->Ras();
                ras.RasConnected = false;
                ras.RasSession = 0;
            }
        }
    }
    DoStatus();
}

std::vector<std::string> qvPaneSplit::SettingsClosed(int sleepTimeBefore, bool scheduleChanged) {
    return ApplySettings(sleepTimeBefore, scheduleChanged);
}

std::vector<std::string> qvPaneSplit::ReloadSettings(bool rebuildSchedule) {
    return ApplySettings(std::atoi(SettingsValue(applied_, "SleepTime").c_str()), rebuildSchedule);
}

std::vector<std::string> qvPaneSplit::ApplySettings(int sleepTimeBefore, bool rebuildSchedule) {
    std::vector<std::string> changes;
    MakeNewsDirectories();
    if (dial_) dial_->Ras().RasInstalled = ctx_.setup.GetRasProfile() != "(None)";
    const int sleep = ctx_.setup.GetSleepTime();
    if (sleep != sleepTimeBefore) {
        fetchCountdown_ = sleep < 0 ? 0 : sleep;
        changes.push_back(
            "SleepTime: " + std::to_string(sleepTimeBefore) + " -> " + std::to_string(sleep) +
            (fetchCountdown_ > 0
                 ? ", the next fetch in " + std::to_string(fetchCountdown_) + " minutes"
                 : ", simple scheduling off"));
    }
    simpleSchedule_ = fetchCountdown_ != 0;
    if (rebuildSchedule) ResetSchedule();

    const SettingsValues now = ReadSettingsValues(ctx_.setup);
    const int port = ctx_.setup.GetListenPort();
    const int portBefore = std::atoi(SettingsValue(applied_, "ListenPort").c_str());
    if (started_ && listening_ && port == listenPort_ && port != portBefore) {
        // Moved already, by the control command that set it.
        changes.push_back("ListenPort: " + std::to_string(portBefore) + " -> " +
                          std::to_string(port) + ", now serving on port " + std::to_string(port));
    } else if (started_ && (!listening_ || port != listenPort_)) {
        const int old = ListenPort();
        std::string why;
        if (MoveListener(port, &why)) {
            changes.push_back("ListenPort: " + std::to_string(old) + " -> " + std::to_string(port) +
                              ", now serving on port " + std::to_string(port));
        } else {
            const std::string kept = listening_ ? "still serving on port " + std::to_string(old)
                                                : "not serving newsreaders";
            UpdLog("[QV] " + why + "; " + kept);
            changes.push_back("ListenPort: " + std::to_string(port) + " refused (" + why + "), " +
                              kept);
        }
    }
    const std::string configured = ConfiguredNewsDirectory();
    if (started_ && newsDir_.empty() && !configured.empty()) {
        newsDir_ = configured;  // nothing was served before
        changes.push_back("NewsPath: " + configured);
    } else if (started_ && configured != newsDir_) {
        changes.push_back("NewsPath: " + (configured.empty() ? std::string("(none)") : configured) +
                          " takes effect at the next start; until then the news directory is " +
                          (newsDir_.empty() ? std::string("(none)") : newsDir_));
    }
    for (std::string& line :
         SettingsDifferences(applied_, now, {"ListenPort", "NewsPath", "SleepTime"}))
        changes.push_back(std::move(line));
    applied_ = now;
    for (const std::string& line : changes) UpdLog("[QV] Settings: " + line);
    DoStatus();
    return changes;
}

void qvPaneSplit::ResetSchedule() {
    schedule_ = scheduleFactory_ ? scheduleFactory_() : nullptr;
    if (!schedule_) return;
    for (int i = 1; i <= 9; ++i) {
        const std::string text = schedule_->GetNextTrigger(i);
        if (!text.empty() && text[0] == '*') break;
        UpdLog(text);
    }
}

// ---- dial-up

bool qvPaneSplit::DoRasConnect(std::function<void(bool connected)> done) {
    if (!dial_) {
        // Before the start sequence: only "no dial-up" can be answered.
        done(ctx_.setup.GetRasProfile() == "(None)");
        return true;
    }
    return dial_->DoRasConnect(std::move(done));
}

void qvPaneSplit::HangupNow() {
    if (dial_) dial_->HangupNow();
}

bool qvPaneSplit::CmCancel() { return dial_ && dial_->CmCancel(); }

bool qvPaneSplit::Dialling() const { return dial_ && dial_->Dialling(); }

const RasState* qvPaneSplit::Ras() const { return dial_ ? &dial_->Ras() : nullptr; }

std::optional<std::string> qvPaneSplit::FeedRequestRefusal(bool getPost) const {
    const std::string name = profile::GetString(ctx_.setup.IniPath(), "newsfeed01", "Name", "!");
    const std::string postingHost = ctx_.setup.GetPostingHost();
    if (name.empty() || name[0] == '!' || postingHost.empty() || postingHost[0] == '!')
        return "Server Connect Failed: No server information available. Please complete setup "
               "information first.";
    if (Dialling())
        return "A dial-up connection is being made for a server session; request dropped.";
    if (FeedWorkBusy()) return "A server session or an expire run is in progress; request dropped.";
    // The run whose dial failed counts as running until the five-second
    // tick restarts the countdown.
    if (getPost && simpleSchedule_ && fetchCountdown_ < 0)
        return "The last Get/Post run's dial-up failed and the simple schedule is restarting; "
               "request dropped. Try again in a few seconds.";
    return std::nullopt;
}

std::string qvPaneSplit::NextEvent() const {
    return schedule_ ? schedule_->NextEvent() : std::string("No Events Scheduled");
}

std::vector<std::string> qvPaneSplit::DialLines() const {
    if (!dial_ || !dial_->Dialling()) return {};
    const std::string attempt = " (attempt " + std::to_string(dial_->Attempt()) + " of " +
                                std::to_string(dial_->Attempts()) + ")";
    const RasDialog* dialog = dial_->Dialog();
    if (dialog == nullptr || dialog->Closed()) return {"Dial-up: waiting to dial again" + attempt};
    std::vector<std::string> lines{"Connecting to " + dialog->Profile() + attempt};
    if (!dialog->StatusText().empty()) lines.push_back(dialog->StatusText());
    lines.push_back(RasDialog::TimeLeftText(dialog->SecondsLeft()));
    return lines;
}

void qvPaneSplit::SetDialView(RasDialogView* view) {
    dialView_ = view;
    if (dial_) dial_->SetView(view);
}

void qvPaneSplit::SetInTray(std::function<bool()> inTray) {
    inTray_ = std::move(inTray);
    if (dial_) dial_->SetInTray(inTray_);
}

// ---- log, status, tree

void qvPaneSplit::UpdLog(std::string_view text) { shell_.AddLogLine(log_.Add(text)); }

void qvPaneSplit::MessageBox(std::string_view text, std::string_view title) {
    shell_.ShowMessage(title, text);
}

void qvPaneSplit::IncSent(std::int64_t bytes) { Post(msg::IncSent, 0, static_cast<LPARAM>(bytes)); }

void qvPaneSplit::IncRecvd(std::int64_t bytes) {
    Post(msg::IncRecvd, 0, static_cast<LPARAM>(bytes));
}

void qvPaneSplit::MsgIncSent(LPARAM bytes) {
    bytesSent_ += bytes;
    DoStatus();
}

void qvPaneSplit::MsgIncRecvd(LPARAM bytes) {
    bytesRecvd_ += bytes;
    DoStatus();
}

void qvPaneSplit::DoStatus() {
    // Traffic messages come with every transfer; the memory figure need not.
    const std::time_t now = std::time(nullptr);
    if (now != memoryRead_) {
        memoryLoad_ = MemoryLoad();
        memoryRead_ = now;
    }
    char line[128];
    status_.clear();
    std::snprintf(line, sizeof line, "Bytes Sent: %lldk",
                  static_cast<long long>(bytesSent_ / 1024));
    status_.emplace_back(line);
    std::snprintf(line, sizeof line, "Bytes Recv: %lldk",
                  static_cast<long long>(bytesRecvd_ / 1024));
    status_.emplace_back(line);
    std::snprintf(line, sizeof line, "System Mem Usage:  %d%%", memoryLoad_);
    status_.emplace_back(line);
    if (feedCount_ > 0)
        status_.emplace_back("Session in progress");
    else
        status_.push_back(NextEvent());
    if (simpleSchedule_ && fetchCountdown_ > 0) {
        std::snprintf(line, sizeof line, "Fetch in %d minutes.", fetchCountdown_);
        status_.emplace_back(line);
    }
    shell_.ShowStatus(status_);
}

ConnectionTree qvPaneSplit::Connections() const {
    ConnectionTree tree;
    tree.listenPort = listening_ ? listenPort_ : ctx_.setup.GetListenPort();
    tree.maxClients = maxClients_;
    for (const Slot& s : clients_)
        if (s.inUse) tree.readers.push_back(s.label);
    for (const Slot& s : feeds_)
        if (s.inUse && s.session) tree.feeds.push_back(s.label);
    return tree;
}

void qvPaneSplit::UpdateTree() { shell_.ShowConnections(Connections()); }

std::vector<std::string> qvPaneSplit::TreeLines() const {
    std::vector<std::string> lines;
    const ConnectionTree tree = Connections();
    lines.emplace_back("Quorvel Information");
    lines.push_back("  Serving on Port: " + std::to_string(tree.listenPort));
    lines.push_back("  Max Client Connections: " + std::to_string(tree.maxClients));
    lines.emplace_back("Client Connections");
    for (const std::string& l : tree.readers) lines.push_back("  " + l);
    lines.emplace_back("Server Connections");
    for (const std::string& l : tree.feeds) lines.push_back("  " + l);
    return lines;
}

std::string qvPaneSplit::Label(std::string text) {
    if (text.size() > kLabelMax) text.resize(kLabelMax);
    return text;
}

// ---- files

std::string qvPaneSplit::ConfiguredNewsDirectory() const {
    std::string dir = ctx_.setup.GetNewsDirectory();
    if (dir.empty() || dir[0] == '!') return {};
    return dir;
}

std::string qvPaneSplit::NewsDirectory() const {
    return started_ || !newsDir_.empty() ? newsDir_ : ConfiguredNewsDirectory();
}

std::string qvPaneSplit::LockFilePath() const {
    const std::string dir = NewsDirectory();
    return dir.empty() ? std::string() : dir + std::string(store::kLockFileName);
}

void qvPaneSplit::MakeNewsDirectories() {
    // The one "NewsPath" names now: after a change it is ready for the next
    // start.
    const std::string news = ConfiguredNewsDirectory();
    if (news.empty()) {
        UpdLog(
            "[QV] No news directory is configured: set NewsPath in section [admin] of "
            "Quorvel.INI");
        return;
    }
    // Both usually exist already; that is no error.
    ::mkdir(news.c_str(), 0755);
    ::mkdir((news + std::string(store::kPostsDirName)).c_str(), 0755);
}

void qvPaneSplit::RemoveLockFile() {
    const std::string lock = LockFilePath();
    if (!lock.empty()) ::unlink(lock.c_str());
}

int qvPaneSplit::MemoryLoadFrom(std::string_view meminfo) {
    long long total = -1, available = -1;
    std::istringstream in{std::string(meminfo)};
    std::string key;
    long long value = 0;
    std::string unit;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (!(fields >> key >> value)) continue;
        if (key == "MemTotal:") total = value;
        if (key == "MemAvailable:") available = value;
    }
    if (total <= 0 || available < 0) return -1;
    if (available > total) available = total;
    return static_cast<int>(100 * (total - available) / total);
}

int qvPaneSplit::MemoryLoad() {
    const int load = MemoryLoadFrom(files::ReadWholeFile("/proc/meminfo").value_or(""));
    return load < 0 ? 0 : load;
}
