#include "app/ActivityLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

ActivityLog::~ActivityLog() { Flush(); }

void ActivityLog::SetDeferred(bool deferred) {
    deferred_ = deferred;
    if (!deferred_) Flush();
}

void ActivityLog::Flush() {
    if (pending_.empty()) return;
    const int fd = File();
    // O_APPEND: one write lands whole at the end even with another writer.
    if (fd >= 0 && ::write(fd, pending_.data(), pending_.size()) < 0) fd_.Close();
    pending_.clear();
}

int ActivityLog::File() {
    const std::time_t now = now_();
    if (fd_.Valid() && now != checked_) {
        struct stat named {
        }, held{};
        if (::stat(fileName_.c_str(), &named) != 0 || ::fstat(fd_.Get(), &held) != 0 ||
            named.st_ino != held.st_ino || named.st_dev != held.st_dev)
            fd_.Close();
    }
    checked_ = now;
    if (!fd_.Valid())
        fd_.Reset(::open(fileName_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    return fd_.Get();
}

std::string ActivityLog::Add(std::string_view text) { return Add(text, now_()); }

std::string ActivityLog::Add(std::string_view text, std::time_t when) {
    // Dropping before appending keeps at most 101 lines, the oldest first out.
    // A line break inside a text would forge a second dated line in the file.
    std::string clean(text);
    for (char& c : clean)
        if (c == '\r' || c == '\n') c = ' ';
    if (lines_.size() >= kMaxLines) lines_.pop_front();
    lines_.push_back(clean);

    if (when != formattedWhen_) {
        formatted_ = FormatTime(when);
        formattedWhen_ = when;
    }
    std::string dated = formatted_;
    dated += ':';
    dated += clean;
    pending_ += dated;
    pending_ += "\r\n";
    if (!deferred_ || pending_.size() >= 64 * 1024) Flush();
    return dated;
}
