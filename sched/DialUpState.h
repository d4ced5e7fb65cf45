#pragma once
// The dial-up state: owned by the dial-up controller, read and written by
// it and by the dial-up dialog it runs, all on the core's one thread.

#include <cstdint>

struct RasState {
    // A dial-up profile is set ("ras"/"Profile" is not "(None)"); the
    // controller computes it at start and after the settings sheet.
    bool RasInstalled = false;
    // The line the program dialled itself (the machinery's handle); 0 = none.
    std::uintptr_t RasSession = 0;
    // A dial is under way.
    bool RasInProgress = false;
    // The program considers the line up (its own, or one it took over).
    bool RasConnected = false;
    // The user cancelled the dial: no further attempts.
    bool RasCancelPressed = false;
    // The program dialled the line and must hang it up when the work is done.
    bool QuorvelConnection = false;
};
