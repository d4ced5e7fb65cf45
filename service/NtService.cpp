#include "service/NtService.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <climits>
#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "core/File.h"
#include "settings/Setup.h"

extern char** environ;

namespace {

std::string EnvOr(const char* name, const char* def) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string(def);
}

std::string CurrentDirectory() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string(".");
}

std::string OwnProgram() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("quorvel");
}

// One word of ExecStart: quoted when it holds anything the unit parser
// would split or expand; "%" and "$" are doubled so that neither specifiers
// nor variables change it.
std::string UnitWord(std::string_view word) {
    bool quote = word.empty();
    std::string out;
    for (const char c : word) {
        if (c == '%' || c == '$') out += c;
        if (c == '\\' || c == '"') {
            out += '\\';
            quote = true;
        }
        if (c == ' ' || c == '\t' || c == '\'' || c == ';') quote = true;
        out += c;
    }
    return quote ? "\"" + out + "\"" : out;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool UnitNameChars(std::string_view name, std::string_view extra) {
    if (name.empty()) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == ':' || c == '-' || c == '_' || c == '.' ||
                        extra.find(c) != std::string_view::npos;
        if (!ok) return false;
    }
    return true;
}

std::string UnitOf(std::string_view dependency) {
    std::string unit(dependency);
    if (unit.find('.') == std::string::npos) unit += ".service";
    return unit;
}

}  // namespace

ServiceEnvironment ServiceEnvironment::FromProcess() {
    ServiceEnvironment env;
    env.home = CurrentDirectory();
    env.program = OwnProgram();
    env.unitDir = EnvOr("QV_UNIT_DIR", "/etc/systemd/system");
    env.systemctl = EnvOr("QV_SYSTEMCTL", "systemctl");
    env.notifySocket = EnvOr("NOTIFY_SOCKET", "");
    return env;
}

NtService::NtService(std::string_view name, ServiceEnvironment env)
    : env_(std::move(env)), eventSource_(env_.events) {
    SetServiceName(name);
}

NtService::~NtService() { DebugMsg("NtService::~NtService()"); }

void NtService::SetServiceName(std::string_view name) { name_ = name.substr(0, kMaxName); }

std::string NtService::UnitPath() const { return env_.unitDir + "/" + UnitName(); }

std::string NtService::MainIniPath() const { return env_.home + "/" + kMainIniName; }

bool NtService::ValidServiceName(std::string_view name) { return UnitNameChars(name, ""); }

bool NtService::ValidDependencyName(std::string_view name) { return UnitNameChars(name, "@\\"); }

// ---------------------------------------------------------------------------
// Installation

std::string NtService::UnitText(std::string_view program, std::string_view home,
                                const std::vector<std::string>& dependencies, int startType) {
    if (HasLineBreak(program) || HasLineBreak(home)) return {};
    std::string after;
    for (const std::string& d : dependencies) {
        if (HasLineBreak(d)) return {};
        after += (after.empty() ? "" : " ") + UnitOf(d);
    }
    std::string text =
        "# Written by \"quorvel service install\"; \"quorvel service remove\" deletes it.\n"
        "[Unit]\n"
        "Description=Quorvel NNTP news server\n"
        "Documentation=man:quorvel(8)\n";
    if (!after.empty()) text += "After=" + after + "\nWants=" + after + "\n";
    // systemd cannot mask a unit whose file is in /etc (mask refuses, and a
    // runtime mask in /run is shadowed by /etc): a disabled unit refuses
    // manual starts instead and, without an [Install] section, cannot be
    // enabled to start at boot.
    const bool disabled = startType == kStartDisabled;
    if (disabled) text += "RefuseManualStart=yes\n";
    text +=
        "\n[Service]\n"
        "Type=notify\n"
        "ExecStart=" +
        UnitWord(program) + " --home " + UnitWord(home) + "\n";
    if (!disabled) text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

bool NtService::IsInstalled() const {
    struct stat st {};
    return ::lstat(UnitPath().c_str(), &st) == 0;
}

bool NtService::Fail(int error, std::string text) {
    lastError_ = error != 0 ? error : 1;
    lastErrorText_ = std::move(text);
    return false;
}

int NtService::Systemctl(const std::vector<std::string>& args, std::string* output) const {
    std::vector<std::string> words{env_.systemctl};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output != nullptr) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    // The dispatcher blocks the control signals; systemctl gets them back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (output != nullptr) {
        ::close(pipeFds[1]);
        if (rc == 0) {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
                if (n > 0) output->append(buf, static_cast<std::size_t>(n));
        }
        ::close(pipeFds[0]);
    }
    if (rc != 0) return rc;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return errno;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool NtService::SystemctlStep(const std::vector<std::string>& args) {
    const int rc = Systemctl(args);
    if (rc == 0) return true;
    std::string what = env_.systemctl;
    for (const std::string& a : args) what += " " + a;
    return Fail(rc, "\"" + what + "\" failed (" + std::to_string(rc) + ")");
}

