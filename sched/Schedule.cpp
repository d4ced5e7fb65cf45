#include "sched/Schedule.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "settings/Profile.h"

namespace {

constexpr std::size_t kFieldMax = 21;  // 20 characters and the terminator

// As atol reads it: leading blanks, a sign, digits; anything else gives 0.
long LeadingNumber(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

std::string CurrentDirectory() {
    std::string buf(4096, '\0');
    if (::getcwd(buf.data(), buf.size()) == nullptr) return ".";
    buf.resize(buf.find('\0'));
    return buf;
}

std::string SectionName(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "EVENT%02d", n);
    return name;
}

// Weekday of a broken-down time: 1 Monday ... 7 Sunday.
int IsoWeekday(const std::tm& t) { return t.tm_wday == 0 ? 7 : t.tm_wday; }

}  // namespace

Schedule::Schedule(std::string iniPath, Clock clock, const LogFn& log)
    : iniPath_(iniPath.empty() ? CurrentDirectory() + "/Quorvel.INI" : std::move(iniPath)),
      clock_(std::move(clock)) {
    for (int n = 1; n <= kMaxEvents; ++n) {
        const std::string section = SectionName(n);
        const std::string type = profile::GetString(iniPath_, section, "Type", "!", kFieldMax);
        if (type.starts_with('!')) break;
        ScheduleEvent& e = events_[static_cast<std::size_t>(n - 1)];
        e.active = true;
        e.kind = type.empty() ? '\0' : type[0];
        const std::string day = profile::GetString(iniPath_, section, "Day", "!", kFieldMax);
        const std::string hour = profile::GetString(iniPath_, section, "Hour", "!", kFieldMax);
        const std::string minute = profile::GetString(iniPath_, section, "Minute", "!", kFieldMax);
        if (day.starts_with('*')) {
            e.day = -1;
        } else {
            e.day = LeadingNumber(day);
            if (e.day == 0) e.day = 7;
        }
        e.hour = hour.starts_with('*') ? -1 : LeadingNumber(hour);
        e.minute = LeadingNumber(minute);

        // A value no clock ever shows would leave the event silently dead
        // (or, through date normalisation, due at some other time); say so.
        const char* what = nullptr;
        long value = 0;
        if (e.day < -1 || e.day > 7) {
            what = "day";
            value = e.day;
        } else if (e.hour < -1 || e.hour > 23) {
            what = "hour";
            value = e.hour;
        } else if (e.minute < 0 || e.minute > 59) {
            what = "minute";
            value = e.minute;
        }
        if (what != nullptr) {
            e.usable = false;
            char line[128];
            std::snprintf(line, sizeof line, "[SCHED] Event %02d ignored: %s %ld is out of range",
                          n, what, value);
            if (log) log(line);
            continue;
        }
        ResetEvent(n);
    }
}

std::time_t Schedule::Now() const { return clock_ ? clock_() : std::time(nullptr); }

std::time_t Schedule::NextTrigger(std::time_t now, long day, long hour, long minute) {
    std::tm today{};
    localtime_r(&now, &today);
    // Anything within the current minute counts as past: an event re-armed
    // in the minute in which it fired must not be due again at once.
    std::tm minuteStart = today;
    minuteStart.tm_sec = 0;
    minuteStart.tm_isdst = -1;
    const std::time_t earliest = std::mktime(&minuteStart) + 60;

    // Today and the seven days after it always hold a match.
    for (int d = 0; d <= 8; ++d) {
        for (int h = 0; h < 24; ++h) {
            if (hour >= 0 && h != hour) continue;
            std::tm c{};
            c.tm_year = today.tm_year;
            c.tm_mon = today.tm_mon;
            c.tm_mday = today.tm_mday + d;
            c.tm_hour = h;
            c.tm_min = static_cast<int>(minute);
            c.tm_sec = 0;
            c.tm_isdst = -1;
            const std::time_t t = std::mktime(&c);
            if (t == static_cast<std::time_t>(-1) || t < earliest) continue;
            if (day > 0 && IsoWeekday(c) != day) continue;
            return t;
        }
    }
    return 0;  // unreachable for values in range
}

void Schedule::ResetEvent(int index) {
    if (index < 1 || index > kMaxEvents) return;
    ScheduleEvent& e = events_[static_cast<std::size_t>(index - 1)];
    if (!e.active || !e.usable) return;
    e.nextTrigger = NextTrigger(Now(), e.day, e.hour, e.minute);
}

std::string Schedule::FormatTime(std::time_t when) {
    static constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                              "May",       "June",     "July",     "August",
                                              "September", "October",  "November", "December"};
    std::tm t{};
    localtime_r(&when, &t);
    const int hour12 = t.tm_hour > 12 ? t.tm_hour - 12 : t.tm_hour;
    char text[64];
    std::snprintf(text, sizeof text, "%s %d, %d %d:%02d:%02d %s", kMonths[t.tm_mon % 12], t.tm_mday,
                  t.tm_year + 1900, hour12, t.tm_min, t.tm_sec, t.tm_hour < 12 ? "am" : "pm");
    return text;
}

std::string Schedule::GetNextTrigger(int index) const {
    if (index < 1 || index > kMaxEvents || !Event(index).active) return "*Invalid Event Index";
    const ScheduleEvent& e = Event(index);
    if (!e.usable) return "[SCHED] Next Trigger: never (event ignored)";
    return "[SCHED] Next Trigger: " + FormatTime(e.nextTrigger);
}

int Schedule::AnyTrigger() {
    const std::time_t now = Now();
    for (int n = 1; n <= kMaxEvents; ++n) {
        const ScheduleEvent& e = Event(n);
        if (!e.active) break;
        if (!e.usable || e.nextTrigger > now) continue;
        int code = 0;
        switch (e.kind) {
            case 'E': code = 1; break;
            case 'G': code = 2; break;
            case 'N': code = 3; break;
            default: break;
        }
        ResetEvent(n);
        return code;
    }
    return 0;
}

std::string Schedule::NextEvent() const {
    if (!Event(1).active) return "No Events Scheduled";
    std::time_t earliest = 0;
    for (int n = 1; n <= kMaxEvents; ++n) {
        const ScheduleEvent& e = Event(n);
        if (!e.active) break;
        if (!e.usable) continue;
        if (earliest == 0 || e.nextTrigger < earliest) earliest = e.nextTrigger;
    }
    if (earliest == 0) return "No Events Scheduled";
    return "Next Event: " + FormatTime(earliest);
}

std::vector<std::string> Schedule::TriggerLines() const {
    std::vector<std::string> lines;
    for (int i = 1; i <= 9; ++i) {
        std::string text = GetNextTrigger(i);
        if (text.starts_with('*')) break;
        lines.push_back(std::move(text));
    }
    return lines;
}
