#pragma once
// The program's entry: command line, home directory, run mode.
//
//   quorvel [--home DIR] [--headless]        run the server
//   quorvel [--home DIR] ctl COMMAND [ARGS]  control a running server
//   quorvel --help | --version

// Returns the process's exit code.
int QuorvelMain(int argc, char** argv, const char* version);
