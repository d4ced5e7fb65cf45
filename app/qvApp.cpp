#include "app/qvApp.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>

#include "app/ControlChannel.h"
#include "app/CtlCommands.h"
#include "app/HeadlessShell.h"
#include "app/Sessions.h"
#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "net/Socket.h"
#include "sched/TimeManager.h"

namespace {

// 500 readers, their article files and the feed need more descriptors than
// the usual soft limit of 1024 allows; take what the hard limit gives.
void RaiseDescriptorLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// SIGTERM and SIGINT end the server as File > Exit does. They are blocked
// and read from a descriptor on the loop, so no work runs in a handler.
class ExitSignals {
public:
    ExitSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        ::sigprocmask(SIG_BLOCK, &set_, &old_);
        fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    ~ExitSignals() {
        if (fd_ >= 0) ::close(fd_);
        ::sigprocmask(SIG_SETMASK, &old_, nullptr);
    }
    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;
    int Fd() const { return fd_; }
    // The signal read, or 0.
    int Take() {
        signalfd_siginfo info{};
        const ssize_t n = ::read(fd_, &info, sizeof info);
        return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
    }

private:
    sigset_t set_{};
    sigset_t old_{};
    int fd_ = -1;
};

// QV_TICK_MS=N makes the one-second tick N milliseconds long (1 to 1000),
// and every timer counted in ticks with it: the minute tick, the five-second
// tick, session time-outs, the dial-up countdown and its pauses. Tests use
// it to see a scheduled run without waiting minutes. 0: not set or invalid.
int TickMsFromEnvironment() {
    const char* text = std::getenv("QV_TICK_MS");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < 1 || ms > 1000) {
        std::cerr << "quorvel: QV_TICK_MS must be a number of milliseconds from 1 to 1000; "
                     "ignored\n";
        return 0;
    }
    return static_cast<int>(ms);
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

}  // namespace

int qvApp::Run() {
    RaiseDescriptorLimit();
    ::signal(SIGPIPE, SIG_IGN);
    ExitSignals signals;

    EventLoop loop;
    SocketManager sockets(1, 1, true);
    mySocketManager = &sockets;
    TimeManager timer(loop);
    myTimeManager = &timer;
    const int tickMs = TickMsFromEnvironment();
    // The sped-up tick is a chain of one-shot timers instead of the loop's
    // own one-second tick.
    int fastTickId = 0;
    std::function<void()> fastTick = [&] {
        fastTickId = loop.After(tickMs, fastTick);
        timer.EvTimer(1);
    };
    if (tickMs > 0)
        fastTickId = loop.After(tickMs, fastTick);
    else
        timer.Activate();

    HeadlessShell shell(std::cout, std::cin, options_.interactive);
    // Log lines reach standard output once per batch of events.
    const int flushId = loop.AddPassEnd([] { std::cout.flush(); });
    int code = 0;
    {
        qvPaneSplit controller(loop, shell);
        shell.SetLogSink([&controller](std::string_view line) { controller.UpdLog(line); });
        controller.SetReaderFactory(MakeReaderFactory());
        controller.SetFeedFactory(MakeFeedFactory());
        controller.SetScheduleFactory(MakeScheduleFactory());
        controller.SetDialTimings(ScaledDialTimings(tickMs));

        ControlChannel ctl(loop, [&controller](const std::vector<std::string>& words) {
            return HandleCtlCommand(controller, words);
        });
        std::string why;
        switch (ctl.Open(ControlChannel::kSocketName, &why)) {
            case ControlChannel::OpenResult::InUse:
                std::cerr << "quorvel: a server is already running in " << options_.home << "\n";
                code = 1;
                break;
            case ControlChannel::OpenResult::Failed:
                controller.UpdLog("[QV] Control channel not available: " + why);
                break;
            case ControlChannel::OpenResult::Opened: break;
        }
        if (code == 0) {
            if (signals.Fd() >= 0)
                loop.Watch(signals.Fd(), EPOLLIN, [&](std::uint32_t) {
                    if (const int sig = signals.Take())
                        controller.UpdLog(std::string("[QV] ") + ::strsignal(sig) + ": exiting");
                    controller.CmExit();
                });
            controller.UpdLog("[QV] Quorvel " + options_.version + " starting in " + options_.home);
            if (tickMs > 0)
                controller.UpdLog("[QV] QV_TICK_MS: one second of timers lasts " +
                                  std::to_string(tickMs) + " ms");
            controller.SetupWindow();
            loop.Run();
            controller.UpdLog("[QV] Quorvel stopped");
            if (signals.Fd() >= 0) loop.Unwatch(signals.Fd());
        }
        shell.SetLogSink(nullptr);
    }
    loop.RemovePassEnd(flushId);
    std::cout.flush();
    if (fastTickId != 0) loop.Cancel(fastTickId);
    myTimeManager = nullptr;
    mySocketManager = nullptr;
    return code;
}
