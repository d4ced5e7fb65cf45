#pragma once
// Process-wide settings that every host makes before it builds the core.

#include <csignal>
#include <functional>
#include <initializer_list>

class EventLoop;
class qvPaneSplit;

// Ignores SIGPIPE (a reader that vanishes mid-reply must not end the
// server) and raises the descriptor limit to the hard limit: 500 readers,
// their article files and the feed need more than the usual 1024.
void PrepareHostProcess();

// QV_TICK_MS=N makes the one-second tick N milliseconds long (1 to 1000),
// and every timer counted in ticks with it: the minute tick, the five-second
// tick, session time-outs, the dial-up countdown and its pauses. Tests use
// it to see a scheduled run without waiting minutes. 0: not set or invalid
// (said on standard error).
int TickMsFromEnvironment();

// Signals blocked from construction on (before a host starts threads of its
// own, which inherit the mask) and read from a descriptor on the loop, so
// no work runs in a signal handler.
class SignalReader {
public:
    explicit SignalReader(std::initializer_list<int> numbers);
    ~SignalReader();
    SignalReader(const SignalReader&) = delete;
    SignalReader& operator=(const SignalReader&) = delete;

    // From now on each signal that arrives runs handler with its number.
    void Watch(EventLoop& loop, std::function<void(int signal)> handler);
    void Unwatch(EventLoop& loop);

private:
    sigset_t set_{};
    sigset_t old_{};
    int fd_ = -1;
};

// SIGTERM and SIGINT end the server as File > Exit does.
class ExitSignals : private SignalReader {
public:
    ExitSignals();
    // From now on a signal logs "[QV] <signal>: exiting" and runs CmExit.
    void Watch(EventLoop& loop, qvPaneSplit& controller);
    using SignalReader::Unwatch;
};

// SIGHUP applies the edited settings files as "ctl reload" does (the
// headless host; a service reads SIGHUP as an interrogation).
class ReloadSignal : private SignalReader {
public:
    ReloadSignal();
    // From now on SIGHUP logs "[QV] Hangup: reloading the settings" and
    // reloads them; the controller logs each change.
    void Watch(EventLoop& loop, qvPaneSplit& controller);
    using SignalReader::Unwatch;
};
