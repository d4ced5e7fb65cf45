#include "service/QuorvelService.h"

#include <cerrno>
#include <string>

#include "settings/Profile.h"

QuorvelService::QuorvelService(std::string_view name, ServiceApp* app, ServiceEnvironment env)
    : NtService(name, std::move(env)), app_(app) {}

QuorvelService::~QuorvelService() = default;

std::string QuorvelService::ServiceIniPath() const {
    return Environment().home + "/" + kServiceIniName;
}

bool QuorvelService::OnInit() {
    const std::string file = ServiceIniPath();
    // Each value only when present; the numbers are 32-bit as the registry
    // kept them.
    start_ = static_cast<std::int32_t>(profile::GetInt(file, "Parameters", "Start", start_));
    inc_ = static_cast<std::int32_t>(profile::GetInt(file, "Parameters", "Inc", inc_));
    current_ = start_;
    errno = 0;
    return app_ == nullptr || app_->Start();
}

void QuorvelService::Run() {
    if (app_ == nullptr) return NtService::Run();
    SetExitCode(static_cast<unsigned long>(app_->Run()));
}

void QuorvelService::OnStop() {
    NtService::OnStop();
    if (app_ != nullptr) app_->Stop();
}

bool QuorvelService::OnUserControl(unsigned long code) {
    if (code != kControlSaveStatus) return false;
    SaveStatus();
    return true;
}

int QuorvelService::SaveStatus() {
    if (profile::WriteString(ServiceIniPath(), "Status", "Current",
                             std::to_string(current_.load())))
        return 0;
    return errno != 0 ? errno : EIO;
}
