#pragma once
// What the feed tests share: a settings file and news directory in a
// temporary home, a controller stand-in that records log lines and traffic
// counts, a timer manager, and a runner that drives one session on the event
// loop until it ends (or a deadline passes, so a hang fails the test).

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/Messages.h"
#include "app/PaneHost.h"
#include "feed/qvServer.h"
#include "net/EventLoop.h"
#include "net/Socket.h"
#include "sched/TimeManager.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace feedtest {

class RecordingPane : public PaneHost {
public:
    using PaneHost::PaneHost;
    void UpdLog(std::string_view text) override { log.emplace_back(text); }
    bool HandleMessage(int message, WPARAM, LPARAM lParam) override {
        if (message == msg::IncRecvd) received += lParam;
        if (message == msg::IncSent) sent += lParam;
        return true;
    }
    bool Logged(std::string_view part) const {
        for (const std::string& l : log)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
    std::string Joined() const {
        std::string all;
        for (const std::string& l : log) all += l + "\n";
        return all;
    }
    std::vector<std::string> log;
    long received = 0;
    long sent = 0;
};

class FeedHome {
public:
    FeedHome() : setup_(dir_ / "Quorvel.INI"), pane_(loop_), timers_(loop_) {
        setup_.SetNewsDirectory(News());
        setup_.SetServerTimeout(10L);
        testutil::RunCommand("mkdir -p '" + News() + "POSTS'");
        qvSetup = &setup_;
        PaneWindow = &pane_;
        myTimeManager = &timers_;
        timers_.Activate();
    }
    ~FeedHome() {
        qvSetup = nullptr;
        PaneWindow = nullptr;
        myTimeManager = nullptr;
    }

    std::string News() const { return dir_.Path() + "/news/"; }
    std::string Read(const std::string& newsRelative) const {
        return testutil::ReadFile(News() + newsRelative);
    }
    void Write(const std::string& newsRelative, std::string_view text) const {
        testutil::WriteFile(News() + newsRelative, text);
    }

    // Runs one session of a kind against 127.0.0.1:port until it ends.
    std::unique_ptr<qvServer> RunSession(
        int kind, int port, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        auto s = std::make_unique<qvServer>(loop_);
        s->SetupWindow();
        s->SetKind(kind);
        s->SetPort(port);
        s->SetServerAddress("127.0.0.1");
        s->SetAllGroupFile("feed01.all");
        s->SetSubGroupFile("feed01.sub");
        s->Run();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (s->GetState() != 2 && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(50);
        // Let posted counters and late notifications arrive.
        for (int i = 0; i < 3; ++i) loop_.RunOnce(0);
        return s;
    }

    Setup& Settings() { return setup_; }
    RecordingPane& Pane() { return pane_; }
    EventLoop& Loop() { return loop_; }

private:
    EventLoop loop_;
    testutil::TempDir dir_;
    Setup setup_;
    RecordingPane pane_;
    TimeManager timers_;
};

}  // namespace feedtest
