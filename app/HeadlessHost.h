#pragma once
// The host for running without windows: the activity log also goes to
// standard output, message boxes become log lines, the first-start questions
// are asked on the terminal when there is one, and SIGTERM or SIGINT end the
// server as File > Exit does.

#include <string>

struct HostOptions {
    std::string home;  // absolute; already the current directory
    std::string version;
    bool interactive = false;  // a terminal to ask the first-start questions on
};

// The process's exit code: 0 after an exit, 1 when another server already
// runs in the home.
int RunHeadless(const HostOptions& options);
