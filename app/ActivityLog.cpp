#include "app/ActivityLog.h"

#include <cstdio>

std::string ActivityLog::FormatTime(std::time_t when) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&when, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %04d", kDays[tm.tm_wday % 7],
                  kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900);
    return buf;
}

std::string ActivityLog::Add(std::string_view text) { return Add(text, std::time(nullptr)); }

std::string ActivityLog::Add(std::string_view text, std::time_t when) {
    // Dropping before appending keeps at most 101 lines, the oldest first out.
    // A line break inside a text would forge a second dated line in the file.
    std::string clean(text);
    for (char& c : clean)
        if (c == '\r' || c == '\n') c = ' ';
    if (lines_.size() >= kMaxLines) lines_.pop_front();
    lines_.push_back(clean);

    std::string dated = FormatTime(when);
    dated += ':';
    dated += clean;
    if (std::FILE* f = std::fopen(fileName_.c_str(), "ab")) {
        const std::string line = dated + "\r\n";
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
    return dated;
}
