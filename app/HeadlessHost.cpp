#include "app/HeadlessHost.h"

#include <iostream>

#include "app/HeadlessShell.h"
#include "app/HostProcess.h"
#include "app/Server.h"
#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"

int RunHeadless(const HostOptions& options) {
    PrepareHostProcess();
    ExitSignals signals;
    ReloadSignal reload;

    HeadlessShell shell(std::cout, std::cin, options.interactive);
    ServerOptions serverOptions;
    serverOptions.home = options.home;
    serverOptions.version = options.version;
    serverOptions.tickMs = TickMsFromEnvironment();
    int code = 0;
    {
        Server server(shell, serverOptions);
        EventLoop& loop = server.Loop();
        qvPaneSplit& controller = server.Controller();
        shell.SetLogSink([&controller](std::string_view line) { controller.UpdLog(line); });
        // The first-start questions are read as the answers arrive.
        if (options.interactive) shell.SetTerminal(loop, STDIN_FILENO);
        // Log lines reach standard output once per batch of events.
        const int flushId = loop.AddPassEnd([] { std::cout.flush(); });
        std::string why;
        if (!server.Start(&why)) {
            std::cerr << "quorvel: " << why << "\n";
            code = 1;
        } else {
            signals.Watch(loop, controller);
            reload.Watch(loop, controller);
            server.Run();
            reload.Unwatch(loop);
            signals.Unwatch(loop);
        }
        shell.SetLogSink(nullptr);
        loop.RemovePassEnd(flushId);
    }
    std::cout.flush();
    return code;
}
