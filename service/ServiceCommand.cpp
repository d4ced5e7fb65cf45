#include "service/ServiceCommand.h"

#include <istream>
#include <ostream>

#include "core/Text.h"
#include "service/ServiceEditor.h"
#include "settings/Setup.h"

namespace {

constexpr int kDone = 0;
constexpr int kWrongCommand = 2;
constexpr int kFailed = 3;

// A message box's text as terminal lines.
std::string Lines(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r') out += text[i];
    if (out.empty() || out.back() != '\n') out += '\n';
    return out;
}

bool Is(const std::string& word, const char* what) { return text::EqualsNoCase(word, what); }

class Command {
public:
    Command(const ServiceEnvironment& env, std::istream& in, bool interactive, std::ostream& out,
            std::ostream& err)
        : setup_(env.home + "/" + kMainIniName),
          in_(in),
          interactive_(interactive),
          out_(out),
          err_(err),
          editor_(
              setup_, env, [this](const ServiceMessage& m) { Show(m); },
              [this](const ServiceMessage& m) { return Ask(m); }) {}

    int Run(const std::vector<std::string>& words);

private:
    void Show(const ServiceMessage& m) {
        (m.kind == ServiceMessage::Warning ? err_ : out_) << Lines(m.text);
    }
    bool Ask(const ServiceMessage& m) {
        if (!askDialUp_) return false;
        if (!interactive_) {
            out_ << "Note: without a terminal to ask on, " << ServiceEditor::kDialUpUnit
                 << " was not made a dependency. To start it before the service, run \"quorvel "
                    "service depends add "
                 << ServiceEditor::kDialUpUnit
                 << "\", then remove and install the service again.\n";
            return false;
        }
        out_ << m.title << ":\n" << Lines(m.text) << "[y/N] " << std::flush;
        std::string answer;
        std::getline(in_, answer);
        return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
    }
    int Save() {
        if (editor_.Write()) return kDone;
        err_ << "quorvel: cannot write " << setup_.IniPath() << "\n";
        return kFailed;
    }
    int Usage(const std::string& why) {
        err_ << "quorvel: " << why << "\nService commands:\n" << ServiceCommandHelp();
        return kWrongCommand;
    }
    int ShowAll();
    int Install(const std::vector<std::string>& words);
    int Remove();
    int Name(const std::string& name);
    int Depends(const std::string& verb, const std::string& name);
    int RunAs(const std::string& yesNo);

