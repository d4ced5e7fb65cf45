#pragma once
// The scheduled events of the main settings file (sections "EVENT01" to
// "EVENT98"): loaded once, each with its next trigger time, and asked once a
// minute whether one of them is due. Nothing is written back here; only the
// schedule page writes the sections, and the controller builds a new
// Schedule after the page has changed them.

#include <array>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// One event. day: -1 every day, 1 Monday ... 7 Sunday; hour: -1 every hour,
// else 0 to 23; minute 0 to 59.
struct ScheduleEvent {
    bool active = false;  // the section exists
    bool usable = true;   // false: day, hour or minute out of range (never fires)
    char kind = 0;        // 'N' News, 'G' Group, 'E' Expire (first letter of "Type")
    long day = 0;
    long hour = 0;
    long minute = 0;
    std::time_t nextTrigger = 0;
};

class Schedule {
public:
    static constexpr int kMaxEvents = 98;
    // The time source; the wall clock unless a test supplies its own.
    using Clock = std::function<std::time_t()>;
    using LogFn = std::function<void(std::string_view)>;

    // Loads the events from iniPath (empty: "Quorvel.INI" in the current
    // directory) and computes each one's next trigger. Events whose fields
    // are out of range (only a hand-edited file has them) are logged through
    // log and never fire; the events after them still do.
    explicit Schedule(std::string iniPath = {}, Clock clock = {}, const LogFn& log = {});

    // Recomputes the next trigger of event index (1 to 98) from now.
    void ResetEvent(int index);
    // "[SCHED] Next Trigger: <date>"; "*Invalid Event Index" when the event
    // does not exist.
    std::string GetNextTrigger(int index) const;
    // 0 nothing due; else the kind of the lowest-numbered due event (1 Expire,
    // 2 Group, 3 News, 0 for an unknown kind) after re-arming it. At most one
    // event fires per call; the others stay due for the following calls.
    int AnyTrigger();
    // "Next Event: <date>" for the earliest trigger, or "No Events Scheduled".
    std::string NextEvent() const;
    // What the controller logs after (re)loading: GetNextTrigger of events 1
    // to 9, up to the first that does not exist.
    std::vector<std::string> TriggerLines() const;

    const ScheduleEvent& Event(int index) const {
        return events_[static_cast<std::size_t>(index - 1)];
    }

    // The earliest time after the minute of now that has 0 seconds, the
    // given minute, the hour (unless -1) and the weekday (unless -1; 1 Monday
    // ... 7 Sunday), in local time.
    static std::time_t NextTrigger(std::time_t now, long day, long hour, long minute);
    // "December 8, 2026 10:30:00 am" (local time).
    static std::string FormatTime(std::time_t when);

private:
    std::time_t Now() const;

    std::string iniPath_;
    Clock clock_;
    std::array<ScheduleEvent, kMaxEvents> events_{};
};
