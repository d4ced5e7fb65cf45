#pragma once
// A dial-up machinery that dials nothing: its phone book, its lines already
// up and the progress of each dial come from a small script, so that the
// dial-up dialog can be tried and tested without a modem or NetworkManager.
//
// Script, one instruction a line ("#" starts a comment, blank lines skipped):
//   entry NAME           a phone-book entry
//   active NAME          a line that is already up (dialled by someone else)
//   unavailable TEXT     the machinery is not installed (TEXT: the reason)
//   listfail             listing the active lines fails
//   attempt              starts the steps of the next dial; steps before the
//                        first "attempt" belong to the first dial. Dials
//                        after the last block repeat the last block.
//   state N [after T]    progress: connection state N (a number)
//   error N [after T]    progress: error code N
//   connected [after T]  progress: connected (the entry becomes active)
//   disconnected [after T]
//   fail                 the dial does not start at all
// T is "250ms", "2s" or a number of milliseconds, counted from the step
// before; a dial whose steps end without connecting just waits (time-out).

#include <map>
#include <string>
#include <vector>

#include "sched/DialUp.h"

class SimDialUp : public DialUp {
public:
    SimDialUp(EventLoop& loop, std::string_view script, LogFn log = {});
    ~SimDialUp() override;

    bool Available(std::string* why) const override;
    void ListEntries(ListDone done) override;
    void ListActive(ListDone done) override;
    int Dial(const DialParams& params, Progress progress, std::uintptr_t& handle) override;
    void HangUp(std::uintptr_t handle) override;

    // What happened, for tests and demonstrations.
    int Dials() const { return dials_; }
    int HangUps() const { return hangUps_; }
    const std::vector<std::string>& ActiveNames() const { return active_; }
    std::vector<DialParams> dialled;

private:
    struct Step {
        int state = 0;
        int error = 0;
        int delayMs = 0;
    };
    struct Attempt {
        bool fail = false;
        std::vector<Step> steps;
    };
    struct Line {
        std::string entry;
        std::vector<int> timers;
        bool connected = false;
    };
    void Parse(std::string_view script);
    void Answer(ListDone done, bool ok, std::vector<std::string> names);

    EventLoop& loop_;
    LogFn log_;
    std::vector<std::string> entries_;
    std::vector<std::string> active_;
    std::vector<Attempt> attempts_;
    bool available_ = true;
    std::string unavailableWhy_;
    bool listFail_ = false;
    int dials_ = 0;
    int hangUps_ = 0;
    std::map<std::uintptr_t, Line> lines_;
    std::uintptr_t nextHandle_ = 1;
};
