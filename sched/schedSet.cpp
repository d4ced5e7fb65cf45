#include "sched/schedSet.h"

#include <cstdio>

#include "settings/Profile.h"
#include "settings/Setup.h"

namespace {

constexpr std::size_t kFieldMax = 21;

std::string SectionName(std::size_t n) {
    char name[24];
    std::snprintf(name, sizeof name, "EVENT%02zu", n);
    return name;
}

std::string Choice(const std::vector<std::string>& choices, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= choices.size()) return choices.front();
    return choices[static_cast<std::size_t>(index)];
}

}  // namespace

schedSet::schedSet(Setup& setup) : setup_(setup) {}

const std::vector<std::string>& schedSet::DayChoices() {
    static const std::vector<std::string> days = {"Every Day", "Monday", "Tuesday",  "Wednesday",
                                                  "Thursday",  "Friday", "Saturday", "Sunday"};
    return days;
}

const std::vector<std::string>& schedSet::HourChoices() {
    static const std::vector<std::string> hours = [] {
        std::vector<std::string> h{"All"};
        for (int i = 0; i < 24; ++i) {
            char text[8];
            std::snprintf(text, sizeof text, "%02d", i);
            h.emplace_back(text);
        }
        return h;
    }();
    return hours;
}

const std::vector<std::string>& schedSet::MinuteChoices() {
    static const std::vector<std::string> minutes = [] {
        std::vector<std::string> m;
        for (int i = 0; i < 60; i += 5) {
            char text[8];
            std::snprintf(text, sizeof text, "%02d", i);
            m.emplace_back(text);
        }
        return m;
    }();
    return minutes;
}

std::string schedSet::EventLine(std::string_view type, std::string_view day, std::string_view hour,
                                std::string_view minute) {
    static constexpr const char* kDays[] = {
        "Every Sunday, ",   "Every Monday, ", "Every Tuesday, ", "Every Wednesday, ",
        "Every Thursday, ", "Every Friday, ", "Every Saturday, "};
    std::string line = "[" + std::string(type) + "] - ";
    if (day == "*") {
        line += "Daily ";
    } else if (day.size() == 1 && day[0] >= '0' && day[0] <= '6') {
        line += kDays[day[0] - '0'];
    } else if (day == "7") {  // Sunday as the schedule reads it
        line += kDays[0];
    }
    if (hour == "**")
        line += "at " + std::string(minute) + " minutes past the hour.";
    else
        line += "at  " + std::string(hour) + ":" + std::string(minute) + ".";
    line += " <";
    if (!type.empty()) line += type[0];
    line += std::string(day) + std::string(hour) + std::string(minute) + ">";
    return line;
}

void schedSet::SetupWindow() {
    packet_.interval = std::to_string(setup_.GetSleepTime());
    packet_.day = packet_.hour = packet_.minute = 0;
    packet_.events.clear();
    packet_.selected = -1;
    const std::string& ini = setup_.IniPath();
    for (std::size_t n = 1; n <= kMaxEvents; ++n) {
        const std::string section = SectionName(n);
        const std::string type = profile::GetString(ini, section, "Type", "!", kFieldMax);
        if (type.starts_with('!')) break;
        // Missing fields show as the values the schedule reads for them, so
        // that Apply writes back what was in effect.
        packet_.events.push_back(
            EventLine(type, profile::GetString(ini, section, "Day", "0", kFieldMax),
                      profile::GetString(ini, section, "Hour", "00", kFieldMax),
                      profile::GetString(ini, section, "Minute", "00", kFieldMax)));
    }
}

bool schedSet::AddEventButton() {
    scheduleChanged_ = true;
    // Lines past the 98th would be written but never read back: the event
    // would look scheduled and never run.
    if (packet_.events.size() >= kMaxEvents) return false;
    std::string type;
    if (packet_.news) type = "News";
    if (packet_.group) type = "Group";
    if (packet_.expire) type = "Expire";
    if (type.empty()) type = "News";

    static constexpr const char* kDayCodes[] = {"*", "1", "2", "3", "4", "5", "6", "0"};
    const int dayIndex = packet_.day >= 0 && packet_.day < 8 ? packet_.day : 0;
    const std::string hour = Choice(HourChoices(), packet_.hour);
    packet_.events.push_back(EventLine(type, kDayCodes[dayIndex], hour == "All" ? "**" : hour,
                                       Choice(MinuteChoices(), packet_.minute)));
    return true;
}

void schedSet::DelEventButton() {
    scheduleChanged_ = true;
    if (packet_.selected < 0 || static_cast<std::size_t>(packet_.selected) >= packet_.events.size())
        return;
    packet_.events.erase(packet_.events.begin() + packet_.selected);
    packet_.selected = -1;
}

bool schedSet::Apply() {
    bool ok = setup_.SetSleepTime(std::string_view(packet_.interval).substr(0, kIntervalMax));
    const std::string& ini = setup_.IniPath();
    for (std::size_t n = 1; n <= kMaxEvents; ++n)
        ok = profile::WriteString(ini, SectionName(n), std::nullopt, std::nullopt) && ok;

    std::size_t n = 0;
    for (const std::string& line : packet_.events) {
        const auto open = line.find('<');
        if (open == std::string::npos || open + 1 >= line.size()) continue;
        const std::string_view code = std::string_view(line).substr(open + 1);
        const char* type = nullptr;
        switch (code[0]) {
            case 'G': type = "Group"; break;
            case 'N': type = "News"; break;
            case 'E': type = "Expire"; break;
            default: continue;  // not a line this page made
        }
        const auto field = [&](std::size_t at, std::size_t len) {
            return at < code.size() ? code.substr(at, len) : std::string_view();
        };
        // Numbered without gaps: the schedule stops reading at the first gap.
        const std::string section = SectionName(++n);
        ok = profile::WriteString(ini, section, "Type", type) && ok;
        ok = profile::WriteString(ini, section, "Day", field(1, 1)) && ok;
        ok = profile::WriteString(ini, section, "Hour", field(2, 2)) && ok;
        ok = profile::WriteString(ini, section, "Minute", field(4, 2)) && ok;
    }
    return ok;
}
