#include "app/HostProcess.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"

void PrepareHostProcess() {
    ::signal(SIGPIPE, SIG_IGN);
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

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

ExitSignals::ExitSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    ::sigprocmask(SIG_BLOCK, &set_, &old_);
    fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
}

ExitSignals::~ExitSignals() {
    if (fd_ >= 0) ::close(fd_);
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

void ExitSignals::Watch(EventLoop& loop, qvPaneSplit& controller) {
    if (fd_ < 0) return;
    loop.Watch(fd_, EPOLLIN, [this, &controller](std::uint32_t) {
        signalfd_siginfo info{};
        const ssize_t n = ::read(fd_, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info))
            controller.UpdLog(std::string("[QV] ") + ::strsignal(static_cast<int>(info.ssi_signo)) +
                              ": exiting");
        controller.CmExit();
    });
}

void ExitSignals::Unwatch(EventLoop& loop) {
    if (fd_ >= 0) loop.Unwatch(fd_);
}

ReloadSignal::ReloadSignal() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &set_, &old_);
    fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
}

ReloadSignal::~ReloadSignal() {
    if (fd_ >= 0) ::close(fd_);
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

void ReloadSignal::Watch(EventLoop& loop, qvPaneSplit& controller) {
    if (fd_ < 0) return;
    loop.Watch(fd_, EPOLLIN, [this, &controller](std::uint32_t) {
        signalfd_siginfo info{};
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {}
        controller.UpdLog("[QV] Hangup: reloading the settings");
        if (controller.ReloadSettings().empty()) controller.UpdLog("[QV] No settings changed");
    });
}

void ReloadSignal::Unwatch(EventLoop& loop) {
    if (fd_ >= 0) loop.Unwatch(fd_);
}
