#pragma once
// The activity log: a pane of the last 101 lines and the permanent file
// "quorvel.log" in the current directory. The file gets every line, dated,
// with CR LF; it is opened and closed per line so that another program may
// read or move it between lines. A file that cannot be opened only costs the
// file copy of that line.

#include <ctime>
#include <deque>
#include <string>
#include <string_view>

class ActivityLog {
public:
    static constexpr std::size_t kMaxLines = 101;

    explicit ActivityLog(std::string fileName = "quorvel.log") : fileName_(std::move(fileName)) {}

    // Adds one line to the pane and the file; returns the dated line
    // ("<24-character date>:<text>") that front-ends show.
    std::string Add(std::string_view text);
    // Same, with the time given (tests).
    std::string Add(std::string_view text, std::time_t when);

    const std::deque<std::string>& Lines() const { return lines_; }

    // "Tue Dec 08 05:41:39 2026": English names whatever the locale.
    static std::string FormatTime(std::time_t when);

private:
    std::string fileName_;
    std::deque<std::string> lines_;
};
