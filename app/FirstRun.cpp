#include "app/FirstRun.h"

#include <sys/stat.h>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <ostream>

#include "settings/Profile.h"

namespace {
constexpr const char* kIni = "Quorvel.INI";
constexpr const char* kAllowFile = "allowip.ini";

bool FileExists(const char* name) {
    struct stat st {};
    return ::stat(name, &st) == 0;
}

bool IsAbsent(std::string_view section, std::string_view key) {
    return profile::GetString(kIni, section, key, "!")[0] == '!';
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

bool WriteAllowList(const char* line) {
    std::ofstream out(kAllowFile, std::ios::binary | std::ios::trunc);
    out << line << '\n';
    return static_cast<bool>(out.flush());
}

bool IsPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const long n = std::atol(text.c_str());
    return n >= 1 && n <= 65535;
}

}  // namespace

bool WriteWizard(const WizardValues& v) {
    bool ok = profile::WriteString(kIni, "admin", "ListenPort", v.listenPort);
    ok = profile::WriteString(kIni, "admin", "NewsPath", WithSlash(v.newsDirectory)) && ok;
    ok = profile::WriteString(kIni, "admin", "PostingHost", v.hostName) && ok;
    ok = profile::WriteString(kIni, "NewsFeed01", "Name", v.hostName) && ok;
    ok = profile::WriteString(kIni, "NewsFeed01", "Port", v.port) && ok;
    ok = profile::WriteString(kIni, "NewsFeed01", "AllGroupFile", "feed01.all") && ok;
    ok = profile::WriteString(kIni, "NewsFeed01", "SubGroupFile", "feed01.sub") && ok;
    return WriteAllowList("*.*.*.*") && ok;
}

std::vector<std::string> WriteFirstRunDefaults() {
    std::vector<std::string> log;
    if (IsAbsent("admin", "NewsPath")) {
        profile::WriteString(kIni, "admin", "NewsPath", "news/");
        log.push_back("[QV] First start: news directory set to news/");
    }
    if (IsAbsent("admin", "ListenPort")) {
        profile::WriteString(kIni, "admin", "ListenPort", "119");
        log.push_back("[QV] First start: newsreaders connect on port 119");
    }
    if (IsAbsent("NewsFeed01", "AllGroupFile"))
        profile::WriteString(kIni, "NewsFeed01", "AllGroupFile", "feed01.all");
    if (IsAbsent("NewsFeed01", "SubGroupFile"))
        profile::WriteString(kIni, "NewsFeed01", "SubGroupFile", "feed01.sub");
    if (!FileExists(kAllowFile)) {
        if (WriteAllowList("127.0.0.1"))
            log.push_back("[QV] First start: allowip.ini admits newsreaders from 127.0.0.1 only");
        else
            log.push_back("[QV] First start: allowip.ini could not be written");
    }
    log.push_back(UpstreamHowToLine());
    return log;
}

WizardQuestions::WizardQuestions(std::ostream& out) : out_(out) {
    const std::string port = profile::GetString(kIni, "admin", "ListenPort", "119", 10);
    if (IsPort(port)) values_.listenPort = port;
}

void WizardQuestions::Start() {
    out_ << "Quorvel - Quick Start Wizard\n";
    Ask();
}

void WizardQuestions::Ask() {
    const char* question = "";
    std::string def;
    switch (step_) {
        case Step::Host: question = "Newsfeed host name (empty: set it later)"; break;
        case Step::Port:
            question = "Newsfeed port";
            def = values_.port;
            break;
        case Step::NewsDirectory:
            question = "News directory";
            def = values_.newsDirectory;
            break;
        case Step::ListenPort:
            question = "Accept connections on port";
            def = values_.listenPort;
            break;
        case Step::Done: return;
    }
    out_ << question;
    if (!def.empty()) out_ << " [" << def << "]";
    out_ << ": " << std::flush;
}

void WizardQuestions::Answer(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (!line.empty()) return Take(std::string(line));
    // An empty answer takes the default shown.
    switch (step_) {
        case Step::Host: return Take("");
        case Step::Port: return Take(values_.port);
        case Step::NewsDirectory: return Take(values_.newsDirectory);
        case Step::ListenPort: return Take(values_.listenPort);
        case Step::Done: return;
    }
}

void WizardQuestions::EndOfInput() {
    while (!Done()) Answer("");
}

void WizardQuestions::Take(const std::string& answer) {
    switch (step_) {
        case Step::Host:
            values_.hostName = answer;
            step_ = answer.empty() ? Step::NewsDirectory : Step::Port;
            break;
        case Step::Port:
        case Step::ListenPort:
            if (!IsPort(answer)) {
                out_ << "Please enter a port number from 1 to 65535.\n";
                break;
            }
            (step_ == Step::Port ? values_.port : values_.listenPort) = answer;
            step_ = step_ == Step::Port ? Step::NewsDirectory : Step::Done;
            break;
        case Step::NewsDirectory:
            values_.newsDirectory = WithSlash(answer);
            step_ = Step::ListenPort;
            break;
        case Step::Done: return;
    }
    Ask();
}

WizardValues AskWizard(std::istream& in, std::ostream& out) {
    WizardQuestions questions(out);
    questions.Start();
    std::string line;
    while (!questions.Done()) {
        if (std::getline(in, line))
            questions.Answer(line);
        else
            questions.EndOfInput();
    }
    return questions.Values();
}

std::string UpstreamHowToLine() {
    return "[QV] No upstream news server is configured: set Name and Port in section "
           "[NewsFeed01] and PostingHost in section [admin] of Quorvel.INI";
}
