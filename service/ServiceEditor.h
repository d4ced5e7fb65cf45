#pragma once
// The "NT Service" page of the settings sheet, without its window: the
// run-as-service switch, the service name, the start type and the list of
// units that must start first, with the page's install/remove button, Add,
// Remove and Apply. A front-end shows the transfer record and calls the
// commands; message boxes and the one question go through callbacks.
// Installing and removing run systemctl and wait for it.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/QuorvelService.h"

class Setup;

// What the page's controls hold, in control order.
struct ServicePacket {
    static constexpr std::size_t kTextMax = 49;  // the two edits

    ServicePacket() = default;
    // As the page starts: the switch and the name from the "Service"
    // section, start automatically, both lists empty.
    explicit ServicePacket(const Setup& setup);

    bool runAsService = false;              // "Run Quorvel as an NT System Service"
    std::string serviceName;                // "Service Name (do not use / or \ characters)"
    std::string newDependancy;              // "New Dependancy"
    bool startAuto = true;                  // "Start Service": "Automatically"
    bool startManual = false;               // "Manually"
    bool startDisabled = false;             // "Disabled"
    std::vector<std::string> dependancies;  // "Dependancies", one unit a line
    int selected = -1;                      // the selected line, -1 none
};

struct ServiceMessage {
    enum Kind { Information, Warning, Question };
    Kind kind;
    std::string title;
    std::string text;
};

class ServiceEditor {
public:
    static constexpr const char* kTitle = "NT Service";
    static constexpr const char* kSwitchCaption = "Run Quorvel as an NT System Service";
    // The unit that brings dial-up connections up, which a server that dials
    // wants started first.
    static constexpr const char* kDialUpUnit = "NetworkManager";

    using Show = std::function<void(const ServiceMessage&)>;
    using Ask = std::function<bool(const ServiceMessage&)>;

    // setup: the main settings file, in env.home.
    ServiceEditor(Setup& setup, ServiceEnvironment env, Show show, Ask ask);
    ~ServiceEditor();

    // Makes the page's service object, learns whether it is installed and
    // loads the saved dependencies. When a dial-up profile is set and
    // "NetworkManager" is not among them, asks whether to add it (saved with
    // the next Apply).
    void SetupWindow();
    // Flips the installed state whatever the outcome, then removes the
    // service when it was installed before the press, else installs it.
    void CmInstallButton();
    // Each shows its outcome; the result says whether it worked.
    bool InstallService();
    bool RemoveService();
    // Rewrites the "Service" section from the packet.
    bool Write();
    bool Apply() { return Write(); }
    // Adds the new dependency and empties its edit; false (nothing changes)
    // when it is empty or already listed, compared without regard to case.
    bool CmAddDependancy();
    void CmRemoveDependancy();

    ServicePacket& Transfer() { return packet_; }
    const ServicePacket& Transfer() const { return packet_; }
    bool Installed() const { return installed_; }
    // The install/remove button's caption; while installed the name and the
    // start type cannot be changed.
    std::string InstallCaption() const;
    bool NameAndStartTypeEnabled() const { return !installed_; }
    // The page's service object (after SetupWindow).
    const QuorvelService* Service() const { return service_.get(); }

    // The question asked when the dependencies lack the dial-up unit.
    static ServiceMessage DialUpQuestion();
    // Whether a dependency names the unit, with or without ".service".
    static bool NamesUnit(std::string_view dependency, std::string_view unit);

private:
    Setup& setup_;
    ServiceEnvironment env_;
    Show show_;
    Ask ask_;
    ServicePacket packet_;
    std::unique_ptr<QuorvelService> service_;
    bool installed_ = false;
};
