#pragma once
// The program's one source of periodic events: a one-second tick that
// counts every registered timer and posts its message to its target when
// the period completes. Posted, never sent: the target handles it in its
// own turn, in posting order. A late tick is merged, not repeated, so
// periods stretch while the thread is busy.

#include <array>
#include <cstdint>

#include "net/EventLoop.h"

class TimeManager {
public:
    static constexpr int kEntries = 30;

    struct TimerEntry {
        int active = 0;
        MessageTarget* target = nullptr;
        std::uint64_t targetId = 0;  // the target's identity, to drop messages for a dead one
        int period = 0;
        int counter = 0;
        int message = 0;
        int fired = 0;
    };

    explicit TimeManager(EventLoop& loop);
    ~TimeManager();  // stops the tick
    TimeManager(const TimeManager&) = delete;
    TimeManager& operator=(const TimeManager&) = delete;

    // Starts the one-second tick and clears all entries.
    void Activate();

    // A timer is the pair (target, message); setting a pair twice makes two
    // timers. false: all 30 entries active.
    bool TimerSet(MessageTarget* target, int message, int periodSeconds);
    // The first entry of the pair (active or not) becomes inactive.
    bool TimerKill(MessageTarget* target, int message);
    // The first entry of the pair starts its period again.
    bool ResetTimer(MessageTarget* target, int message);
    // An active entry of the pair becomes inactive: true; else false.
    bool CheckStatus(MessageTarget* target, int message);

    // One tick (the loop calls it once a second; tests call it directly).
    void EvTimer(int timerId = 1);

    const std::array<TimerEntry, kEntries>& Entries() const { return entries_; }

private:
    std::array<TimerEntry, kEntries> entries_{};
    EventLoop& loop_;
    int tickId_ = 0;
};
