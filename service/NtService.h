#pragma once
// The generic part of running as a system service, hosted by systemd.
// Install writes a unit "<name>.service" (Type=notify) and tells systemd;
// the dispatcher StartServiceA runs only when systemd started the process
// (NOTIFY_SOCKET set): ServiceMain runs on a thread of its own, the first
// thread turns signals into control requests for Handler, and the states go
// back to systemd as sd_notify lines. Events go to syslog, trace lines to
// standard error, where the journal keeps both. A derived class supplies
// the service's work by overriding Run and the On... operations.

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/EventLog.h"
#include "service/UnixDatagram.h"

// Where the service machinery acts. FromProcess takes it from the running
// program; tests point it at a scratch directory, a fake systemctl and
// sinks of their own.
struct ServiceEnvironment {
    std::string home;       // holds Quorvel.INI and Service.INI; ExecStart's --home
    std::string program;    // the program ExecStart runs
    std::string unitDir;    // QV_UNIT_DIR, default /etc/systemd/system
    std::string systemctl;  // QV_SYSTEMCTL, default "systemctl" (searched in PATH)
    // NOTIFY_SOCKET; empty when systemd did not start this process.
    std::string notifySocket;
    // Null: syslog with the service name as ident, made on the first event.
    std::shared_ptr<EventSink> events;
    // Where DebugMsg lines go; null: standard error.
    std::function<void(std::string_view line)> trace;

    // The current directory, /proc/self/exe and the environment.
    static ServiceEnvironment FromProcess();
};

class NtService {
public:
    static constexpr std::size_t kMaxName = 63;

    // States as reported, with the values of the design.
    static constexpr unsigned long kStopped = 1;
    static constexpr unsigned long kStartPending = 2;
    static constexpr unsigned long kStopPending = 3;
    static constexpr unsigned long kRunning = 4;

    // Control codes; 128 to 255 are the service's own.
    static constexpr unsigned long kControlStop = 1;
    static constexpr unsigned long kControlPause = 2;
    static constexpr unsigned long kControlContinue = 3;
    static constexpr unsigned long kControlInterrogate = 4;
    static constexpr unsigned long kControlShutdown = 5;

    // Start types: enabled at boot, installed only, refusing every start.
    static constexpr int kStartAuto = 2;
    static constexpr int kStartDemand = 3;
    static constexpr int kStartDisabled = 4;

    // The name is cut to kMaxName characters, for every use.
    explicit NtService(std::string_view name,
                       ServiceEnvironment env = ServiceEnvironment::FromProcess());
    virtual ~NtService();
    NtService(const NtService&) = delete;
    NtService& operator=(const NtService&) = delete;

    const std::string& ServiceName() const { return name_; }
    void SetServiceName(std::string_view name);
    std::string UnitName() const { return name_ + ".service"; }
    std::string UnitPath() const;

    // Whether the unit file exists in the unit directory.
    bool IsInstalled() const;
    // Writes the unit with the dependencies "Service"/"Dependancy<n>" of the
    // main settings file, reloads systemd and applies the start type. false
    // when any step failed (a unit already written stays); LastError and
    // LastErrorText tell which. Runs systemctl and waits for it.
    bool Install(int startType);
    // Disables the unit, deletes it and reloads systemd; stops at the first
    // step that fails. A running service keeps running.
    bool Uninstall();
    // After a failed Install or Uninstall: the errno of the failing step,
    // or systemctl's exit status; and what failed, in words.
    int LastError() const { return lastError_; }
    const std::string& LastErrorText() const { return lastErrorText_; }
    // What "systemctl is-enabled" says of the unit ("enabled", "disabled",
    // "static", ...); empty when it says nothing.
    std::string UnitState() const;
    // The installed unit's start type: kStartDisabled when it refuses
    // manual starts, kStartAuto when systemctl calls it enabled, else
    // kStartDemand; 0 when it is not installed.
    int InstalledStartType() const;

    // The dispatcher: false at once when systemd did not start this process
    // (no NOTIFY_SOCKET), otherwise runs ServiceMain on its own thread,
    // feeds Handler from signals on this thread until ServiceMain has
    // returned, and returns true. SIGTERM and SIGINT are stop, SIGHUP
    // interrogate, SIGUSR1 user control 128, SIGUSR2 user control 129.
    bool StartServiceA();
    static unsigned long ControlForSignal(int signal);

    void ServiceMain();
    void Handler(unsigned long code);
    bool Initialize();
    // Stores the state and reports it. Once a stop is pending the service
    // never reports running again.
    void SetStatus(unsigned long state);
    void LogEvent(int type, int id, std::string_view string1 = {}, std::string_view string2 = {},
                  std::string_view string3 = {});
    // "[name](thread id): " and the formatted text, at most 1023 characters
    // with the line feed.
    void DebugMsg(const char* format, ...) __attribute__((format(printf, 2, 3)));

    unsigned long CurrentState() const;
    unsigned long ExitCode() const;
    bool Running() const { return running_; }

    // The unit file's text: Type=notify, ExecStart with --home, After= and
    // Wants= from the dependencies in order (".service" added to a name
    // without a dot); the disabled type refuses manual starts and has no
    // [Install] section, so it cannot be enabled either. An empty
    // result: a path or name that a unit cannot hold (a line break).
    static std::string UnitText(std::string_view program, std::string_view home,
                                const std::vector<std::string>& dependencies, int startType);
    // Letters, digits and ":-_." (and "@" and "\" in a dependency): what
    // systemd accepts in a unit name.
    static bool ValidServiceName(std::string_view name);
    static bool ValidDependencyName(std::string_view name);

protected:
    virtual void Run();
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual bool OnUserControl(unsigned long code);

    void SetExitCode(unsigned long code);
    const ServiceEnvironment& Environment() const { return env_; }
    std::string MainIniPath() const;

private:
    bool Fail(int error, std::string text);
    // 0, or the errno of starting it, or its exit status (128 + signal).
    int Systemctl(const std::vector<std::string>& args, std::string* output = nullptr) const;
    bool SystemctlStep(const std::vector<std::string>& args);
    bool RegisterHandler();
    void Report();  // the status record as it is, to systemd
    bool Dispatch();

    ServiceEnvironment env_;
    std::shared_ptr<EventSink> eventSource_;
    std::string name_;
    UnixDatagramSender notify_;  // the status handle: its descriptor once registered
    mutable std::mutex statusMutex_;
    unsigned long state_ = kStopped;
    unsigned long exitCode_ = 0;
    std::atomic<bool> running_{false};
    std::mutex runMutex_;
    std::condition_variable runWake_;
    int lastError_ = 0;
    std::string lastErrorText_;
};
