#pragma once
// The application object: builds the event loop, the socket library, the
// timer manager, the front-end and the controller, opens the control
// channel, and runs the loop until File > Exit (or SIGTERM / SIGINT).

#include <string>

struct AppOptions {
    std::string home;  // absolute; already the current directory
    std::string version;
    bool interactive = false;  // a terminal to ask the first-start questions on
};

class qvApp {
public:
    explicit qvApp(AppOptions options) : options_(std::move(options)) {}
    // The process's exit code: 0 after an exit, 1 when another server
    // already runs in the home.
    int Run();

private:
    AppOptions options_;
};
