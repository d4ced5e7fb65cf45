#include "reader/qvClient.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "core/Host.h"
#include "net/SocketAddress.h"
#include "reader/ReaderText.h"
#include "settings/Profile.h"
#include "settings/Setup.h"

namespace {

// Bytes written per event before the session yields to the others.
constexpr std::size_t kWriteBudget = 1024 * 1024;

}  // namespace

qvClient::qvClient(const Context& ctx, OverviewCache* overviews)
    : MessageTarget(ctx.loop), ctx_(ctx), overviews_(overviews), socket_(ctx.loop) {}

qvClient::~qvClient() {
    if (tick_ != 0) Loop().RemoveTick(tick_);
    socket_.SetNotificationWindow(nullptr);
}

void qvClient::SetSocket(StreamSocket&& accepted) {
    socket_ = std::move(accepted);
    if (peerAddress_.empty()) {
        const INetSocketAddress peer(socket_.GetPeerAddress());
        peerAddress_ = INetSocketAddress::ConvertAddress(peer.GetNetworkAddress());
    }
}

void qvClient::Run() { ConnectWithThis(); }

void qvClient::UpdLog(std::string_view text) {
    if (session_) {
        session_->UpdLog(text);
        return;
    }
    ctx_.host.UpdLog("[" + peerAddress_ + "] " + std::string(text));
}

bool qvClient::AllowConnection() const { return ::AllowConnection(peerAddress_, allowFile_); }

void qvClient::ConnectWithThis() {
    if (newsDir_.empty()) newsDir_ = ctx_.setup.GetNewsDirectory();
    session_ = std::make_unique<ReaderSession>(newsDir_, peerAddress_);
    session_->SetLogSink([&host = ctx_.host](std::string_view line) { host.UpdLog(line); });
    if (overviews_ != nullptr) session_->SetOverviewCache(*overviews_);
    session_->SetMessageIdHost(ctx_.setup.GetMessageIdHost());
    const std::string all =
        profile::GetString(ctx_.setup.IniPath(), "Newsfeed01", "AllGroupFile", " ", 261);
    if (all.find_first_not_of(' ') != std::string::npos) session_->SetAllGroupsFile(newsDir_ + all);
    socket_.SetNotificationWindow(this);
    if (socket_.StartRegularNotification() != 0) {
        ctx_.host.MessageBox("Error on Startup (reader " + peerAddress_ + ")", "ERROR");
        CmOk();
        return;
    }
    // A reply's last segment must not wait for the reader's delayed ACK.
    socket_.SetNoDelayOption(true);
    lastProgress_ = std::chrono::steady_clock::now();
    tick_ = Loop().AddTick([this] { CheckStall(); });
    session_->Start(AllowConnection());
    Pump();
}

bool qvClient::HandleMessage(int message, WPARAM, LPARAM) {
    switch (message) {
        case kNewRequest:  // more output to write after yielding
        case kPostRecvd:
            continuePosted_ = false;
            Pump();
            return true;
        default: return false;
    }
}

void qvClient::OnReadable() {
    if (state_ == kActive && session_) TcpReadData();
}

void qvClient::OnWritable() {
    if (state_ != kActive || !session_) return;
    writeReady_ = true;
    Pump();
}

void qvClient::OnClosed(int error) {
    if (state_ != kActive || !session_) return;
    if (error != 0) {
        CmOk();
        return;
    }
    // The reader may have closed only its sending side: what it sent
    // before is still answered.
    inputClosed_ = true;
    Pump();
}

void qvClient::TcpReadData() {
    const std::size_t room = session_->InputRoom();
    if (room == 0) {
        UpdateReadInterest();
        return;
    }
    char buf[ReaderSession::kReadBufferLimit];
    int length = static_cast<int>(std::min(room, sizeof buf));
    if (socket_.Read(buf, length) != 0) {
        CmOk();
        return;
    }
    if (length == 0) return;  // would block, or the close event follows
    ctx_.host.IncRecvd(length);
    session_->Receive(std::string_view(buf, static_cast<std::size_t>(length)));
    Pump();
}

void qvClient::Pump() {
    if (state_ != kActive || !session_) return;
    session_->Advance();
    Flush();
    if (state_ != kActive) return;
    if (session_->Pending() == 0) {
        if (session_->Ended()) {
            CmOk();
            return;
        }
        if (inputClosed_ && session_->Idle()) {
            CmOk();
            return;
        }
    }
    UpdateReadInterest();
}

void qvClient::Flush() {
    std::size_t budget = kWriteBudget;
    while (state_ == kActive && writeReady_) {
        const std::string_view out = session_->Output();
        if (out.empty()) {
            lastProgress_ = std::chrono::steady_clock::now();
            return;
        }
        const int offered = static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX));
        int length = offered;
        if (socket_.Write(out.data(), length) != 0) {
            // The reader has gone (reset, broken pipe): nothing more to do.
            CmOk();
            return;
        }
        if (length == 0) {
            writeReady_ = false;
            return;
        }
        lastProgress_ = std::chrono::steady_clock::now();
        ctx_.host.IncSent(length);
        session_->Consume(static_cast<std::size_t>(length));
        if (length < offered) {
            writeReady_ = false;
            return;
        }
        session_->Advance();
        if (budget <= static_cast<std::size_t>(length)) {
            // Let the other sessions have their turn; carry on next pass.
            if (!continuePosted_) {
                continuePosted_ = true;
                Post(kNewRequest);
            }
            return;
        }
        budget -= static_cast<std::size_t>(length);
    }
}

void qvClient::UpdateReadInterest() {
    if (state_ != kActive) return;
    const bool want = !inputClosed_ && session_->InputRoom() > 0;
    if (want == readsOn_) return;
    readsOn_ = want;
    socket_.StartCustomNotification(want ? sockev::RegularSet
                                         : (sockev::RegularSet & ~sockev::Read));
}

void qvClient::CheckStall() {
    if (state_ != kActive || !session_ || session_->Pending() == 0) return;
    if (std::chrono::steady_clock::now() - lastProgress_ < stallTimeout_) return;
    UpdLog("Reader does not take its replies; session ended.");
    CmOk();
}

void qvClient::CmOk() {
    if (state_ == kEnded) return;
    state_ = kEnded;
    if (tick_ != 0) {
        Loop().RemoveTick(tick_);
        tick_ = 0;
    }
    if (session_) session_->Abort();
    UpdLog("Client session ended.");
    socket_.CancelNotification();
    socket_.CloseSocket();
}
