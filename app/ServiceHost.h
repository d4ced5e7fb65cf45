#pragma once
// The host for running as a systemd service: the service framework runs
// the same core as the headless host on its service thread, with every
// activity-log line on standard error for the journal. A stop request from
// systemd ends the core cleanly and the process exits 0.

#include <string>

#include "app/HeadlessHost.h"

// The process's exit code. Started by hand (no NOTIFY_SOCKET), says on
// standard error how to start the service or leave service mode, and
// returns 1.
int RunAsService(const HostOptions& options, const std::string& serviceName);
