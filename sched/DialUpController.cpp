#include "sched/DialUpController.h"

#include "core/Host.h"
#include "net/EventLoop.h"
#include "settings/Setup.h"

namespace {
using Clock = std::chrono::steady_clock;
}

DialUpController::DialUpController(const Context& ctx, DialUp& dialUp, DialTimings timings)
    : ctx_(ctx), dialUp_(dialUp), timings_(timings) {}

DialUpController::~DialUpController() {
    if (retireTimer_ != 0) ctx_.loop.Cancel(retireTimer_);
    if (attemptTimer_ != 0) ctx_.loop.Cancel(attemptTimer_);
}

bool DialUpController::DoRasConnect(Done done) {
    if (Dialling()) return false;
    if (!ras_.RasInstalled || ras_.RasSession != 0) {
        done(true);
        return true;
    }
    std::string why;
    if (!dialUp_.Available(&why)) {
        ctx_.host.UpdLog(why);
        done(false);
        return true;
    }
    attempts_ = ctx_.setup.GetRedialAttempts();
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
        attemptTimer_ =
            ctx_.loop.After(static_cast<int>(wait.count()) + 1, [this] { StartAttempt(); });
        return;
    }
    ++attempt_;
    const int resource =
        inTray_ && inTray_() ? RasDialog::kTrayResource : RasDialog::kWindowResource;
    dialog_ = std::make_unique<RasDialog>(
        ctx_, dialUp_, ras_, resource, [this](int result) { OnClosed(result); },
        [this] { HangUp(); }, view_, timings_);
    dialog_->SetupWindow();
}

void DialUpController::OnClosed(int result) {
    // The dialog is still on the stack: delete it from the loop.
    retired_ = std::move(dialog_);
    if (retireTimer_ == 0)
        retireTimer_ = ctx_.loop.After(0, [this] {
            retireTimer_ = 0;
            retired_.reset();
        });

    if (result == RasDialog::kOk) {
        ras_.RasConnected = true;
        Finish(true);
    } else if (ras_.RasCancelPressed) {
        Finish(false);
    } else if (attempt_ < attempts_) {
        attemptTimer_ = ctx_.loop.After(timings_.redialWaitMs, [this] { StartAttempt(); });
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
    ras_.RasCancelPressed = true;
    if (attemptTimer_ != 0) {
        ctx_.loop.Cancel(attemptTimer_);
        attemptTimer_ = 0;
        Finish(false);
    }
    return true;
}

void DialUpController::HangUp() {
    dialUp_.HangUp(ras_.RasSession);
    ras_.RasSession = 0;
    ras_.RasConnected = false;
    ras_.RasInProgress = false;
    settled_ = Clock::now() + std::chrono::milliseconds(timings_.hangUpWaitMs);
}

void DialUpController::HangupNow() {
    if (ras_.RasInstalled && ras_.RasConnected) HangUp();
}

void DialUpController::ConnectionMaint() {
    // Our own dialog hangs up what it needs to; and a line that came up a
    // moment ago is about to carry the work it was dialled for.
    if (Dialling()) return;
    if (Clock::now() < connectedAt_ + std::chrono::milliseconds(timings_.startGraceMs)) return;
    if (ras_.RasInstalled && ras_.QuorvelConnection && ras_.RasConnected) {
        ctx_.host.UpdLog("[QV] Terminating RAS Connection");
        HangupNow();
        ras_.QuorvelConnection = false;
    }
}

void DialUpController::FiveSecondReset() {
    if (Dialling()) return;
    if (ras_.RasInstalled && ras_.RasConnected && ras_.RasSession == 0) {
        ras_.RasConnected = false;
        ras_.RasInProgress = false;
    }
}
