#pragma once
// "quorvel [--home DIR] service ...": the "NT Service" page on the command
// line.
//
//   service                              show the switch, name, start type,
//                                        dependencies, installed or not
//   service install [auto|manual|disabled]
//   service remove
//   service name NAME
//   service depends add NAME | depends remove NAME
//   service run yes|no

#include <iosfwd>
#include <string>
#include <vector>

#include "service/NtService.h"

// words: what follows "service". interactive: in is a terminal on which the
// dial-up question may be asked. Returns the exit code: 0 done, 2 a wrong
// command, 3 failed.
int RunServiceCommand(const std::vector<std::string>& words, const ServiceEnvironment& env,
                      std::istream& in, bool interactive, std::ostream& out, std::ostream& err);

// The commands with their arguments, one per line, for the help texts.
const char* ServiceCommandHelp();