bool NtService::Install(int startType) {
    lastError_ = 0;
    lastErrorText_.clear();
    if (!ValidServiceName(name_))
        return Fail(
            EINVAL,
            "\"" + name_ + "\" cannot name a systemd unit (letters, digits and \":-_.\" only)");
    if (startType < kStartAuto || startType > kStartDisabled)
        return Fail(EINVAL, "start type " + std::to_string(startType) + " is not 2, 3 or 4");
    if (IsInstalled()) return Fail(EEXIST, UnitPath() + " already exists");

    std::vector<std::string> dependencies;
    const Setup setup(MainIniPath());
    std::string dep;
    for (int n = 1; setup.GetDependancy(dep, n); ++n) {
        if (!ValidDependencyName(dep))
            return Fail(EINVAL, "dependency \"" + dep + "\" cannot name a systemd unit");
        dependencies.push_back(dep);
    }
    const std::string text = UnitText(env_.program, env_.home, dependencies, startType);
    if (text.empty()) return Fail(EINVAL, "the program's path or its home holds a line break");

    // Written aside and renamed, so systemd never reads half a unit.
    const std::string path = UnitPath();
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            const int e = errno;
            return Fail(e, "cannot write " + temp + ": " + std::strerror(e));
        }
        out << text;
        out.flush();
        if (!out) {
            const int e = errno;
            ::unlink(temp.c_str());
            return Fail(e, "cannot write " + temp + ": " + std::strerror(e));
        }
    }
    ::chmod(temp.c_str(), 0644);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return Fail(e, "cannot write " + path + ": " + std::strerror(e));
    }

    if (!SystemctlStep({"daemon-reload"})) return false;
    if (startType == kStartAuto && !SystemctlStep({"enable", UnitName()})) return false;
    LogEvent(kEventInformation, 100, name_);
    return true;
}

bool NtService::Uninstall() {
    lastError_ = 0;
    lastErrorText_.clear();
    if (!IsInstalled()) return Fail(ENOENT, UnitPath() + " does not exist");
    const auto remove = [this] {
        if (::unlink(UnitPath().c_str()) == 0) return true;
        const int e = errno;
        return Fail(e, "cannot delete " + UnitPath() + ": " + std::strerror(e));
    };
    const bool ok =
        SystemctlStep({"disable", UnitName()}) && remove() && SystemctlStep({"daemon-reload"});
    if (ok)
        LogEvent(kEventInformation, 101, name_);
    else
        LogEvent(kEventError, 102, name_);
    return ok;
}

int NtService::InstalledStartType() const {
    if (!IsInstalled()) return 0;
    std::ifstream in(UnitPath());
    for (std::string line; std::getline(in, line);)
        if (line == "RefuseManualStart=yes") return kStartDisabled;
    return UnitState() == "enabled" ? kStartAuto : kStartDemand;
}

