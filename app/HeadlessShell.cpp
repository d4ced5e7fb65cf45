#include "app/HeadlessShell.h"

#include <istream>
#include <ostream>

#include "app/FirstRun.h"
#include "settings/Profile.h"

HeadlessShell::HeadlessShell(std::ostream& out, std::istream& in, bool interactive)
    : out_(out), in_(in), interactive_(interactive) {}

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

bool HeadlessShell::RunWizard() {
    if (!interactive_) {
        for (const std::string& line : WriteFirstRunDefaults()) Log(line);
        return false;
    }
    const WizardValues v = AskWizard(in_, out_);
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
