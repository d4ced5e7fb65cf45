// The quorvel program of a build with the desktop front-end: see
// app/Entry.h for its command line. With a display it runs in windows,
// otherwise headless; each host builds the same core (app/Server.h).

#include "app/Entry.h"
#include "ui/qvApp.h"

int main(int argc, char** argv) { return RunProgram(argc, argv, RunDesktop); }
