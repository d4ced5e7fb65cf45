#pragma once
// Runs helper programs (nmcli) as child processes without blocking the
// loop: standard output and error go to one pipe that the loop watches, and
// the child is reaped once the pipe has closed. The exit callback runs on
// the loop's thread with the exit code and everything the child printed.

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class EventLoop;

class ChildProcesses {
public:
    // exitCode: the child's exit status, 128 + signal when a signal ended
    // it, -1 when it could not be learned.
    using Done = std::function<void(int exitCode, std::string output)>;

    explicit ChildProcesses(EventLoop& loop);
    // Children still running are killed and reaped, except those started
    // with keepOnExit (a hang-up must finish even when we do not wait).
    ~ChildProcesses();
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    // Starts argv[0] (searched in PATH) with LC_ALL=C. Returns an id (> 0),
    // or 0 with errno-style error in *error when it could not be started
    // (ENOENT: no such program); done is then never called. passFd, when
    // not -1, is open in the child as descriptor kPassedFd (the caller
    // keeps and closes its own).
    int Start(const std::vector<std::string>& argv, Done done, int* error = nullptr,
              bool keepOnExit = false, int passFd = -1);
    static constexpr int kPassedFd = 3;
    // Ends a running child (SIGTERM); its done is not called.
    void Kill(int id);
    bool Running(int id) const { return children_.count(id) != 0; }
    std::size_t Count() const { return children_.size(); }

    // Whether program can be found in PATH (or is an executable path).
    static bool Findable(const std::string& program);

private:
    struct Child {
        pid_t pid = -1;
        int fd = -1;
        std::string output;
        Done done;
        bool killed = false;
        bool keepOnExit = false;
        int reapTimer = 0;
    };
    void OnReadable(int id);
    void Reap(int id);

    EventLoop& loop_;
    std::map<int, std::unique_ptr<Child>> children_;
    int nextId_ = 1;
};
