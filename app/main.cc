// The quorvel program of a build without windows: see app/Entry.h for its
// command line. Each host builds the same core (app/Server.h).

#include "app/Entry.h"

int main(int argc, char** argv) { return RunProgram(argc, argv, nullptr); }
