#pragma once
// What the controller shows and asks. The Qt front-end implements it, the
// headless front-end writes it to the log and standard output, and tests
// record it.
//
// Nothing here waits for a person: every call returns at once, and what a
// person answers comes back through a callback, later, on the core's
// thread (a shell without a person may call it before returning). So no
// core handler ever runs a nested loop.

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct ConnectionTree {
    int listenPort = 0;                // "Serving on Port: %d"
    int maxClients = 0;                // "Max Client Connections: %d"
    std::vector<std::string> readers;  // "IP: 127.0.0.1"
    std::vector<std::string> feeds;    // "IP:10.0.0.1"
};

class Shell {
public:
    virtual ~Shell() = default;
    // One activity-log line as it appears in the pane (already dated).
    virtual void AddLogLine(std::string_view line) = 0;
    virtual void ShowStatus(std::span<const std::string> lines) = 0;
    virtual void ShowConnections(const ConnectionTree& tree) = 0;
    // A message box with one OK button; it returns at once.
    virtual void ShowMessage(std::string_view title, std::string_view text) = 0;
    // A yes/no question; a shell without a person shows it as a message and
    // answers def.
    virtual void AskYesNo(std::string_view title, std::string_view text, bool def,
                          std::function<void(bool yes)> answer) {
        ShowMessage(title, text);
        const auto reply = std::move(answer);
        reply(def);
    }
    // Tray icon: tip text changes and removal at exit.
    virtual void SetTrayTip(std::string_view /*tip*/) {}
    virtual void RemoveTray() {}
    // The quick start wizard, run at the first start (no upstream server
    // configured). done tells whether it configured an upstream server; a
    // shell without a person writes nothing and answers false.
    virtual void RunWizard(std::function<void(bool configured)> done) {
        const auto reply = std::move(done);
        reply(false);
    }
};
