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

std::string Ask(std::istream& in, std::ostream& out, const std::string& question,
                const std::string& def) {
    out << question;
    if (!def.empty()) out << " [" << def << "]";
    out << ": " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) return def;
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    std::size_t start = answer.find_first_not_of(' ');
    answer = start == std::string::npos ? std::string() : answer.substr(start);
    return answer.empty() ? def : answer;
}

std::string AskPort(std::istream& in, std::ostream& out, const std::string& question,
                    const std::string& def) {
    for (;;) {
        std::string answer = Ask(in, out, question, def);
        if (IsPort(answer) || !in) return IsPort(answer) ? answer : def;
        out << "Please enter a port number from 1 to 65535.\n";
    }
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

WizardValues AskWizard(std::istream& in, std::ostream& out) {
    WizardValues v;
    const std::string port = profile::GetString(kIni, "admin", "ListenPort", "119", 10);
    if (IsPort(port)) v.listenPort = port;
    out << "Quorvel - Quick Start Wizard\n";
    v.hostName = Ask(in, out, "Newsfeed host name (empty: set it later)", "");
    if (!v.hostName.empty()) v.port = AskPort(in, out, "Newsfeed port", v.port);
    v.newsDirectory = WithSlash(Ask(in, out, "News directory", v.newsDirectory));
    v.listenPort = AskPort(in, out, "Accept connections on port", v.listenPort);
    return v;
}

std::string UpstreamHowToLine() {
    return "[QV] No upstream news server is configured: set Name and Port in section "
           "[NewsFeed01] and PostingHost in section [admin] of Quorvel.INI";
}
