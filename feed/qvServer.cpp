#include "feed/qvServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "core/Context.h"
#include "core/Host.h"
#include "core/Text.h"
#include "feed/FeedKind.h"
#include "net/SocketAddress.h"
#include "net/SocketError.h"
#include "sched/TimeManager.h"
#include "settings/Profile.h"
#include "settings/Setup.h"

namespace {

// Bytes taken from the socket per read notification. Reads are level-
// triggered, so whatever is left comes with the next notification.
constexpr int kReadChunk = 64 * 1024;

}  // namespace

qvServer::qvServer(const Context& context)
    : MessageTarget(context.loop),
      context_(context),
      session_(context.host),
      socket_(context.loop, INetSocketAddress(), AF_INET, SOCK_STREAM, 0) {
    session_.SetTempTag(std::to_string(TargetId()));
}

qvServer::~qvServer() {
    // The timer table holds our address; it must not outlive us.
    if (timerArmed_) context_.timers.TimerKill(this, kSessionTimeout);
    socket_.SetNotificationWindow(nullptr);
}

void qvServer::SetupWindow() {
    writeReady_ = true;
    session_.UpdLog("Attempting Server Connection");
    int timeout = static_cast<int>(context_.setup.GetServerTimeout());
    if (timeout <= 0) timeout = 60;  // 0 would end every session at the next tick
    if (!timerArmed_) timerArmed_ = context_.timers.TimerSet(this, kSessionTimeout, timeout);
}

void qvServer::Run() {
    if (state_ != 1) return;
    session_.SetNewsDirectory(newsDir_.empty() ? context_.setup.GetNewsDirectory() : newsDir_);
    LoadUpstreamSettings();
    if (session_.Start())
        ConnectToServer();
    else if (session_.Ended())
        CmOk();
}

void qvServer::CmOk() {
    if (state_ != 1) return;
    if (timerArmed_) context_.timers.TimerKill(this, kSessionTimeout);
    timerArmed_ = false;
    session_.End();
    // A last command (QUIT) goes out if the socket takes it now.
    Flush();
    socket_.SendCloseNotify();
    socket_.SetNotificationWindow(nullptr);
    socket_.CloseSocket();
    state_ = 2;
}

bool qvServer::HandleMessage(int message, WPARAM, LPARAM) {
    // Events still queued when the session ended have no effect.
    if (state_ != 1) return true;
    switch (message) {
        case kSessionTimeout:
            session_.Timeout();
            CmOk();
            return true;
        case kContinue:
            continuePosted_ = false;
            session_.Advance();
            Pump();
            return true;
        default: return false;
    }
}

void qvServer::LoadUpstreamSettings() {
    const Setup& setup = context_.setup;
    if (GetKind() == kind::PostArticles && !hostName_.empty()) {
        const std::string feedName(
            text::TrimBlanks(profile::GetString(setup.IniPath(), "Newsfeed01", "Name", "!", 255)));
        if (!text::EqualsNoCase(feedName, hostName_)) return;
    }
    session_.SetLogin(setup.GetFeedUser(), setup.GetFeedPassword());
    const std::string security = setup.GetFeedSecurity();
    security_ = security == "tls"        ? Security::Tls
                : security == "starttls" ? Security::StartTls
                                         : Security::None;
    session_.SetStartTls(security_ == Security::StartTls);
    const std::string verify = setup.GetFeedVerifyCert();
    tls_ = TlsClientOptions();
    tls_.hostName = hostName_.empty() ? GetServerAddress() : hostName_;
    tls_.caFile = setup.GetFeedCAFile();
    if (text::EqualsNoCase(verify.substr(0, 1), "N")) {
        tls_.verify = TlsClientOptions::Verify::None;
    } else if (!text::EqualsNoCase(verify.substr(0, 1), "Y")) {
        tls_.verify = TlsClientOptions::Verify::Pin;
        tls_.fingerprint = verify;
    }
}

const std::string& qvServer::TlsPeerName() const { return tls_.hostName; }

void qvServer::StartTls() {
    if (tls_.verify == TlsClientOptions::Verify::None)
        session_.UpdLog("Warning: the certificate of " + TlsPeerName() +
                        " is not checked (VerifyCert=No)");
    if (socket_.StartClient(tls_) != 0) {
        session_.UpdLog("TLS with " + TlsPeerName() + " cannot start: " + socket_.Failure());
        CmOk();
        return;
    }
    DriveHandshake();
}

void qvServer::DriveHandshake() {
    const int r = socket_.ContinueHandshake();
    if (r == 0) return;
    if (r < 0) {
        session_.UpdLog("TLS handshake with " + TlsPeerName() + " failed: " + socket_.Failure());
        CmOk();
        return;
    }
    ResetTimer();
    writeReady_ = true;  // writes offered during the handshake moved nothing
    session_.UpdLog("TLS established with " + TlsPeerName() + " (" + socket_.Description() + ")");
    if (security_ == Security::Tls)
        session_.Connected();
    else
        session_.TlsStarted();
    Pump();
}

