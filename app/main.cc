// The quorvel program: see app/Entry.h for its command line.

#include "app/Entry.h"

int main(int argc, char** argv) { return QuorvelMain(argc, argv, QV_VERSION); }
