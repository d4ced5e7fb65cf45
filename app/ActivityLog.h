#pragma once
// The activity log: a pane of the last 101 lines and the permanent file
// "quorvel.log" in the current directory. The file gets every line, dated,
// with CR LF, in one append write per line. The file stays open between
// lines (a reader on a busy server logs several lines per command), and is
// looked up again at most once a second, so a log moved or deleted by
// another program is started afresh under its name. A file that cannot be
// opened only costs the file copy of its lines.

#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "core/File.h"

class ActivityLog {
public:
    static constexpr std::size_t kMaxLines = 101;

    explicit ActivityLog(std::string fileName = "quorvel.log") : fileName_(std::move(fileName)) {}
    ~ActivityLog();
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // Adds one line to the pane and the file; returns the dated line
    // ("<24-character date>:<text>") that front-ends show.
    std::string Add(std::string_view text);
    // Same, with the time given (tests).
    std::string Add(std::string_view text, std::time_t when);

    const std::deque<std::string>& Lines() const { return lines_; }

    // Deferred: lines are collected and written by Flush (the controller
    // calls it once per pass of the event loop), so a busy reader's three
    // lines per command cost one write between them, not three. A crash
    // loses at most the lines of the pass it happened in.
    void SetDeferred(bool deferred);
    void Flush();

    // The clock that dates lines and paces the look-ups of the file's name
    // (tests move it by hand).
    void SetClock(std::function<std::time_t()> now) { now_ = std::move(now); }

    // "Tue Dec 08 05:41:39 2026": English names whatever the locale.
    static std::string FormatTime(std::time_t when);

private:
    // The descriptor to append to, reopened when the name no longer leads
    // to the file we hold.
    int File();

    std::string fileName_;
    FileDescriptor fd_;
    std::function<std::time_t()> now_ = [] { return std::time(nullptr); };
    std::time_t checked_ = 0;
    std::time_t formattedWhen_ = -1;
    bool deferred_ = false;
    std::string pending_;
    std::string formatted_;
    std::deque<std::string> lines_;
};
