#pragma once
// How sessions reach the controller without linking it: the controller
// implements this interface and publishes itself in PaneWindow at start.
// Sessions log through UpdLog and report traffic by posting MsgIncSent and
// MsgIncRecvd (lParam: the byte count) to it.

#include <string_view>

#include "net/EventLoop.h"

class PaneHost : public MessageTarget {
public:
    using MessageTarget::MessageTarget;
    // Appends one line to the activity log pane and "quorvel.log".
    virtual void UpdLog(std::string_view text) = 0;
};

inline PaneHost* PaneWindow = nullptr;
