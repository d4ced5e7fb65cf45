#include "app/HostProcess.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>

void PrepareHostProcess() {
    ::signal(SIGPIPE, SIG_IGN);
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

int TickMsFromEnvironment() {
    const char* text = std::getenv("QV_TICK_MS");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < 1 || ms > 1000) {
        std::cerr << "quorvel: QV_TICK_MS must be a number of milliseconds from 1 to 1000; "
                     "ignored\n";
        return 0;
    }
    return static_cast<int>(ms);
}
