#include "sched/DialUpController.h"

#include "app/PaneHost.h"
#include "net/EventLoop.h"
#include "sched/DialUpState.h"
#include "settings/Setup.h"

namespace {
using Clock = std::chrono::steady_clock;
}

DialUpController::DialUpController(EventLoop& loop, DialUp& dialUp, LogFn log, TimeManager* timers,
                                   DialTimings timings)
    : loop_(loop), dialUp_(dialUp), log_(std::move(log)), timers_(timers), timings_(timings) {}

DialUpController::~DialUpController() {
    if (retireTimer_ != 0) loop_.Cancel(retireTimer_);
    if (attemptTimer_ != 0) loop_.Cancel(attemptTimer_);
}

void DialUpController::Log(std::string_view text) const {
    if (log_)
        log_(text);
    else if (PaneWindow != nullptr)
        PaneWindow->UpdLog(text);
}

bool DialUpController::DoRasConnect(Done done) {
    if (Dialling()) return false;
    if (!RasInstalled || RasSession != 0) {
        done(true);
        return true;
    }
    std::string why;
    if (!dialUp_.Available(&why)) {
        Log(why);
        done(false);
        return true;
    }
    attempts_ = qvSetup != nullptr ? qvSetup->GetRedialAttempts() : 0;
    attempt_ = 0;
    if (attempts_ <= 0) {
        done(false);
        return true;
    }
    done_ = std::move(done);
    StartAttempt();
    return true;
}

void DialUpController::StartAttempt() {
    attemptTimer_ = 0;
    // A line we have just hung up may still be going down: dial after it.
    const auto now = Clock::now();
    if (now < settled_) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(settled_ - now);
        attemptTimer_ = loop_.After(static_cast<int>(wait.count()) + 1, [this] { StartAttempt(); });
        return;
    }
    ++attempt_;
    const int resource =
        inTray_ && inTray_() ? RasDialog::kTrayResource : RasDialog::kWindowResource;
    dialog_ = std::make_unique<RasDialog>(
        loop_, dialUp_, resource, [this](int result) { OnClosed(result); }, [this] { HangUp(); },
        [this](std::string_view text) { Log(text); }, view_, timers_, timings_);
    dialog_->SetupWindow();
}

void DialUpController::OnClosed(int result) {
    // The dialog is still on the stack: delete it from the loop.
    retired_ = std::move(dialog_);
    if (retireTimer_ == 0)
        retireTimer_ = loop_.After(0, [this] {
            retireTimer_ = 0;
            retired_.reset();
        });

    if (result == RasDialog::kOk) {
        RasConnected = true;
        Finish(true);
    } else if (RasCancelPressed) {
        Finish(false);
    } else if (attempt_ < attempts_) {
        attemptTimer_ = loop_.After(timings_.redialWaitMs, [this] { StartAttempt(); });
    } else {
        Finish(false);
    }
}

void DialUpController::Finish(bool connected) {
    if (connected) connectedAt_ = Clock::now();
    Done done = std::move(done_);
    done_ = nullptr;
    if (done) done(connected);
}

bool DialUpController::CmCancel() {
    if (!Dialling()) return false;
    if (dialog_) {
        dialog_->CmCancelButton();
        return true;
    }
    // Between two attempts, or after the last dialog closed but before its
    // answer went out: no further attempt.
    RasCancelPressed = true;
    if (attemptTimer_ != 0) {
        loop_.Cancel(attemptTimer_);
        attemptTimer_ = 0;
        Finish(false);
    }
    return true;
}

void DialUpController::HangUp() {
    dialUp_.HangUp(RasSession);
    RasSession = 0;
    RasConnected = false;
    RasInProgress = false;
    settled_ = Clock::now() + std::chrono::milliseconds(timings_.hangUpWaitMs);
}

void DialUpController::HangupNow() {
    if (RasInstalled && RasConnected) HangUp();
}

void DialUpController::ConnectionMaint() {
    // Our own dialog hangs up what it needs to; and a line that came up a
    // moment ago is about to carry the work it was dialled for.
    if (Dialling()) return;
    if (Clock::now() < connectedAt_ + std::chrono::milliseconds(timings_.startGraceMs)) return;
    if (RasInstalled && QuorvelConnection && RasConnected) {
        Log("[QV] Terminating RAS Connection");
        HangupNow();
        QuorvelConnection = false;
    }
}

void DialUpController::FiveSecondReset() {
    if (Dialling()) return;
    if (RasInstalled && RasConnected && RasSession == 0) {
        RasConnected = false;
        RasInProgress = false;
    }
}