void qvServer::ConnectToServer() {
    socket_.SetNotificationWindow(this);
    const std::string& address = session_.GetServerAddress();
    if (!INetSocketAddress::IsAddressDottedDecimal(address.c_str())) {
        session_.ShowError("DNS Error", "Could not connect to the specified host.");
        CmOk();
        return;
    }
    INetSocketAddress peer;
    peer.SetNetworkAddress(INetSocketAddress::ConvertAddress(address.c_str()));
    peer.SetPort(htons(static_cast<std::uint16_t>(port_ & 0xFFFF)));

    // Each failure below ends the session at once rather than leaving it to
    // the idle time-out: there is nothing to wait for.
    const auto fail = [this](const char* what) {
        ShowSocketError("Error", what, socket_.LastError());
        CmOk();
    };
    if (socket_.CreateSocket() != 0) return fail("Error on CreateSocket()");
    // Lock-step commands are small: neither side may sit on them waiting
    // for more data (Nagle) or for a delayed acknowledgement.
    socket_.SetNoDelayOption(true);
    socket_.SetQuickAckOption(true);
    socket_.SetNotificationWindow(this);
    if (socket_.StartRegularNotification() != 0)
        ShowSocketError("Error - StartRegularNotification()",
                        "Error on StartRegularNotification() Constructor.", socket_.LastError());
    if (socket_.BindSocket() != 0) return fail("Error on BindSocket()");
    if (socket_.Connect(peer) != 0 && socket_.LastError() != EINPROGRESS)
        return fail("Error on Connect()");
}

void qvServer::ShowSocketError(const char* title, const char* what, int error) {
    SocketError reason(WinsockError(error), 128);
    session_.ShowError(title, reason.AppendError(what));
}

void qvServer::OnReadable() {
    if (state_ != 1) return;
    if (socket_.Handshaking())
        DriveHandshake();
    else
        TcpReadData();
}

void qvServer::OnWritable() {
    if (state_ != 1) return;
    writeReady_ = true;
    if (socket_.Handshaking()) return DriveHandshake();
    Pump();
}

void qvServer::OnConnected(int error) {
    if (state_ != 1) return;
    if (error != 0) {
        ShowSocketError("Error", "Error on Connect()", error);
        CmOk();
        return;
    }
    if (security_ == Security::Tls) return StartTls();
    session_.Connected();
}

void qvServer::OnClosed(int) {
    if (state_ != 1) return;
    if (socket_.Handshaking())
        session_.UpdLog("TLS handshake with " + TlsPeerName() +
                        " failed: the server closed the connection");
    session_.PeerClosed();
    CmOk();
}

void qvServer::TcpReadData() {
    static thread_local std::vector<char> buffer(kReadChunk);
    int length = kReadChunk;
    if (socket_.Read(buffer.data(), length) != 0) {
        if (socket_.Secured()) {
            // A broken TLS stream cannot recover: say why and end.
            session_.UpdLog("TLS connection with " + TlsPeerName() +
                            " failed: " + socket_.Failure());
            CmOk();
            return;
        }
        session_.ShowError("ERROR", "Error on Read");
        return;
    }
    if (length <= 0) return;  // would block, or the close that follows
    // The upstream delays its acknowledgements unless told otherwise, and
    // the kernel forgets quick-ack mode after a while: re-arm it per read.
    socket_.SetQuickAckOption(true);
    context_.host.IncRecvd(length);
    ResetTimer();
    session_.Receive(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
    Pump();
}

void qvServer::Pump() {
    if (state_ != 1) return;
    Flush();
    if (session_.TakeStartTls()) StartTls();
    if (state_ != 1) return;
    if (session_.TakeActivity()) ResetTimer();
    if (session_.Ended()) {
        CmOk();
        return;
    }
    if (session_.HasWork() && !continuePosted_) {
        // Let the other sessions have their turn; carry on next pass.
        continuePosted_ = true;
        Post(kContinue);
    }
}

// Moves the session's output to the socket while it takes it; the rest
// waits for the next write notification.
void qvServer::Flush() {
    while (writeReady_) {
        const std::string_view out = session_.Output();
        if (out.empty()) return;
        int length = static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX));
        const int offered = length;
        if (socket_.Write(out.data(), length) != 0) {
            session_.AbandonOutput();
            return;
        }
        session_.Consume(static_cast<std::size_t>(length));
        if (length < offered) writeReady_ = false;
    }
}

void qvServer::ResetTimer() {
    if (timerArmed_) context_.timers.ResetTimer(this, kSessionTimeout);
}
