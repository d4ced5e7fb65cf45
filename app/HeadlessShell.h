#pragma once
// The front-end for running without windows: every activity-log line also
// goes to standard output, message boxes become log lines
// "[QV] <title>: <text>" and take their default answers, and the quick start
// wizard asks its questions on the terminal when there is one. The status
// and the connection tree are kept for the control channel.

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/Shell.h"

class EventLoop;
class WizardQuestions;
struct WizardValues;

class HeadlessShell : public Shell {
public:
    // out: where log lines are echoed; in/interactive: the terminal for the
    // wizard (interactive false: write the defaults, ask nothing).
    HeadlessShell(std::ostream& out, std::istream& in, bool interactive);

    // Where message boxes and wizard notes are logged (the controller's
    // UpdLog). Until it is set they go to out only.
    void SetLogSink(std::function<void(std::string_view)> sink) { sink_ = std::move(sink); }
    // The terminal's descriptor, read on the loop as answers arrive, so the
    // server goes on while the person thinks. Without one (or when the loop
    // cannot watch it) the wizard reads its answers from in at once.
    void SetTerminal(EventLoop& loop, int fd);
    ~HeadlessShell() override;

    void AddLogLine(std::string_view line) override;
    void ShowStatus(std::span<const std::string> lines) override;
    void ShowConnections(const ConnectionTree& tree) override;
    void ShowMessage(std::string_view title, std::string_view text) override;
    void RunWizard(std::function<void(bool configured)> done) override;

    const std::vector<std::string>& Status() const { return status_; }
    const ConnectionTree& Connections() const { return tree_; }

    // "[QV] <title>: <text>" with line breaks as blanks (runs of them as one).
    static std::string MessageLine(std::string_view title, std::string_view text);

private:
    void Log(std::string_view text);
    void OnTerminal();
    // Writes what was answered; true when it configured an upstream.
    bool ApplyAnswers(const WizardValues& values);

    std::ostream& out_;
    std::istream& in_;
    bool interactive_;
    std::function<void(std::string_view)> sink_;
    EventLoop* loop_ = nullptr;
    int terminal_ = -1;
    // The conversation under way on the terminal.
    std::unique_ptr<WizardQuestions> questions_;
    std::string partial_;  // an answer line not yet ended
    std::function<void(bool)> wizardDone_;
    std::vector<std::string> status_;
    ConnectionTree tree_;
};
