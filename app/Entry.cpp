#include "app/Entry.h"

#include <termios.h>
#include <unistd.h>
#include <climits>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "app/ControlChannel.h"
#include "app/CtlCommands.h"
#include "app/ServiceHost.h"
#include "core/Version.h"
#include "service/ServiceCommand.h"
#include "settings/Profile.h"
#include "settings/Setup.h"

namespace {

void Usage(std::ostream& out, bool desktop) {
    out << "Usage: quorvel [--home DIR] [--headless]\n"
           "       quorvel [--home DIR] ctl COMMAND [ARGS]\n"
           "       quorvel [--home DIR] service [COMMAND [ARGS]]\n"
           "\n"
           "Runs the Quorvel news server, or controls the one running in DIR.\n"
           "\n"
           "Options:\n"
           "  --home DIR   the server's directory: Quorvel.INI, allowip.ini, quorvel.log\n"
           "               and the control socket quorvel.ctl live there (default: the\n"
           "               directory of the program)\n"
           "  --headless   run without windows; the activity log also goes to standard\n"
        << (desktop ? "               output (without a display it always runs so)\n"
                    : "               output (this build always runs headless)\n")
        << "  --help       show this help and exit\n"
           "  --version    show the version and exit\n"
           "\n"
           "Control commands:\n"
        << CtlCommandHelp()
        << "\n"
           "Service commands (the systemd unit; QV_UNIT_DIR and QV_SYSTEMCTL redirect them):\n"
        << ServiceCommandHelp()
        << "\n"
           "SIGTERM and SIGINT stop the server as \"quit\" does.\n";
}

std::string Cwd() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

// The directory of the running executable; empty when it cannot be told.
std::string ProgramDirectory(const char* argv0) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path =
        n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string(argv0 ? argv0 : "");
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A line of standard input without its line end; without echo when it is a
// terminal. ok false at the end of input before any line.
std::string ReadPassword(bool* ok) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        std::cerr << "Password: " << std::flush;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    *ok = static_cast<bool>(std::getline(std::cin, line)) || !line.empty();
    if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

struct CommandLine {
    std::string home;
    bool homeGiven = false;
    bool headless = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> ctl;  // the words after "ctl"
    bool isCtl = false;
    std::vector<std::string> service;  // the words after "service"
    bool isService = false;
    std::string error;
};

CommandLine Parse(int argc, char** argv) {
    CommandLine cl;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (cl.isCtl) {
            cl.ctl.push_back(a);
        } else if (cl.isService) {
            cl.service.push_back(a);
        } else if (a == "--home") {
            if (i + 1 >= argc) {
                cl.error = "option '--home' needs a directory";
                return cl;
            }
            cl.home = argv[++i];
            cl.homeGiven = true;
        } else if (a.starts_with("--home=")) {
            cl.home = a.substr(7);
            cl.homeGiven = true;
        } else if (a == "--headless") {
            cl.headless = true;
        } else if (a == "--help" || a == "-h") {
            cl.help = true;
        } else if (a == "--version" || a == "-V") {
            cl.version = true;
        } else if (a == "ctl") {
            cl.isCtl = true;
        } else if (a == "service") {
            cl.isService = true;
        } else if (!a.empty() && a[0] == '-') {
            cl.error = "unknown option '" + a + "'";
            return cl;
        } else {
            cl.error = "unexpected argument '" + a + "'";
            return cl;
        }
    }
    if (cl.homeGiven && cl.home.empty()) cl.error = "option '--home' needs a directory";
    if (cl.isCtl && cl.ctl.empty()) cl.error = "'ctl' needs a command";
    return cl;
}

}  // namespace

Launch PrepareLaunch(int argc, char** argv, const char* version, bool desktop) {
    Launch launch;
    const CommandLine cl = Parse(argc, argv);
    if (!cl.error.empty()) {
        std::cerr << "quorvel: " << cl.error << "\n";
        Usage(std::cerr, desktop);
        launch.exitCode = 2;
        return launch;
    }
    if (cl.help) {
        Usage(std::cout, desktop);
        return launch;
    }
    if (cl.version) {
        std::cout << version::AboutText();
        return launch;
    }
    // Needs no server.
    if (cl.isCtl && cl.ctl.size() == 1 && cl.ctl[0] == "help") {
        std::cout << CtlCommandHelp();
        return launch;
    }

    // Every file of the server is named relative to its home.
    if (cl.homeGiven) {
        if (::chdir(cl.home.c_str()) != 0) {
            std::cerr << "quorvel: cannot use " << cl.home << " as home: " << std::strerror(errno)
                      << "\n";
            launch.exitCode = 1;
            return launch;
        }
    } else {
        // As designed: without a usable program directory the server works
        // in the directory it was started from.
        const std::string dir = ProgramDirectory(argc > 0 ? argv[0] : nullptr);
        if (!dir.empty()) (void)::chdir(dir.c_str());
    }
    const std::string home = Cwd();

    if (cl.isCtl) {
        std::string error;
        const std::vector<std::string> words = PrepareCtlWords(cl.ctl, ReadPassword, &error);
        if (words.empty()) {
            std::cerr << "quorvel: " << error << "\n";
            launch.exitCode = 2;
            return launch;
        }
        launch.exitCode = RunCtlClient(home, words, std::cout, std::cerr);
        return launch;
    }
    if (cl.isService) {
        launch.exitCode = RunServiceCommand(cl.service, ServiceEnvironment::FromProcess(), std::cin,
                                            ::isatty(STDIN_FILENO) != 0, std::cout, std::cerr);
        return launch;
    }

    const Setup settings(kMainIniName);
    launch.options.home = home;
    launch.options.version = version;
    if (settings.GetRunAsService()) {
        launch.host = Launch::Host::Service;
        launch.serviceName = settings.GetServiceName();
        return launch;
    }
    const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    launch.host = Launch::Host::Headless;
    if (!cl.headless && display && desktop)
        launch.host = Launch::Host::Desktop;
    else if (!cl.headless && display)
        std::cerr << "quorvel: the graphical front-end is not available in this build; running "
                     "headless\n";
    launch.options.interactive = ::isatty(STDIN_FILENO) != 0;
    return launch;
}

int RunProgram(int argc, char** argv, const DesktopHost& desktop) {
    return Guarded([&] {
        const std::string ver(version::kProductVersion);
        const Launch launch = PrepareLaunch(argc, argv, ver.c_str(), static_cast<bool>(desktop));
        switch (launch.host) {
            case Launch::Host::None: return launch.exitCode;
            case Launch::Host::Headless: return RunHeadless(launch.options);
            case Launch::Host::Service: return RunAsService(launch.options, launch.serviceName);
            case Launch::Host::Desktop: return desktop(launch.options, argc, argv);
        }
        return launch.exitCode;
    });
}

int Guarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        std::cerr << "quorvel: Exception: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "quorvel: Exception: unknown exception\n";
    }
    return -1;
}
