#include "service/ServiceEditor.h"

#include <cstdio>

#include "core/Text.h"
#include "settings/Profile.h"
#include "settings/Setup.h"

namespace {

constexpr std::size_t kAddMax = 254;  // what Add takes from its edit

std::string WithCode(const char* format, int code) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, code);
    return buf;
}

}  // namespace

ServicePacket::ServicePacket(const Setup& setup)
    : runAsService(setup.GetRunAsService()),
      serviceName(setup.GetServiceName().substr(0, kTextMax)) {}

ServiceEditor::ServiceEditor(Setup& setup, ServiceEnvironment env, Show show, Ask ask)
    : setup_(setup),
      env_(std::move(env)),
      show_(std::move(show)),
      ask_(std::move(ask)),
      packet_(setup) {}

ServiceEditor::~ServiceEditor() = default;

ServiceMessage ServiceEditor::DialUpQuestion() {
    return {ServiceMessage::Question, "Program Question",
            "Warning!  Quorvel requires RAS services in order to operate properly.  When running "
            "Quorvel as a system service you must take care that the NetworkManager service "
            "starts BEFORE the Quorvel service.  The easiest way to do this is to list the RAS "
            "service as a dependancy using the controls provided on the following screen.  "
            "Typically the RAS service is called NetworkManager and you should add this value to "
            "the dependancy list.  Some NT configurations may call the service by another name.  "
            "Please consult the SERVICE.FAQ for more information.\r\n\r\nWould you like to add "
            "NetworkManager to the dependancy list now?"};
}

bool ServiceEditor::NamesUnit(std::string_view dependency, std::string_view unit) {
    constexpr std::string_view kSuffix = ".service";
    if (dependency.size() > kSuffix.size() &&
        text::EqualsNoCase(dependency.substr(dependency.size() - kSuffix.size()), kSuffix))
        dependency.remove_suffix(kSuffix.size());
    return text::EqualsNoCase(dependency, unit);
}

void ServiceEditor::SetupWindow() {
    service_ = std::make_unique<QuorvelService>(packet_.serviceName, nullptr, env_);
    installed_ = service_->IsInstalled();
    packet_.dependancies.clear();
    packet_.selected = -1;
    bool hasDialUpUnit = false;
    std::string name;
    for (int n = 1; setup_.GetDependancy(name, n); ++n) {
        packet_.dependancies.push_back(name);
        hasDialUpUnit = hasDialUpUnit || NamesUnit(name, kDialUpUnit);
    }
    // A server that never dials must not pull NetworkManager in.
    const std::string profile = setup_.GetRasProfile();
    const bool dials = !profile.empty() && profile != "(None)";
    if (dials && !hasDialUpUnit && ask_ && ask_(DialUpQuestion()))
        packet_.dependancies.emplace_back(kDialUpUnit);
}

std::string ServiceEditor::InstallCaption() const {
    return installed_ ? "Remove Service" : "Install Service";
}

void ServiceEditor::CmInstallButton() {
    const bool wasInstalled = installed_;
    installed_ = !installed_;
    if (wasInstalled)
        RemoveService();
    else
        InstallService();
}

bool ServiceEditor::InstallService() {
    if (!service_) service_ = std::make_unique<QuorvelService>(packet_.serviceName, nullptr, env_);
    setup_.SetServiceName(packet_.serviceName);
    service_->SetServiceName(packet_.serviceName);
    const int startType = packet_.startDisabled ? NtService::kStartDisabled
                          : packet_.startManual ? NtService::kStartDemand
                                                : NtService::kStartAuto;
    const bool ok = service_->Install(startType);
    if (ok)
        show_({ServiceMessage::Information, "Program Information",
               std::string("Service installation successful.\r\n\r\nQuorvel is now capable of "
                           "running as a system service.  Please consult the Quorvel System "
                           "Service FAQ (SERVICE.FAQ) to learn how to start and stop Quorvel when "
                           "running it as a system service.\r\n\r\nTo complete the installation "
                           "you must set the \"") +
                   kSwitchCaption + "\"switch."});
    else
        show_({ServiceMessage::Warning, "Program Error",
               WithCode("Service installation FAILURE.\r\n\r\nQuorvel could not be installed as a "
                        "service.  The error code from the service control manager was %d\n",
                        service_->LastError())});
    return ok;
}

bool ServiceEditor::RemoveService() {
    if (!service_) service_ = std::make_unique<QuorvelService>(packet_.serviceName, nullptr, env_);
    packet_.runAsService = false;
    setup_.SetRunAsService(false);
    const bool ok = service_->Uninstall();
    if (ok)
        show_({ServiceMessage::Information, "Program Information",
               "Service removal successful.\r\n\r\nQuorvel is now configured to run as a normal "
               "application."});
    else
        show_({ServiceMessage::Warning, "Program Error",
               WithCode("Service removal FAILURE.\r\n\r\nThe Quorvel service could not be "
                        "removed.  The error code from the service control manager was %d\n",
                        service_->LastError())});
    return ok;
}

bool ServiceEditor::Write() {
    // The whole section anew, so the dependency list never has gaps.
    bool ok = profile::WriteString(setup_.IniPath(), "Service", std::nullopt, std::nullopt);
    ok = setup_.SetRunAsService(packet_.runAsService) && ok;
    ok = setup_.SetServiceName(packet_.serviceName) && ok;
    int n = 1;
    for (const std::string& d : packet_.dependancies) ok = setup_.SetDependancy(d, n++) && ok;
    return ok;
}

bool ServiceEditor::CmAddDependancy() {
    const std::string entry = packet_.newDependancy.substr(0, kAddMax);
    if (entry.empty()) return false;
    for (const std::string& d : packet_.dependancies)
        if (text::EqualsNoCase(d, entry)) return false;
    packet_.dependancies.push_back(entry);
    packet_.newDependancy.clear();
    return true;
}

void ServiceEditor::CmRemoveDependancy() {
    if (packet_.selected < 0 || packet_.selected >= static_cast<int>(packet_.dependancies.size()))
        return;
    packet_.dependancies.erase(packet_.dependancies.begin() + packet_.selected);
    packet_.selected = -1;
}
