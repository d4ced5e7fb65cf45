#pragma once
// The dial-up state shared by the controller and the dial-up dialog. All of
// it lives on the core's one thread.

#include <cstdint>

// A dial-up profile is set ("ras"/"Profile" is not "(None)"); the controller
// computes it at start and after the settings sheet.
inline bool RasInstalled = false;
// The line the program dialled itself (the machinery's handle); 0 = none.
inline std::uintptr_t RasSession = 0;
// A dial is under way.
inline bool RasInProgress = false;
// The program considers the line up (its own, or one it took over).
inline bool RasConnected = false;
// The user cancelled the dial: no further attempts.
inline bool RasCancelPressed = false;
// The program dialled the line and must hang it up when the work is done.
inline bool QuorvelConnection = false;
