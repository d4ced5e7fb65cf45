#pragma once
// The program's entry: command line, home directory, run mode.
//
//   quorvel [--home DIR] [--headless]        run the server
//   quorvel [--home DIR] ctl COMMAND [ARGS]  control a running server
//   quorvel [--home DIR] service [COMMAND]   install, remove, configure the service
//   quorvel --help | --version
//
// The entry settles everything that comes before a host: it answers --help,
// --version and ctl itself, makes the home the current directory and tells
// which host runs the server. main starts that host.

#include <functional>
#include <string>

#include "app/HeadlessHost.h"

struct Launch {
    enum class Host { None, Headless, Service, Desktop };
    // None: nothing more to run; exit with exitCode.
    Host host = Host::None;
    int exitCode = 0;
    HostOptions options;
    std::string serviceName;  // Service: "Service"/"ServiceName"
};

// desktop: whether this build has the windowed front-end. It runs when a
// display is present (DISPLAY or WAYLAND_DISPLAY) and --headless is absent.
Launch PrepareLaunch(int argc, char** argv, const char* version, bool desktop = false);

// The windowed host of a build that has one: runs the server in windows
// and returns the process's exit code. argc and argv are the toolkit's.
using DesktopHost = std::function<int(const HostOptions& options, int& argc, char** argv)>;

// The whole program: picks the host (desktop may be empty) and runs it,
// guarded as Guarded says.
int RunProgram(int argc, char** argv, const DesktopHost& desktop);

// Runs body; an exception that escapes it is shown as
// "quorvel: Exception: <text>" and gives the exit code -1.
int Guarded(const std::function<int()>& body);
