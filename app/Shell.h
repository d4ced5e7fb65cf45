#pragma once
// What the controller shows and asks. The Qt front-end implements it, the
// headless front-end writes it to the log and standard output, and tests
// record it.

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
    // A message box with one OK button.
    virtual void ShowMessage(std::string_view title, std::string_view text) = 0;
    // A yes/no question; a shell without a person answers def.
    virtual bool AskYesNo(std::string_view title, std::string_view text, bool def) {
        ShowMessage(title, text);
        return def;
    }
    // Tray icon: tip text changes and removal at exit.
    virtual void SetTrayTip(std::string_view /*tip*/) {}
    virtual void RemoveTray() {}
    // The quick start wizard, run at the first start (no upstream server
    // configured). Returns whether it configured an upstream server; a shell
    // without a person writes nothing and returns false.
    virtual bool RunWizard() { return false; }
};