std::string NtService::UnitState() const {
    std::string out;
    Systemctl({"is-enabled", UnitName()}, &out);
    const std::size_t end = out.find_first_of(" \t\r\n");
    return out.substr(0, end);
}

// ---------------------------------------------------------------------------
// Running under systemd

unsigned long NtService::ControlForSignal(int signal) {
    switch (signal) {
        case SIGTERM:
        case SIGINT: return kControlStop;
        case SIGHUP: return kControlInterrogate;
        case SIGUSR1: return 128;
        case SIGUSR2: return 129;
        default: return 0;
    }
}

bool NtService::StartServiceA() {
    DebugMsg("Calling StartServiceCtrlDispatcher()");
    const bool ok = !env_.notifySocket.empty() && Dispatch();
    DebugMsg("Returned from StartServiceCtrlDispatcher()");
    return ok;
}

bool NtService::Dispatch() {
    // Blocked before the service thread exists, so that it and every thread
    // it makes inherit the mask and only the signal descriptor sees them.
    sigset_t controls, old;
    sigemptyset(&controls);
    for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&controls, s);
    if (::pthread_sigmask(SIG_BLOCK, &controls, &old) != 0) return false;
    const int signals = ::signalfd(-1, &controls, SFD_CLOEXEC);
    const int done = ::eventfd(0, EFD_CLOEXEC);
    if (signals < 0 || done < 0) {
        if (signals >= 0) ::close(signals);
        if (done >= 0) ::close(done);
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return false;
    }
    // Children (nmcli, systemctl) must not talk to systemd in our name.
    if (const char* own = std::getenv("NOTIFY_SOCKET"); own != nullptr && env_.notifySocket == own)
        ::unsetenv("NOTIFY_SOCKET");

    std::thread service([this, done] {
        ServiceMain();
        const std::uint64_t one = 1;
        (void)!::write(done, &one, sizeof one);
    });
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {done, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;  // cannot happen with valid descriptors; wait for the thread
        }
        if (fds[1].revents != 0) break;
        signalfd_siginfo info{};
        if (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            if (const unsigned long code = ControlForSignal(static_cast<int>(info.ssi_signo)))
                Handler(code);
    }
    service.join();
    ::close(signals);
    ::close(done);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

bool NtService::RegisterHandler() {
    const int error = notify_.Open(env_.notifySocket);
    if (error != 0)
        DebugMsg("NOTIFY_SOCKET \"%s\": %s", env_.notifySocket.c_str(), std::strerror(error));
    return error == 0;
}

void NtService::ServiceMain() {
    DebugMsg("Entering NtService::ServiceMain()");
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        state_ = kStartPending;
    }
    if (!RegisterHandler()) {
        LogEvent(kEventError, 103);
        return;
    }
    if (Initialize()) {
        running_ = true;
        SetExitCode(0);
        Run();
    }
    SetStatus(kStopped);
    DebugMsg("Leaving NtService::ServiceMain()");
}

bool NtService::Initialize() {
    DebugMsg("Entering NtService::Initialize()");
    SetStatus(kStartPending);
    errno = 0;
    const bool ok = OnInit();
    // A failure must not be reported as exit code 0 because errno was.
    const int error = errno;
    SetExitCode(ok ? static_cast<unsigned long>(error) : error != 0 ? error : 1);
    if (!ok) {
        LogEvent(kEventError, 104);
        SetStatus(kStopped);
        return false;
    }
    LogEvent(kEventInformation, 105);
    SetStatus(kRunning);
    DebugMsg("Leaving NtService::Initialize()");
    return true;
}

