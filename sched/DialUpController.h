#pragma once
// The controller's side of dial-up: make sure the line is up before feed
// work (dialling with up to "redialattempts" dial-up dialogs), hang up the
// line the program dialled when the work is done, and forget a line taken
// over from someone else at the five-second tick. Dialling never blocks the
// loop: the answer comes back through a callback.

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "core/Context.h"
#include "sched/DialUp.h"
#include "sched/DialUpState.h"
#include "sched/RasDialog.h"

class DialUpController {
public:
    // connected true: the feed work may start.
    using Done = std::function<void(bool connected)>;

    // The progress goes to ctx.host's activity log; the dialog's countdown
    // runs on ctx.timers.
    DialUpController(const Context& ctx, DialUp& dialUp, DialTimings timings = {});
    ~DialUpController();
    DialUpController(const DialUpController&) = delete;
    DialUpController& operator=(const DialUpController&) = delete;

    void SetView(RasDialogView* view) { view_ = view; }
    void SetTimings(DialTimings timings) { timings_ = timings; }
    // The line's state; the controller sets RasInstalled.
    RasState& Ras() { return ras_; }
    const RasState& Ras() const { return ras_; }
    // Whether the main window is hidden in the tray (chooses the dialog).
    void SetInTray(std::function<bool()> inTray) { inTray_ = std::move(inTray); }

    // Calls done(true) when the work may start: no profile, our own line is
    // up, a dial succeeded or a line for the profile was already up; else
    // done(false). done runs before the return when no dial is needed.
    // Returns false, and never calls done, while an earlier request is still
    // dialling: that request is dropped like any feed request made while
    // feed work runs.
    bool DoRasConnect(Done done);
    // Hangs up the program's line when it is up.
    void HangupNow();
    // Cancel of the dial-up dialog (also "ctl cancel"): ends the attempt
    // and stops redialling. false when nothing was being dialled.
    bool CmCancel();
    // The hang-up step of the five-second tick; call it while no feed work
    // runs. Hangs up the line we dialled when "DropConnect" asked for it.
    void ConnectionMaint();
    // The rest of the five-second tick: a line taken over from someone else
    // counts as down again, so the next request looks for it anew.
    void FiveSecondReset();

    bool Dialling() const { return static_cast<bool>(done_); }
    // The attempt under way or last made (1 = first), of Attempts().
    int Attempt() const { return attempt_; }
    int Attempts() const { return attempts_; }
    const RasDialog* Dialog() const { return dialog_.get(); }

private:
    void StartAttempt();
    void OnClosed(int result);
    void Finish(bool connected);
    void HangUp();

    Context ctx_;
    DialUp& dialUp_;
    DialTimings timings_;
    RasState ras_;
    RasDialogView* view_ = nullptr;
    std::function<bool()> inTray_;
    Done done_;
    int attempts_ = 0;
    int attempt_ = 0;
    std::unique_ptr<RasDialog> dialog_;
    std::unique_ptr<RasDialog> retired_;  // closed; deleted outside its own call
    int retireTimer_ = 0;
    int attemptTimer_ = 0;
    std::chrono::steady_clock::time_point settled_{};  // the last hang-up has taken effect
    std::chrono::steady_clock::time_point connectedAt_{};
};
