#include "app/HeadlessHost.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/HeadlessShell.h"
#include "app/HostProcess.h"
#include "app/Server.h"
#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"

namespace {

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

}  // namespace

int RunHeadless(const HostOptions& options) {
    PrepareHostProcess();
    ExitSignals signals;

    HeadlessShell shell(std::cout, std::cin, options.interactive);
    ServerOptions serverOptions;
    serverOptions.home = options.home;
    serverOptions.version = options.version;
    serverOptions.tickMs = TickMsFromEnvironment();
    int code = 0;
    {
        Server server(shell, serverOptions);
        EventLoop& loop = server.Loop();
        qvPaneSplit& controller = server.Controller();
        shell.SetLogSink([&controller](std::string_view line) { controller.UpdLog(line); });
        // Log lines reach standard output once per batch of events.
        const int flushId = loop.AddPassEnd([] { std::cout.flush(); });
        std::string why;
        if (!server.Start(&why)) {
            std::cerr << "quorvel: " << why << "\n";
            code = 1;
        } else {
            if (signals.Fd() >= 0)
                loop.Watch(signals.Fd(), EPOLLIN, [&](std::uint32_t) {
                    if (const int sig = signals.Take())
                        controller.UpdLog(std::string("[QV] ") + ::strsignal(sig) + ": exiting");
                    controller.CmExit();
                });
            server.Run();
            if (signals.Fd() >= 0) loop.Unwatch(signals.Fd());
        }
        shell.SetLogSink(nullptr);
        loop.RemovePassEnd(flushId);
    }
    std::cout.flush();
    return code;
}
