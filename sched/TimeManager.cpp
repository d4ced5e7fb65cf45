#include "sched/TimeManager.h"

TimeManager::TimeManager(EventLoop& loop) : loop_(loop) {}

TimeManager::~TimeManager() {
    if (tickId_ != 0) loop_.RemoveTick(tickId_);
}

void TimeManager::Activate() {
    if (tickId_ != 0) loop_.RemoveTick(tickId_);
    tickId_ = loop_.AddTick([this] { EvTimer(1); });
    entries_.fill(TimerEntry{});
}

bool TimeManager::TimerSet(MessageTarget* target, int message, int periodSeconds) {
    for (TimerEntry& e : entries_) {
        if (e.active) continue;
        e = TimerEntry{
            1, target, target != nullptr ? target->TargetId() : 0, periodSeconds, 0, message, 0};
        return true;
    }
    return false;
}

bool TimeManager::TimerKill(MessageTarget* target, int message) {
    for (TimerEntry& e : entries_) {
        if (e.target == target && e.message == message) {
            e.active = 0;
            return true;
        }
    }
    return false;
}

bool TimeManager::ResetTimer(MessageTarget* target, int message) {
    for (TimerEntry& e : entries_) {
        if (e.target == target && e.message == message) {
            e.counter = 0;
            return true;
        }
    }
    return false;
}

bool TimeManager::CheckStatus(MessageTarget* target, int message) {
    for (TimerEntry& e : entries_) {
        if (e.active && e.target == target && e.message == message) {
            e.active = 0;
            return true;
        }
    }
    return false;
}

void TimeManager::EvTimer(int) {
    for (TimerEntry& e : entries_) {
        if (!e.active) continue;
        if (++e.counter < e.period) continue;
        e.counter = 0;
        e.fired = 1;
        // An owner that forgot to kill its entry before going away loses the
        // message instead of receiving it at a dangling address.
        if (e.target != nullptr && loop_.Alive(e.targetId)) loop_.Post(e.target, e.message, 0, 0);
    }
}
