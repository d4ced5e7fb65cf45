#include "app/Sessions.h"

#include "feed/qvServer.h"
#include "reader/qvClient.h"
#include "sched/Schedule.h"
#include "settings/Setup.h"

namespace {

class ReaderHandle : public SessionHandle {
public:
    explicit ReaderHandle(EventLoop& loop) : client(loop) {}
    int State() const override { return client.GetState(); }
    qvClient client;
};

class FeedHandle : public SessionHandle {
public:
    explicit FeedHandle(EventLoop& loop) : server(loop) {}
    int State() const override { return server.GetState(); }
    qvServer server;
};

class ScheduleHandle : public EventSchedule {
public:
    ScheduleHandle()
        : schedule(qvSetup ? qvSetup->IniPath() : std::string(), {}, [](std::string_view line) {
              if (PaneWindow) PaneWindow->UpdLog(line);
          }) {}
    int AnyTrigger() override { return schedule.AnyTrigger(); }
    std::string NextEvent() override { return schedule.NextEvent(); }
    std::string GetNextTrigger(int index) override { return schedule.GetNextTrigger(index); }
    Schedule schedule;
};

}  // namespace

qvPaneSplit::ScheduleFactory MakeScheduleFactory() {
    return [] { return std::unique_ptr<EventSchedule>(std::make_unique<ScheduleHandle>()); };
}

qvPaneSplit::ReaderFactory MakeReaderFactory() {
    return [](EventLoop& loop, StreamSocket& accepted, const std::string& peer) {
        auto h = std::make_unique<ReaderHandle>(loop);
        h->client.SetPeerAddress(peer);
        h->client.SetSocket(accepted);
        h->client.Run();  // greets, or refuses and ends (reaped at the next tick)
        return std::unique_ptr<SessionHandle>(std::move(h));
    };
}

qvPaneSplit::FeedFactory MakeFeedFactory() {
    return [](EventLoop& loop, const FeedRequest& r) {
        auto h = std::make_unique<FeedHandle>(loop);
        h->server.SetupWindow();
        h->server.SetKind(r.kind);
        h->server.SetPort(r.port);
        h->server.SetServerAddress(r.address);
        h->server.SetAllGroupFile(r.allGroupFile);
        h->server.SetSubGroupFile(r.subGroupFile);
        h->server.Run();
        return std::unique_ptr<SessionHandle>(std::move(h));
    };
}
