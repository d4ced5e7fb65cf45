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

SignalReader::SignalReader(std::initializer_list<int> numbers) {
    sigemptyset(&set_);
    for (const int s : numbers) sigaddset(&set_, s);
    ::sigprocmask(SIG_BLOCK, &set_, &old_);
    fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
}

SignalReader::~SignalReader() {
    if (fd_ >= 0) ::close(fd_);
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

void SignalReader::Watch(EventLoop& loop, std::function<void(int signal)> handler) {
    if (fd_ < 0) return;
    loop.Watch(fd_, EPOLLIN, [this, handler = std::move(handler)](std::uint32_t) {
        signalfd_siginfo info{};
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            handler(static_cast<int>(info.ssi_signo));
    });
}

void SignalReader::Unwatch(EventLoop& loop) {
    if (fd_ >= 0) loop.Unwatch(fd_);
}

ExitSignals::ExitSignals() : SignalReader({SIGTERM, SIGINT}) {}

void ExitSignals::Watch(EventLoop& loop, qvPaneSplit& controller) {
    SignalReader::Watch(loop, [&controller](int signal) {
        controller.UpdLog(std::string("[QV] ") + ::strsignal(signal) + ": exiting");
        controller.CmExit();
    });
}

ReloadSignal::ReloadSignal() : SignalReader({SIGHUP}) {}

void ReloadSignal::Watch(EventLoop& loop, qvPaneSplit& controller) {
    SignalReader::Watch(loop, [&controller](int) {
        controller.UpdLog("[QV] Hangup: reloading the settings");
        if (controller.ReloadSettings().empty()) controller.UpdLog("[QV] No settings changed");
    });
}
