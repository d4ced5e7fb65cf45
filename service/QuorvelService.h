#pragma once
// The server's own service: it reads its parameters from "Service.INI"
// beside the main settings file, saves its status there on user control
// 128, and hosts the server's core on the service thread. The core comes
// from app/ as a ServiceApp, so this folder knows nothing of it.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/NtService.h"

// The core as the service hosts it.
class ServiceApp {
public:
    virtual ~ServiceApp() = default;
    // Service thread, before readiness is reported: builds the core and
    // opens its listen socket. false: the server cannot run (the reason is
    // already on standard error).
    virtual bool Start() = 0;
    // Service thread: runs the core until it ends and takes it down
    // (sessions closed, log flushed); returns the process's exit code.
    virtual int Run() = 0;
    // Any thread, at any moment, before Start and after Run too: makes Run
    // return soon.
    virtual void Stop() = 0;
};

class QuorvelService : public NtService {
public:
    static constexpr const char* kServiceIniName = "Service.INI";
    static constexpr unsigned long kControlSaveStatus = 128;

    // app may be null for a service object that only installs and removes.
    explicit QuorvelService(std::string_view name, ServiceApp* app = nullptr,
                            ServiceEnvironment env = ServiceEnvironment::FromProcess());
    ~QuorvelService() override;

    // "Status"/"Current" = the current value. 0, or the errno when the file
    // could not be written.
    int SaveStatus();

    std::int32_t StartValue() const { return start_; }
    std::int32_t Increment() const { return inc_; }
    std::int32_t CurrentValue() const { return current_; }
    std::string ServiceIniPath() const;

protected:
    // Reads "Parameters"/"Start" and "Inc", then builds the core, so that
    // systemd hears READY=1 only once readers can connect.
    bool OnInit() override;
    void Run() override;
    // Ends the core: systemd's stop must end the process.
    void OnStop() override;
    bool OnUserControl(unsigned long code) override;

private:
    ServiceApp* app_;
    std::int32_t start_ = 0;
    std::int32_t inc_ = 1;
    // Written by the service thread in OnInit, read by the signal thread.
    std::atomic<std::int32_t> current_{0};
};
