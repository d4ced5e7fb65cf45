#include "app/HeadlessShell.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <ostream>

#include "app/FirstRun.h"
#include "net/EventLoop.h"
#include "settings/Profile.h"

HeadlessShell::HeadlessShell(std::ostream& out, std::istream& in, bool interactive)
    : out_(out), in_(in), interactive_(interactive) {}

HeadlessShell::~HeadlessShell() {
    if (questions_ && loop_ != nullptr) loop_->Unwatch(terminal_);
}

void HeadlessShell::SetTerminal(EventLoop& loop, int fd) {
    loop_ = &loop;
    terminal_ = fd;
}

void HeadlessShell::AddLogLine(std::string_view line) {
    // Flushed once per pass of the event loop, not per line.
    out_ << line << '\n';
}

void HeadlessShell::ShowStatus(std::span<const std::string> lines) {
    status_.assign(lines.begin(), lines.end());
}

void HeadlessShell::ShowConnections(const ConnectionTree& tree) { tree_ = tree; }

std::string HeadlessShell::MessageLine(std::string_view title, std::string_view text) {
    std::string line = "[QV] ";
    line += title;
    line += ": ";
    // A run of blanks that holds a line break becomes one blank; other runs
    // of blanks stay as written.
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != ' ' && c != '\r' && c != '\n') {
            line += c;
            ++i;
            continue;
        }
        std::size_t j = i;
        bool hasBreak = false;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\r' || text[j] == '\n')) {
            hasBreak = hasBreak || text[j] != ' ';
            ++j;
        }
        line += hasBreak ? std::string(" ") : std::string(text.substr(i, j - i));
        i = j;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

void HeadlessShell::ShowMessage(std::string_view title, std::string_view text) {
    Log(MessageLine(title, text));
}

void HeadlessShell::Log(std::string_view text) {
    if (sink_)
        sink_(text);
    else
        out_ << text << '\n' << std::flush;
}

void HeadlessShell::RunWizard(std::function<void(bool configured)> done) {
    if (!interactive_) {
        for (const std::string& line : WriteFirstRunDefaults()) Log(line);
        done(false);
        return;
    }
    if (loop_ != nullptr && terminal_ >= 0 && !questions_) {
        questions_ = std::make_unique<WizardQuestions>(out_);
        if (loop_->Watch(terminal_, EPOLLIN, [this](std::uint32_t) { OnTerminal(); })) {
            wizardDone_ = std::move(done);
            questions_->Start();
            return;
        }
        questions_.reset();  // not a descriptor the loop can watch: ask at once
    }
    done(ApplyAnswers(AskWizard(in_, out_)));
}

void HeadlessShell::OnTerminal() {
    // Readable: one read takes what the terminal has without blocking.
    char buf[512];
    const ssize_t n = ::read(terminal_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        if (!partial_.empty()) questions_->Answer(partial_);
        questions_->EndOfInput();
    } else {
        partial_.append(buf, static_cast<std::size_t>(n));
        std::size_t lf;
        while (!questions_->Done() && (lf = partial_.find('\n')) != std::string::npos) {
            questions_->Answer(std::string_view(partial_).substr(0, lf));
            partial_.erase(0, lf + 1);
        }
    }
    if (!questions_->Done()) return;
    loop_->Unwatch(terminal_);
    const WizardValues values = questions_->Values();
    questions_.reset();
    partial_.clear();
    auto done = std::move(wizardDone_);
    wizardDone_ = nullptr;
    done(ApplyAnswers(values));
}

bool HeadlessShell::ApplyAnswers(const WizardValues& v) {
    if (!v.hostName.empty()) {
        if (!WriteWizard(v))
            Log("[QV] Quick start: Quorvel.INI or allowip.ini could not be written");
        return true;
    }
    // No upstream yet: keep what was answered, admit only this machine.
    profile::WriteString("Quorvel.INI", "admin", "NewsPath", v.newsDirectory);
    profile::WriteString("Quorvel.INI", "admin", "ListenPort", v.listenPort);
    for (const std::string& line : WriteFirstRunDefaults()) Log(line);
    return false;
}
