// The quorvel program: see app/Entry.h for its command line. main picks the
// host that runs the server; each host builds the same core (app/Server.h).

#include "app/Entry.h"
#include "app/HeadlessHost.h"
#include "app/ServiceHost.h"

int main(int argc, char** argv) {
    return Guarded([&] {
        const Launch launch = PrepareLaunch(argc, argv, QV_VERSION);
        switch (launch.host) {
            case Launch::Host::None: return launch.exitCode;
            case Launch::Host::Headless: return RunHeadless(launch.options);
            case Launch::Host::Service: return RunAsService(launch.options, launch.serviceName);
        }
        return launch.exitCode;
    });
}