void NtService::Handler(unsigned long code) {
    DebugMsg("NtService::Handler(%lu)", code);
    switch (code) {
        case kControlStop:
            SetStatus(kStopPending);
            OnStop();
            {
                std::lock_guard<std::mutex> lock(runMutex_);
                running_ = false;
            }
            runWake_.notify_all();
            LogEvent(kEventInformation, 108);
            break;
        case kControlPause: OnPause(); break;
        case kControlContinue: OnContinue(); break;
        case kControlInterrogate: OnInterrogate(); break;
        case kControlShutdown: OnShutdown(); break;
        default:
            if (code < 128 || !OnUserControl(code)) LogEvent(kEventError, 106);
            break;
    }
    DebugMsg("Updating status (%lu, %lu)", static_cast<unsigned long>(notify_.Fd()),
             CurrentState());
    Report();
}

void NtService::SetStatus(unsigned long state) {
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        if (!(state == kRunning && state_ == kStopPending)) state_ = state;
    }
    DebugMsg("NtService::SetStatus(%lu, %lu)", static_cast<unsigned long>(notify_.Fd()), state);
    Report();
}

void NtService::Report() {
    std::string message;
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        switch (state_) {
            case kStartPending: message = "STATUS=Starting"; break;
            case kRunning: message = "READY=1\nSTATUS=Running"; break;
            case kStopPending: message = "STOPPING=1\nSTATUS=Stopping"; break;
            default:
                message = "STATUS=Stopped";
                if (exitCode_ != 0) message += " (exit code " + std::to_string(exitCode_) + ")";
                break;
        }
    }
    if (notify_.Fd() < 0) return;
    if (const int error = notify_.Send(message))
        DebugMsg("Cannot notify systemd: %s", std::strerror(error));
}

unsigned long NtService::CurrentState() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return state_;
}

unsigned long NtService::ExitCode() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return exitCode_;
}

void NtService::SetExitCode(unsigned long code) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    exitCode_ = code;
}

// ---------------------------------------------------------------------------
// Events and trace lines

void NtService::LogEvent(int type, int id, std::string_view string1, std::string_view string2,
                         std::string_view string3) {
    std::vector<std::string> strings;
    for (const std::string_view s : {string1, string2, string3})
        if (!s.empty()) strings.emplace_back(s);
    if (!eventSource_) eventSource_ = std::make_shared<SyslogSink>(name_);
    eventSource_->Report(type, id, strings);
}

void NtService::DebugMsg(const char* format, ...) {
    char line[1024];
    const int prefix = std::snprintf(line, sizeof line, "[%s](%lu): ", name_.c_str(),
                                     static_cast<unsigned long>(::gettid()));
    std::size_t len = prefix > 0 ? static_cast<std::size_t>(prefix) : 0;
    if (len < sizeof line - 1) {
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(line + len, sizeof line - 1 - len, format, args);
        va_end(args);
        if (n > 0) len += static_cast<std::size_t>(n);
    }
    len = std::min(len, sizeof line - 2);
    line[len++] = '\n';
    if (env_.trace) {
        env_.trace(std::string_view(line, len));
        return;
    }
    // One write per line, so lines from both threads never mix.
    files::WriteAll(STDERR_FILENO, std::string_view(line, len));
}

// ---------------------------------------------------------------------------
// Defaults of the overridable operations

void NtService::Run() {
    DebugMsg("Entering NtService::Run()");
    std::unique_lock<std::mutex> lock(runMutex_);
    while (running_) {
        DebugMsg("Sleeping...");
        runWake_.wait_for(lock, std::chrono::milliseconds(5000));
    }
    DebugMsg("Leaving NtService::Run()");
}

bool NtService::OnInit() {
    DebugMsg("NtService::OnInit()");
    return true;
}

void NtService::OnStop() { DebugMsg("NtService::OnStop()"); }
void NtService::OnInterrogate() { DebugMsg("NtService::OnInterrogate()"); }
void NtService::OnPause() { DebugMsg("NtService::OnPause()"); }
void NtService::OnContinue() { DebugMsg("NtService::OnContinue()"); }
void NtService::OnShutdown() { DebugMsg("NtService::OnShutdown()"); }

bool NtService::OnUserControl(unsigned long code) {
    DebugMsg("NtService::OnUserControl(%8.8lXH)", code);
    return false;
}
