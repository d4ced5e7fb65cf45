#pragma once
// Dial-up through NetworkManager: its connection profiles are the phone
// book, "nmcli connection up/down id NAME" dials and hangs up, and the
// active connections are the lines that are up. Every nmcli call runs as a
// child process that the loop watches, so readers keep being served.
//
// Progress: "Opening connection port" when nmcli has started, then either
// Connected (exit 0) or an error code: no such profile 623, NetworkManager
// not running 711, nmcli's own time-out 638, secrets or authentication
// refused 691, any other activation failure 651, anything else 635. With a
// login set, the login and the password go to nmcli in a passwd-file for
// the dial-up kinds of profile (mobile broadband, PPPoE, 802.1X, VPN): the
// file is made owner-only and removed before nmcli starts, which reads it
// through the descriptor it inherits, so the password is never on a command
// line nor left on the disk. Without a login the profile's own credentials
// (kept by NetworkManager) are used.

#include <map>
#include <string>

#include "sched/ChildProcess.h"
#include "sched/DialUp.h"

class NmDialUp : public DialUp {
public:
    // program: the nmcli to run (a path, or a name searched in PATH).
    NmDialUp(EventLoop& loop, LogFn log, std::string program = "nmcli");
    ~NmDialUp() override;

    bool Available(std::string* why) const override;
    void ListEntries(ListDone done) override;
    void ListActive(ListDone done) override;
    int Dial(const DialParams& params, Progress progress, std::uintptr_t& handle) override;
    void HangUp(std::uintptr_t handle) override;

    // nmcli calls still running (hang-ups included).
    std::size_t ActiveChildren() const { return children_.Count(); }

    // nmcli's terse output: one name a line, "\:" and "\\" unescaped.
    static std::vector<std::string> ParseNames(const std::string& output);
    // The dial-up error code for a failed "connection up".
    static int ErrorCode(int exitCode, const std::string& output);
    // The passwd-file's lines for a login and a password.
    static std::string Secrets(const std::string& login, const std::string& password);

private:
    struct Line {
        std::string entry;
        int child = 0;  // the running "connection up", 0 once it ended
        bool connected = false;
        Progress progress;
        int openTimer = 0;
    };
    void List(const std::vector<std::string>& argv, const ListDone& done);
    void Log(std::string_view text) const;

    EventLoop& loop_;
    LogFn log_;
    std::string program_;
    ChildProcesses children_;
    std::map<std::uintptr_t, Line> lines_;
    std::uintptr_t nextHandle_ = 1;
};
