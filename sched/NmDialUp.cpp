#include "sched/NmDialUp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/File.h"
#include "core/Text.h"
#include "net/EventLoop.h"

namespace {

std::string FirstLine(const std::string& output) {
    std::string line = output.substr(0, output.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool ContainsNoCase(const std::string& text, std::string_view part) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (part.size() > text.size()) return false;
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
        std::size_t j = 0;
        while (j < part.size() && lower(text[i + j]) == lower(part[j])) ++j;
        if (j == part.size()) return true;
    }
    return false;
}

// An owner-only file holding text, already removed: only the descriptor
// reaches it. Invalid when it could not be made (errno set).
FileDescriptor UnlinkedFile(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quorvel-secrets-XXXXXX";
    // mkstemp makes it with mode 0600.
    FileDescriptor fd(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd.Valid()) return fd;
    ::unlink(path.c_str());
    if (::fchmod(fd.Get(), 0600) != 0 || !files::WriteAll(fd.Get(), text)) {
        const int e = errno;
        fd.Close();
        errno = e;
    }
    return fd;
}

}  // namespace

std::string NmDialUp::Secrets(const std::string& login, const std::string& password) {
    // nmcli hands each to NetworkManager only when the profile asks for it.
    std::string text;
    for (const char* setting : {"gsm", "cdma", "pppoe"}) {
        text += std::string(setting) + ".username:" + login + "\n";
        text += std::string(setting) + ".password:" + password + "\n";
    }
    text += "802-1x.identity:" + login + "\n";
    text += "802-1x.password:" + password + "\n";
    text += "vpn.secrets.password:" + password + "\n";
    return text;
}

NmDialUp::NmDialUp(EventLoop& loop, LogFn log, std::string program)
    : loop_(loop), log_(std::move(log)), program_(std::move(program)), children_(loop) {}

NmDialUp::~NmDialUp() {
    for (auto& [handle, line] : lines_)
        if (line.openTimer != 0) loop_.Cancel(line.openTimer);
}

void NmDialUp::Log(std::string_view text) const {
    if (log_) log_(text);
}

bool NmDialUp::Available(std::string* why) const {
    if (ChildProcesses::Findable(program_)) return true;
    if (why != nullptr)
        *why =
            "[RAS] " + program_ +
            " was not found: dial-up needs NetworkManager (or set the dial-up profile to (None))";
    return false;
}

std::vector<std::string> NmDialUp::ParseNames(const std::string& output) {
    std::vector<std::string> names;
    std::string name;
    bool escaped = false;
    for (char c : output) {
        if (escaped) {
            name += c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '\n') {
            if (!name.empty() && name.back() == '\r') name.pop_back();
            if (!name.empty()) names.push_back(name);
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty()) names.push_back(name);
    return names;
}

int NmDialUp::ErrorCode(int exitCode, const std::string& output) {
    switch (exitCode) {
        case 10: return 623;  // no such connection profile
        case 8: return 711;   // NetworkManager is not running
        case 3: return 638;   // nmcli gave up waiting
        case 4:
            if (ContainsNoCase(output, "secrets") || ContainsNoCase(output, "authenticat") ||
                ContainsNoCase(output, "password"))
                return 691;
            return 651;
        default: return 635;
    }
}

void NmDialUp::List(const std::vector<std::string>& argv, const ListDone& done) {
    int error = 0;
    LogFn log = log_;
    const int id = children_.Start(
        argv,
        [done, log](int code, const std::string& output) {
            if (code != 0) {
                if (log) log("[RAS] nmcli: " + FirstLine(output));
                done(false, {});
                return;
            }
            done(true, ParseNames(output));
        },
        &error);
    if (id == 0) {
        // Never answer inside the call: the caller may not be ready for it.
        const std::string why =
            std::string("[RAS] ") + program_ + " could not be started: " + std::strerror(error);
        loop_.After(0, [done, log, why] {
            if (log) log(why);
            done(false, {});
        });
    }
}

void NmDialUp::ListEntries(ListDone done) {
    List({program_, "-t", "-f", "NAME", "connection", "show"}, done);
}

void NmDialUp::ListActive(ListDone done) {
    List({program_, "-t", "-f", "NAME", "connection", "show", "--active"}, done);
}

int NmDialUp::Dial(const DialParams& params, Progress progress, std::uintptr_t& handle) {
    const std::uintptr_t h = nextHandle_++;
    int error = 0;
    std::vector<std::string> argv{program_, "connection", "up", "id", params.entry};
    FileDescriptor secrets;
    if (!text::TrimBlanks(params.login).empty()) {
        secrets = UnlinkedFile(Secrets(params.login, params.password));
        if (!secrets.Valid()) {
            Log(std::string("[RAS] The login could not be passed to nmcli: ") +
                std::strerror(errno));
            return 635;
        }
        argv.push_back("passwd-file");
        argv.push_back("/dev/fd/" + std::to_string(ChildProcesses::kPassedFd));
    }
    const int child = children_.Start(
        argv,
        [this, h](int code, const std::string& output) {
            auto it = lines_.find(h);
            if (it == lines_.end()) return;
            Line& line = it->second;
            line.child = 0;
            if (line.openTimer != 0) {
                loop_.Cancel(line.openTimer);
                line.openTimer = 0;
            }
            Progress report = line.progress;  // the handler may hang up, erasing the line
            // With SIGCHLD ignored the exit status is lost; nmcli's words remain.
            if (code == -1 && ContainsNoCase(output, "successfully activated")) code = 0;
            if (code == 0) {
                line.connected = true;
                report(rasstate::Connected, 0);
                return;
            }
            Log("[RAS] nmcli: " + FirstLine(output));
            report(rasstate::OpenPort, ErrorCode(code, output));
        },
        &error, /*keepOnExit=*/false, secrets.Get());
    if (child == 0) {
        Log(std::string("[RAS] ") + program_ + " could not be started: " + std::strerror(error));
        return 711;
    }
    Line& line = lines_[h];
    line.entry = params.entry;
    line.child = child;
    line.progress = std::move(progress);
    line.openTimer = loop_.After(0, [this, h] {
        auto it = lines_.find(h);
        if (it == lines_.end()) return;
        it->second.openTimer = 0;
        Progress report = it->second.progress;
        report(rasstate::OpenPort, 0);
    });
    handle = h;
    return 0;
}

void NmDialUp::HangUp(std::uintptr_t handle) {
    auto it = lines_.find(handle);
    if (it == lines_.end()) return;
    Line line = std::move(it->second);
    lines_.erase(it);
    if (line.openTimer != 0) loop_.Cancel(line.openTimer);
    const bool activating = line.child != 0;
    if (activating) children_.Kill(line.child);
    if (!activating && !line.connected) return;  // the dial failed: nothing is up
    // An activation we stopped may already have brought the line up, so it
    // is taken down as well; only a failure to end a line we had is news.
    const bool report = line.connected;
    const std::string entry = line.entry;
    int error = 0;
    const int id = children_.Start(
        {program_, "connection", "down", "id", entry},
        [this, report, entry](int code, const std::string& output) {
            if (code != 0 && report)
                Log("[RAS] Hang-up of " + entry + " failed: " + FirstLine(output));
        },
        &error, /*keepOnExit=*/true);
    if (id == 0 && report)
        Log("[RAS] Hang-up of " + entry + " failed: " + program_ +
            " could not be started: " + std::strerror(error));
}
