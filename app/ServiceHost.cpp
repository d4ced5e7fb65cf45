#include "app/ServiceHost.h"

#include <iostream>
#include <memory>
#include <mutex>

#include "app/HeadlessShell.h"
#include "app/HostProcess.h"
#include "app/Server.h"
#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "service/QuorvelService.h"

namespace {

// The core on the service thread. Start builds it and runs the loop until
// the listener is open, so that READY=1 tells the truth; Run drives the
// loop to the end and takes the core down before the service reports
// stopped. Stop comes from the signal thread at any moment.
class ServiceCore : public ServiceApp {
public:
    explicit ServiceCore(const HostOptions& options) : options_(options) {}

    bool Start() override {
        shell_ = std::make_unique<HeadlessShell>(std::cerr, std::cin, false);
        ServerOptions serverOptions;
        serverOptions.home = options_.home;
        serverOptions.version = options_.version;
        serverOptions.tickMs = TickMsFromEnvironment();
        auto server = std::make_unique<Server>(*shell_, serverOptions);
        qvPaneSplit& controller = server->Controller();
        shell_->SetLogSink([&controller](std::string_view line) { controller.UpdLog(line); });
        std::string why;
        if (!server->Start(&why)) {
            std::cerr << "quorvel: " << why << "\n";
            shell_->SetLogSink(nullptr);
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            server_ = std::move(server);
            if (stopRequested_) return true;
        }
        while (!server_->Started() && !StopRequested()) server_->Loop().RunOnce(100);
        return true;
    }

    int Run() override {
        if (!server_) return 1;
        // A stop that came while Start drove the loop was handled there
        // and is asked for again, now that the loop runs to its end.
        if (StopRequested()) server_->Stop();
        server_->Run();
        std::unique_ptr<Server> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done = std::move(server_);
        }
        done.reset();  // every session closed, the log written
        shell_->SetLogSink(nullptr);
        return 0;
    }

    void Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        if (server_) server_->Stop();
    }

private:
    bool StopRequested() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopRequested_;
    }

    HostOptions options_;
    std::unique_ptr<HeadlessShell> shell_;
    std::mutex mutex_;  // server_ as seen from Stop, stopRequested_
    std::unique_ptr<Server> server_;
    bool stopRequested_ = false;
};

}  // namespace

int RunAsService(const HostOptions& options, const std::string& serviceName) {
    PrepareHostProcess();
    ServiceCore core(options);
    ServiceEnvironment env = ServiceEnvironment::FromProcess();
    // Trace lines are for the journal; started by hand, only the one line
    // below is for the person at the terminal.
    if (env.notifySocket.empty()) env.trace = [](std::string_view) {};
    QuorvelService service(serviceName, &core, std::move(env));
    if (!service.StartServiceA()) {
        const std::string& name = service.ServiceName();
        std::cerr << "quorvel: Quorvel.INI in " << options.home
                  << " selects service mode (RunAsService), so only systemd starts this program, "
                     "as the service "
                  << name << ". Start it with \"systemctl start " << name
                  << "\", or leave service mode with \"quorvel --home " << options.home
                  << " service run no\".\n";
        return 1;
    }
    return static_cast<int>(service.ExitCode());
}
