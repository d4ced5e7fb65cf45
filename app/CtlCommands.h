#pragma once
// What "quorvel ctl" can ask of a running server. Each command does what
// its menu command or groups-page action does, with the same refusals and
// messages.

#include <string>
#include <vector>

#include "app/ControlChannel.h"

class qvPaneSplit;

// words[0] is the command (without regard to case), the rest its arguments.
CtlReply HandleCtlCommand(qvPaneSplit& controller, const std::vector<std::string>& words);

// The commands with their arguments, one per line, for the help texts.
const char* CtlCommandHelp();
