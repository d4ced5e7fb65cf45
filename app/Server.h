#pragma once
// The composition root: builds the whole core for one shell (event loop,
// socket library, timer manager, settings store, controller, session
// factories, overview cache, control channel) and takes it down again in
// order. The hosts only pick a shell and drive the loop:
//
//     Server server(shell, options);           // on the thread that runs the core
//     if (!server.Start(&why)) return 1;       // another server owns the home
//     server.Run();                            // or: RunOnce from a host's own loop
//
// Everything the server builds lives on the thread that constructs it; only
// Stop may be called from another thread. The server installs no signal
// handling and touches no process-wide state (the current directory, the
// descriptor limit, SIGPIPE): that is the host's business.

#include <memory>
#include <string>

class EventLoop;
class Shell;
class qvPaneSplit;

struct ServerOptions {
    // The program's home as the start line shows it.
    std::string home;
    std::string version;
    // Where "Quorvel.INI", "allowip.ini", "quorvel.log" and the control
    // socket "quorvel.ctl" are; empty: the current directory.
    std::string directory;
    // 1 to 1000: one second of the timers lasts this many milliseconds
    // (tests watch scheduled runs without waiting minutes); 0: real seconds.
    int tickMs = 0;
    // Whether "quorvel ctl" can reach this server.
    bool controlChannel = true;
};

class Server {
public:
    Server(Shell& shell, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the control channel, logs the start line and begins the start
    // sequence (the listener opens during the first passes of the loop).
    // false, with the reason in *why, when another server answers in the
    // same home: this one must not run.
    bool Start(std::string* why = nullptr);
    // Runs the loop until File > Exit or Stop, then logs the stop line.
    void Run();
    // For a host that drives the loop from its own: logs the stop line once
    // the loop has stopped.
    void Stopped();
    // Thread-safe: asks the loop's thread to exit as File > Exit does. A
    // request made before Run takes effect as soon as Run begins.
    void Stop();

    // The start sequence has run up to opening the listener.
    bool Started() const;

    EventLoop& Loop();
    qvPaneSplit& Controller();

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};
