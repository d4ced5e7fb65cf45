#pragma once
// One dial attempt, as the dial-up dialog runs it, without a window: take
// over a line that is already up for the profile, or dial it, show the
// progress and count down the time allowed; close with OK (connected) or
// Cancel (failed, timed out or cancelled). The texts go to the activity log
// and to a view, which a front-end may show as the dialog.
//
// Nothing waits by blocking: the pause after a hang-up and the pause after
// connecting are loop timers, so readers keep being served while we dial.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/Context.h"
#include "net/EventLoop.h"
#include "sched/DialUp.h"
#include "sched/DialUpState.h"

// What a front-end shows of the dialog; every call has a do-nothing default
// (the headless front-end sees the progress in the activity log).
class RasDialogView {
public:
    virtual ~RasDialogView() = default;
    // resource: 2649 the "Connection Monitor" window, 2648 the untitled one
    // used while the main window is hidden in the tray.
    virtual void DialogOpened(int /*resource*/) {}
    virtual void SetCaption(std::string_view /*caption*/) {}  // "Connecting to <profile>"
    virtual void SetStatusLine(std::string_view /*text*/) {}  // control 2614
    virtual void SetTimeLeft(std::string_view /*text*/) {}    // control 2615
    virtual void DialogClosed(int /*result*/) {}              // 1 OK, 2 Cancel
};

// The pauses of a dial. Tests shorten them.
struct DialTimings {
    int hangUpWaitMs = 3000;     // after a hang-up, before the line counts as down
    int connectedWaitMs = 2000;  // after connecting, before the dialog closes
    int redialWaitMs = 3000;     // between two attempts
    // After a dial succeeds, the controller's five-second tick leaves the
    // line alone this long: the work it was dialled for is being started.
    int startGraceMs = 1000;
};

class RasDialog : public MessageTarget {
public:
    static constexpr int kOk = 1;
    static constexpr int kCancel = 2;
    static constexpr int kWindowResource = 2649;
    static constexpr int kTrayResource = 2648;
    // The progress message (wParam: state, lParam: error code), in the range
    // of registered window messages.
    static constexpr int kRasDialEvent = 0xC000;
    // The countdown message from the timer manager.
    static constexpr int kTimedEvent = 4013;
    static constexpr int kTimedEventPeriod = 5;  // seconds

    // ras: the line's state, the dial-up controller's. closed: the dialog's
    // result; the owner must not destroy the dialog inside this call.
    // hangUp: the program's hang-up (RasSession and the flags, and the
    // pause after it). Progress texts go to ctx.host's activity log.
    RasDialog(const Context& ctx, DialUp& dialUp, RasState& ras, int resource,
              std::function<void(int)> closed, std::function<void()> hangUp,
              RasDialogView* view = nullptr, DialTimings timings = {});
    ~RasDialog() override;

    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override;

    void SetupWindow();
    void DialModem();
    void RasEvent(int state, int error);
    void TimedEvent();
    void CmCancelButton();
    void HangUp();
    void UpdPane(std::string_view text);

    bool Closed() const { return phase_ == Phase::Closed; }
    int SecondsLeft() const { return secondsLeft_; }
    // What the status line (control 2614) shows now; empty at first.
    const std::string& StatusText() const { return status_; }
    // The profile dialled.
    const std::string& Profile() const { return profile_; }

    // "Time Left: 0:55"; negative parts show as 0.
    static std::string TimeLeftText(long seconds);

private:
    enum class Phase { Created, Listing, Counting, Dialling, ConnectedWait, Closing, Closed };
    void CloseAfterHangUp(int result);
    void Close(int result);
    void OnActive(bool ok, const std::vector<std::string>& names);

    Context ctx_;
    DialUp& dialUp_;
    RasState& ras_;
    int resource_;
    std::function<void(int)> closed_;
    std::function<void()> hangUp_;
    RasDialogView* view_;
    DialTimings timings_;
    Phase phase_ = Phase::Created;
    long secondsLeft_ = 0;
    std::string profile_;
    std::string status_;
    int closeTimer_ = 0;
    bool timerSet_ = false;
    // Callbacks from the machinery check this before touching the dialog.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