    Setup setup_;
    std::istream& in_;
    bool interactive_;
    std::ostream& out_;
    std::ostream& err_;
    ServiceEditor editor_;
    bool askDialUp_ = false;
};

int Command::Run(const std::vector<std::string>& words) {
    const std::string verb = words.empty() ? "show" : words[0];
    const std::size_t n = words.size();
    askDialUp_ = Is(verb, "install");
    editor_.SetupWindow();
    if (Is(verb, "show") && n <= 1) return ShowAll();
    if (Is(verb, "install") && n <= 2) return Install(words);
    if (Is(verb, "remove") && n == 1) return Remove();
    if (Is(verb, "name") && n == 2) return Name(words[1]);
    if (Is(verb, "depends") && n == 3) return Depends(words[1], words[2]);
    if (Is(verb, "run") && n == 2) return RunAs(words[1]);
    return Usage("unknown service command: " + verb);
}

int Command::ShowAll() {
    const ServicePacket& p = editor_.Transfer();
    const QuorvelService& service = *editor_.Service();
    out_ << "Run as service: " << (p.runAsService ? "yes" : "no") << "\n";
    out_ << "Service name: " << p.serviceName << "\n";
    if (editor_.Installed()) {
        const int type = service.InstalledStartType();
        const std::string state = service.UnitState();
        out_ << "Start type: "
             << (type == NtService::kStartAuto       ? "automatic"
                 : type == NtService::kStartDisabled ? "disabled"
                                                     : "manual");
        if (!state.empty()) out_ << " (systemctl is-enabled: " << state << ")";
        out_ << "\n";
    } else {
        out_ << "Start type: not installed\n";
    }
    out_ << "Dependencies:";
    if (p.dependancies.empty()) out_ << " none";
    for (const std::string& d : p.dependancies) out_ << " " << d;
    out_ << "\n";
    out_ << "Installed: " << (editor_.Installed() ? "yes (" : "no (") << service.UnitPath()
         << ")\n";
    return kDone;
}

int Command::Install(const std::vector<std::string>& words) {
    ServicePacket& p = editor_.Transfer();
    const std::string type = words.size() > 1 ? words[1] : "auto";
    p.startAuto = Is(type, "auto");
    p.startManual = Is(type, "manual");
    p.startDisabled = Is(type, "disabled");
    if (!p.startAuto && !p.startManual && !p.startDisabled)
        return Usage("the start type is auto, manual or disabled, not " + type);
    if (editor_.Installed()) {
        err_ << "quorvel: the service " << p.serviceName << " is already installed ("
             << editor_.Service()->UnitPath() << "); \"quorvel service remove\" removes it\n";
        return kFailed;
    }
    // The unit takes the saved list, so an answer to the question is saved
    // first.
    if (const int rc = Save(); rc != kDone) return rc;
    if (!editor_.InstallService()) {
        err_ << "quorvel: " << editor_.Service()->LastErrorText() << "\n";
        return kFailed;
    }
    // What the page leaves to its owner, the command line does at once:
    // systemd starts the program, which must then know it is the service.
    p.runAsService = true;
    if (const int rc = Save(); rc != kDone) return rc;
    out_ << "The \"" << ServiceEditor::kSwitchCaption
         << "\" switch is now set (\"quorvel service run no\" clears it). Start the service with: "
            "systemctl start "
         << editor_.Service()->ServiceName() << "\n";
    return kDone;
}

int Command::Remove() {
    if (editor_.RemoveService()) return kDone;
    err_ << "quorvel: " << editor_.Service()->LastErrorText() << "\n";
    return kFailed;
}

int Command::Name(const std::string& name) {
    if (editor_.Installed()) {
        err_ << "quorvel: the service is installed as " << editor_.Transfer().serviceName
             << "; remove it before renaming it\n";
        return kFailed;
    }
    if (name.size() > ServicePacket::kTextMax || !NtService::ValidServiceName(name)) {
        err_ << "quorvel: a service name is 1 to " << ServicePacket::kTextMax
             << " letters, digits and \":-_.\", not \"" << name << "\"\n";
        return kFailed;
    }
    editor_.Transfer().serviceName = name;
    if (const int rc = Save(); rc != kDone) return rc;
    out_ << "Service name: " << name << "\n";
    return kDone;
}

int Command::Depends(const std::string& verb, const std::string& name) {
    ServicePacket& p = editor_.Transfer();
    if (Is(verb, "add")) {
        if (name.size() > ServicePacket::kTextMax || !NtService::ValidDependencyName(name)) {
            err_ << "quorvel: \"" << name << "\" cannot name a systemd unit\n";
            return kFailed;
        }
        p.newDependancy = name;
        if (!editor_.CmAddDependancy()) {
            out_ << name << " is already a dependency\n";
            return kDone;
        }
    } else if (Is(verb, "remove")) {
        p.selected = -1;
        for (std::size_t i = 0; i < p.dependancies.size(); ++i)
            if (text::EqualsNoCase(p.dependancies[i], name)) p.selected = static_cast<int>(i);
        if (p.selected < 0) {
            err_ << "quorvel: " << name << " is not a dependency\n";
            return kFailed;
        }
        editor_.CmRemoveDependancy();
    } else {
        return Usage("service depends add NAME | depends remove NAME");
    }
    if (const int rc = Save(); rc != kDone) return rc;
    out_ << "Dependencies:";
    if (p.dependancies.empty()) out_ << " none";
    for (const std::string& d : p.dependancies) out_ << " " << d;
    out_ << "\n";
    if (editor_.Installed())
        out_ << "The installed unit keeps the dependencies it was installed with; remove and "
                "install the service to change them.\n";
    return kDone;
}

int Command::RunAs(const std::string& yesNo) {
    const bool yes = Is(yesNo, "yes");
    if (!yes && !Is(yesNo, "no")) return Usage("service run yes|no");
    editor_.Transfer().runAsService = yes;
    if (const int rc = Save(); rc != kDone) return rc;
    out_ << "Run as service: " << (yes ? "yes" : "no") << "\n";
    if (yes && !editor_.Installed())
        out_ << "The service is not installed; \"quorvel service install\" installs it.\n";
    return kDone;
}

}  // namespace

int RunServiceCommand(const std::vector<std::string>& words, const ServiceEnvironment& env,
                      std::istream& in, bool interactive, std::ostream& out, std::ostream& err) {
    // Trace lines are for the journal of a running service, not for the
    // owner at a terminal.
    ServiceEnvironment quiet = env;
    if (!quiet.trace) quiet.trace = [](std::string_view) {};
    return Command(quiet, in, interactive, out, err).Run(words);
}

const char* ServiceCommandHelp() {
    return "  service                    show the service settings and whether it is installed\n"
           "  service install [auto|manual|disabled]\n"
           "                             install the systemd unit: enabled at boot (auto, the\n"
           "                             default), started by hand only, or refusing every\n"
           "                             start\n"
           "  service remove             remove the unit; the program runs as an application\n"
           "  service name NAME          the service's name (while it is not installed)\n"
           "  service depends add NAME   a unit that must start before the service\n"
           "  service depends remove NAME\n"
           "  service run yes|no         whether the program runs as the service\n";
}
