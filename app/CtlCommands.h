#pragma once
// What "quorvel ctl" can ask of a running server: every menu command and
// every page of the settings sheet. Each command does what its menu command
// or page does, through the page's own model (settings/mainSet,
// sched/schedSet, sched/RasSet, store/GroupPage, store/Subscription), with
// the same refusals and messages; a command that changes a setting then
// does what closing the sheet does, and answers with what changed.
//
// A refusal answers REFUSED (exit code 3) and writes nothing.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/ControlChannel.h"

class qvPaneSplit;

// The commands that answer at once; words[0] is the command (without
// regard to case), the rest its arguments. The commands that read the
// all-groups file or ask the dial-up machinery go through CtlCommands.
CtlReply HandleCtlCommand(qvPaneSplit& controller, const std::vector<std::string>& words);

// Every command: those of HandleCtlCommand at once, and those that take
// longer in steps on the loop. "categories", "category" and "search" read
// the all-groups file kLinesPerStep lines a pass, so readers are served
// while an upstream's list of 100,000 groups is read; "ras profiles" and
// "ras profile" ask the dial-up machinery for its phone book.
class CtlCommands {
public:
    static constexpr std::size_t kLinesPerStep = 4000;

    explicit CtlCommands(qvPaneSplit& controller);
    // Commands still under way end without an answer.
    ~CtlCommands();
    CtlCommands(const CtlCommands&) = delete;
    CtlCommands& operator=(const CtlCommands&) = delete;

    void Handle(const std::vector<std::string>& words, ControlChannel::Respond respond);
    // Commands under way.
    std::size_t Pending() const { return jobs_.size(); }

private:
    struct Job;
    void Start(std::unique_ptr<Job> job);
    void Step(int id);
    void Finish(int id, CtlReply reply);

    qvPaneSplit& controller_;
    std::map<int, std::unique_ptr<Job>> jobs_;
    int nextId_ = 1;
};

// The commands with their arguments and a line of description each, for
// "--help" and "ctl help".
const char* CtlCommandHelp();

// The words the client sends for words typed after "ctl": "ras password"
// takes the password from readPassword (which reads standard input, without
// echo on a terminal) and sends it as a word of its own, so that it never
// stands on a command line. An empty list, with the reason in *error, when
// the words cannot be sent (exit code 2).
std::vector<std::string> PrepareCtlWords(const std::vector<std::string>& words,
                                         const std::function<std::string(bool* ok)>& readPassword,
                                         std::string* error);
