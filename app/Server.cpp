#include "app/Server.h"

#include <functional>
#include <utility>

#include "app/ControlChannel.h"
#include "app/CtlCommands.h"
#include "app/Shell.h"
#include "app/qvPaneSplit.h"
#include "feed/qvServer.h"
#include "net/EventLoop.h"
#include "net/Socket.h"
#include "reader/OverviewCache.h"
#include "reader/qvClient.h"
#include "sched/Schedule.h"
#include "sched/TimeManager.h"
#include "settings/Setup.h"

namespace {

class ReaderHandle : public SessionHandle {
public:
    ReaderHandle(const Context& ctx, OverviewCache& overviews) : client(ctx, &overviews) {}
    int State() const override { return client.GetState(); }
    qvClient client;
};

class FeedHandle : public SessionHandle {
public:
    explicit FeedHandle(const Context& ctx) : server(ctx) {}
    int State() const override { return server.GetState(); }
    qvServer server;
};

class ScheduleHandle : public EventSchedule {
public:
    explicit ScheduleHandle(const Context& ctx)
        : schedule(ctx.setup.IniPath(), {},
                   [&host = ctx.host](std::string_view line) { host.UpdLog(line); }) {}
    int AnyTrigger() override { return schedule.AnyTrigger(); }
    std::string NextEvent() override { return schedule.NextEvent(); }
    std::string GetNextTrigger(int index) override { return schedule.GetNextTrigger(index); }
    Schedule schedule;
};

// Each session is handed the controller's context and, for readers, the
// overview cache they all share.
qvPaneSplit::ReaderFactory MakeReaderFactory(OverviewCache& overviews,
                                             const std::string& allowFile) {
    return [&overviews, allowFile](const Context& ctx, StreamSocket&& accepted,
                                   const std::string& peer, const std::string& newsDirectory) {
        auto h = std::make_unique<ReaderHandle>(ctx, overviews);
        h->client.SetPeerAddress(peer);
        h->client.SetNewsDirectory(newsDirectory);
        h->client.SetAllowFile(allowFile);
        h->client.SetSocket(std::move(accepted));
        h->client.Run();  // greets, or refuses and ends (reaped at the next tick)
        return std::unique_ptr<SessionHandle>(std::move(h));
    };
}

qvPaneSplit::FeedFactory MakeFeedFactory() {
    return [](const Context& ctx, const FeedRequest& r) {
        auto h = std::make_unique<FeedHandle>(ctx);
        h->server.SetupWindow();
        h->server.SetKind(r.kind);
        h->server.SetPort(r.port);
        h->server.SetServerAddress(r.address);
        h->server.SetHostName(r.hostName);
        h->server.SetAllGroupFile(r.allGroupFile);
        h->server.SetSubGroupFile(r.subGroupFile);
        h->server.SetNewsDirectory(r.newsDirectory);
        h->server.Run();
        return std::unique_ptr<SessionHandle>(std::move(h));
    };
}

DialTimings ScaledDialTimings(int tickMs) {
    DialTimings t;
    if (tickMs <= 0) return t;
    const auto scale = [tickMs](int ms) { return ms * tickMs / 1000; };
    t.hangUpWaitMs = scale(t.hangUpWaitMs);
    t.connectedWaitMs = scale(t.connectedWaitMs);
    t.redialWaitMs = scale(t.redialWaitMs);
    t.startGraceMs = scale(t.startGraceMs);
    return t;
}

std::string InDirectory(const std::string& dir, const char* name) {
    return dir.empty() ? std::string(name) : dir + "/" + name;
}

}  // namespace

// Members are built in declaration order and taken down in reverse: the
// controller (and with it every session) goes before the timers, the
// socket library and the loop it uses.
struct Server::Parts {
    Parts(Shell& s, ServerOptions o)
        : options(std::move(o)),
          shell(s),
          setup(InDirectory(options.directory, kMainIniName)),
          sockets(1, 1, true),
          timers(loop) {}

    ServerOptions options;
    Shell& shell;
    Setup setup;
    EventLoop loop;
    SocketManager sockets;
    TimeManager timers;
    OverviewCache overviews;
    int fastTickId = 0;
    std::function<void()> fastTick;
    std::unique_ptr<qvPaneSplit> controller;
    std::unique_ptr<CtlCommands> commands;
    std::unique_ptr<ControlChannel> ctl;
};

Server::Server(Shell& shell, ServerOptions options)
    : parts_(std::make_unique<Parts>(shell, std::move(options))) {
    Parts& p = *parts_;
    // The sped-up tick is a chain of one-shot timers instead of the loop's
    // own one-second tick.
    if (p.options.tickMs > 0) {
        p.fastTick = [&p] {
            p.fastTickId = p.loop.After(p.options.tickMs, p.fastTick);
            p.timers.EvTimer(1);
        };
        p.fastTickId = p.loop.After(p.options.tickMs, p.fastTick);
    } else {
        p.timers.Activate();
    }
    p.controller = std::make_unique<qvPaneSplit>(p.loop, p.setup, p.timers, shell,
                                                 InDirectory(p.options.directory, "quorvel.log"));
    p.controller->SetReaderFactory(
        MakeReaderFactory(p.overviews, InDirectory(p.options.directory, "allowip.ini")));
    p.controller->SetFeedFactory(MakeFeedFactory());
    p.controller->SetScheduleFactory(
        [&ctx = p.controller->GetContext()] { return std::make_unique<ScheduleHandle>(ctx); });
    p.controller->SetDialTimings(ScaledDialTimings(p.options.tickMs));
}

Server::~Server() {
    Parts& p = *parts_;
    p.ctl.reset();
    p.commands.reset();
    p.controller.reset();
    if (p.fastTickId != 0) p.loop.Cancel(p.fastTickId);
}

bool Server::Start(std::string* why) {
    Parts& p = *parts_;
    qvPaneSplit& controller = *p.controller;
    if (p.options.controlChannel) {
        p.commands = std::make_unique<CtlCommands>(controller);
        p.ctl = std::make_unique<ControlChannel>(
            p.loop, [&commands = *p.commands](const std::vector<std::string>& words,
                                              ControlChannel::Respond respond) {
                commands.Handle(words, std::move(respond));
            });
        std::string error;
        switch (
            p.ctl->Open(InDirectory(p.options.directory, ControlChannel::kSocketName), &error)) {
            case ControlChannel::OpenResult::InUse:
                if (why) *why = "a server is already running in " + p.options.home;
                p.ctl.reset();
                return false;
            case ControlChannel::OpenResult::Failed:
                controller.UpdLog("[QV] Control channel not available: " + error);
                break;
            case ControlChannel::OpenResult::Opened: break;
        }
    }
    controller.UpdLog("[QV] Quorvel " + p.options.version + " starting in " + p.options.home);
    if (p.options.tickMs > 0)
        controller.UpdLog("[QV] QV_TICK_MS: one second of timers lasts " +
                          std::to_string(p.options.tickMs) + " ms");
    controller.SetupWindow();
    return true;
}

void Server::Run() {
    parts_->loop.Run();
    Stopped();
}

void Server::Stopped() { parts_->controller->UpdLog("[QV] Quorvel stopped"); }

void Server::Stop() {
    qvPaneSplit* controller = parts_->controller.get();
    parts_->loop.PostFromThread([controller] { controller->CmExit(); });
}

bool Server::Started() const { return parts_->controller->Started(); }

EventLoop& Server::Loop() { return parts_->loop; }

qvPaneSplit& Server::Controller() { return *parts_->controller; }
