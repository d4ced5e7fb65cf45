#pragma once
// What the feed tests share: a settings file and news directory in a
// temporary home, a host that records log lines and traffic counts, and the
// context built from them. RunSession drives one qvServer against a port on
// loopback until it ends (or a deadline passes, so a hang fails the test).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Context.h"
#include "core/Host.h"
#include "feed/qvServer.h"
#include "net/EventLoop.h"
#include "sched/TimeManager.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace feedtest {

class RecordingHost : public Host {
public:
    void UpdLog(std::string_view text) override { log.emplace_back(text); }
    void IncSent(std::int64_t bytes) override { sent += bytes; }
    void IncRecvd(std::int64_t bytes) override { received += bytes; }
    void MessageBox(std::string_view text, std::string_view title) override {
        log.push_back("box " + std::string(title) + ": " + std::string(text));
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
    std::int64_t received = 0;
    std::int64_t sent = 0;
};

class FeedHome {
public:
    FeedHome() : setup_(dir_ / "Quorvel.INI"), timers_(loop_) {
        setup_.SetNewsDirectory(News());
        setup_.SetServerTimeout(10L);
        testutil::RunCommand("mkdir -p '" + News() + "POSTS'");
    }

    std::string News() const { return dir_.Path() + "/news/"; }
    std::string Read(const std::string& newsRelative) const {
        return testutil::ReadFile(News() + newsRelative);
    }
    void Write(const std::string& newsRelative, std::string_view text) const {
        testutil::WriteFile(News() + newsRelative, text);
    }

    // A session of a kind for 127.0.0.1:port, set up and run.
    std::unique_ptr<qvServer> StartSession(int kind, int port) {
        auto s = std::make_unique<qvServer>(context_);
        s->SetupWindow();
        s->SetKind(kind);
        s->SetPort(port);
        s->SetServerAddress("127.0.0.1");
        s->SetAllGroupFile("feed01.all");
        s->SetSubGroupFile("feed01.sub");
        s->Run();
        return s;
    }

    // Runs one session of a kind against 127.0.0.1:port until it ends.
    std::unique_ptr<qvServer> RunSession(
        int kind, int port, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        auto s = StartSession(kind, port);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (s->GetState() != 2 && std::chrono::steady_clock::now() < deadline) loop_.RunOnce(50);
        for (int i = 0; i < 3; ++i) loop_.RunOnce(0);
        return s;
    }

    Setup& Settings() { return setup_; }
    RecordingHost& Host() { return host_; }
    EventLoop& Loop() { return loop_; }
    TimeManager& Timers() { return timers_; }
    Context& Ctx() { return context_; }

private:
    EventLoop loop_;
    testutil::TempDir dir_;
    Setup setup_;
    TimeManager timers_;
    RecordingHost host_;
    Context context_{loop_, setup_, timers_, host_};
};

}  // namespace feedtest
