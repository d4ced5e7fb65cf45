#include "sched/RasDialog.h"

#include <cstdio>

#include "core/Host.h"
#include "core/Text.h"
#include "sched/RasTexts.h"
#include "sched/TimeManager.h"
#include "settings/Setup.h"

namespace {

using text::EqualsNoCase;

}  // namespace

RasDialog::RasDialog(const Context& ctx, DialUp& dialUp, RasState& ras, int resource,
                     std::function<void(int)> closed, std::function<void()> hangUp,
                     RasDialogView* view, DialTimings timings)
    : MessageTarget(ctx.loop),
      ctx_(ctx),
      dialUp_(dialUp),
      ras_(ras),
      resource_(resource),
      closed_(std::move(closed)),
      hangUp_(std::move(hangUp)),
      view_(view),
      timings_(timings) {
    ras_.QuorvelConnection = false;
}

RasDialog::~RasDialog() {
    *alive_ = false;
    if (timerSet_) ctx_.timers.TimerKill(this, kTimedEvent);
    if (closeTimer_ != 0) Loop().Cancel(closeTimer_);
}

bool RasDialog::HandleMessage(int message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kTimedEvent: TimedEvent(); return true;
        case kRasDialEvent:
            RasEvent(static_cast<int>(wParam), static_cast<int>(lParam));
            return true;
        default: return false;
    }
}

std::string RasDialog::TimeLeftText(long seconds) {
    const long minutes = seconds / 60 < 0 ? 0 : seconds / 60;
    const long rest = seconds % 60 < 0 ? 0 : seconds % 60;
    char text[64];
    std::snprintf(text, sizeof text, "Time Left: %ld:%02ld", minutes, rest);
    return text;
}

void RasDialog::UpdPane(std::string_view text) {
    status_ = text;
    if (view_ != nullptr) view_->SetStatusLine(text);
    if (text.empty()) return;
    ctx_.host.UpdLog(text);
}

void RasDialog::SetupWindow() {
    secondsLeft_ = ctx_.setup.GetWaitForConnect();
    profile_ = ctx_.setup.GetRasProfile();
    if (view_ != nullptr) view_->DialogOpened(resource_);
    timerSet_ = ctx_.timers.TimerSet(this, kTimedEvent, kTimedEventPeriod);
    phase_ = Phase::Counting;
    // A dial of ours is already under way: this dialog only counts down.
    if (ras_.RasSession != 0 || ras_.RasInProgress) return;

    phase_ = Phase::Listing;
    std::weak_ptr<bool> alive = alive_;
    dialUp_.ListActive([this, alive](bool ok, const std::vector<std::string>& names) {
        const auto a = alive.lock();
        if (!a || !*a) return;
        OnActive(ok, names);
    });
}

void RasDialog::OnActive(bool ok, const std::vector<std::string>& names) {
    if (phase_ != Phase::Listing) return;  // timed out or cancelled meanwhile
    if (!ok) {
        phase_ = Phase::Counting;
        return;
    }
    for (const std::string& name : names) {
        if (EqualsNoCase(name, profile_)) {
            // Someone else's line for our entry: use it, never hang it up.
            Close(kOk);
            return;
        }
    }
    ras_.QuorvelConnection = ctx_.setup.GetDropConnection();
    if (view_ != nullptr) view_->SetCaption("Connecting to " + profile_);
    DialModem();
}

void RasDialog::DialModem() {
    DialParams params;
    params.entry = profile_;
    params.login = ctx_.setup.GetRasLogin();
    params.password = ctx_.setup.GetRasPassword();
    ras_.RasSession = 0;
    ras_.RasConnected = false;
    ras_.RasInProgress = true;
    ras_.RasCancelPressed = false;
    phase_ = Phase::Dialling;

    std::weak_ptr<bool> alive = alive_;
    std::uintptr_t handle = 0;
    const int rc = dialUp_.Dial(
        params,
        [this, alive](int state, int error) {
            const auto a = alive.lock();
            if (!a || !*a) return;
            Post(kRasDialEvent, static_cast<WPARAM>(state), static_cast<LPARAM>(error));
        },
        handle);
    if (rc != 0) {
        UpdPane(rastext::kFatal);
        CmCancelButton();
        ras_.RasCancelPressed = false;  // the controller may try again
        return;
    }
    ras_.RasSession = handle;
}

void RasDialog::RasEvent(int state, int error) {
    if (phase_ != Phase::Dialling) return;  // the attempt has already ended
    if (error != 0) {
        UpdPane(rastext::Text(rastext::kError));
        UpdPane(rastext::Text(error));
        CmCancelButton();
        ras_.RasCancelPressed = false;
        return;
    }
    int text = 0;
    switch (state) {
        case rasstate::OpenPort: text = rastext::kOpenPort; break;
        case rasstate::PortOpened: text = rastext::kPortOpened; break;
        case rasstate::ConnectDevice: text = rastext::kConnectDevice; break;
        case rasstate::DeviceConnected: text = rastext::kDeviceConnected; break;
        case rasstate::Authenticate: text = rastext::kAuthenticate; break;
        case rasstate::AuthNotify: text = rastext::kAuthNotify; break;
        case rasstate::AuthRetry: text = rastext::kAuthRetry; break;
        case rasstate::AuthProject: text = rastext::kAuthProject; break;
        case rasstate::AuthLinkSpeed: text = rastext::kAuthLinkSpeed; break;
        case rasstate::Authenticated: text = rastext::kAuthenticated; break;
        case rasstate::LogonNetwork: text = rastext::kLogonNetwork; break;
        case rasstate::Connected: {
            UpdPane(rastext::Text(rastext::kConnected));
            ras_.RasConnected = true;
            ras_.RasInProgress = false;
            phase_ = Phase::ConnectedWait;
            closeTimer_ = Loop().After(timings_.connectedWaitMs, [this] {
                closeTimer_ = 0;
                Close(kOk);
            });
            return;
        }
        case rasstate::Disconnected: {
            UpdPane(rastext::Text(rastext::kDisconnected));
            dialUp_.HangUp(ras_.RasSession);  // nothing is up; lets the machinery forget the dial
            ras_.RasSession = 0;
            ras_.RasConnected = false;
            CmCancelButton();
            ras_.RasCancelPressed = false;
            return;
        }
        default: return;
    }
    UpdPane(rastext::Text(text));
}

void RasDialog::TimedEvent() {
    if (phase_ == Phase::ConnectedWait || phase_ == Phase::Closing || phase_ == Phase::Closed)
        return;
    secondsLeft_ -= kTimedEventPeriod;
    if (view_ != nullptr) view_->SetTimeLeft(TimeLeftText(secondsLeft_));
    if (secondsLeft_ > 0) return;
    HangUp();
    CloseAfterHangUp(kCancel);
    ras_.RasCancelPressed = false;  // a failed attempt; the controller may redial
}

void RasDialog::CmCancelButton() {
    if (phase_ == Phase::Closing || phase_ == Phase::Closed) {
        // Already ending: the press still means "no more attempts".
        ras_.RasCancelPressed = true;
        return;
    }
    if (closeTimer_ != 0) {
        Loop().Cancel(closeTimer_);
        closeTimer_ = 0;
    }
    HangUp();
    CloseAfterHangUp(kCancel);
    ras_.RasCancelPressed = true;
}

void RasDialog::HangUp() {
    if (hangUp_) hangUp_();
}

void RasDialog::CloseAfterHangUp(int result) {
    phase_ = Phase::Closing;
    closeTimer_ = Loop().After(timings_.hangUpWaitMs, [this, result] {
        closeTimer_ = 0;
        Close(result);
    });
}

void RasDialog::Close(int result) {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    if (timerSet_) ctx_.timers.TimerKill(this, kTimedEvent);
    timerSet_ = false;
    if (view_ != nullptr) view_->DialogClosed(result);
    if (closed_) closed_(result);
}
