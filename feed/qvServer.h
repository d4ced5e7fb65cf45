#pragma once
// One feed session with the upstream news server: the socket around a
// FeedSession, which holds the protocol. This class connects, moves bytes
// between the socket and the session, arms the idle timer (4014) and ends
// the session on a close, a time-out or a failure.
//
// The controller's part:
//     auto* s = new qvServer(context);
//     s->SetupWindow();                     // logs, arms the idle timer
//     s->SetKind(kind::FetchArticles); s->SetPort(119);
//     s->SetServerAddress("10.0.0.1");      // dotted; resolve names first
//     s->SetAllGroupFile("feed01.all"); s->SetSubGroupFile("feed01.sub");
//     s->Run();
//     ...                                   // later, on the 5-second tick:
//     if (s->GetState() == 2) delete s;
// A session never deletes itself, and only reaches state 2 from its own
// end of session (CmOk), so the controller never destroys it inside one of
// its handlers. Log lines and traffic counts go to the context's host.
// Sends never wait: commands are queued and go out as the socket drains,
// and a file being sent is read chunk by chunk as it does.
//
// Run reads the upstream's login and transport security from "Newsfeed01"
// (User, Password, Security, VerifyCert, CAFile). They hold for the posting
// host only when it is the feed's own host (SetHostName). With TLS the
// handshake runs on the same loop before the greeting ("tls") or after the
// server's yes to STARTTLS ("starttls"); its failure ends the session with
// a log line that says why.

#include <string>

#include "feed/FeedSession.h"
#include "net/EventLoop.h"
#include "net/Socket.h"
#include "net/TlsSocket.h"

struct Context;

class qvServer : public MessageTarget, private SocketEvents {
public:
    enum Event {
        kSessionTimeout = 4014,  // the idle timer expired
        kContinue = 4018,        // the session has more steps queued
    };

    explicit qvServer(const Context& context);
    ~qvServer() override;

    // Logs "Attempting Server Connection" and arms the idle timer
    // ("admin"/"ServerTimeout" seconds).
    void SetupWindow();
    // Starts the work of the session's kind: connects, unless there is
    // nothing to do.
    void Run();
    // Ends the session: idle timer off, the protocol's end of session,
    // socket closed, state 2. Later calls do nothing.
    void CmOk();

    void SetKind(int kind) { session_.SetKind(kind); }
    int GetKind() const { return session_.GetKind(); }
    void SetPort(int port) { port_ = port; }
    int GetPort() const { return port_; }
    void SetServerAddress(std::string dotted) { session_.SetServerAddress(std::move(dotted)); }
    // The name the address was looked up from: the certificate must be
    // issued to it. Without one, the address is checked.
    void SetHostName(std::string name) { hostName_ = std::move(name); }
    const std::string& GetServerAddress() const { return session_.GetServerAddress(); }
    void SetAllGroupFile(std::string name) { session_.SetAllGroupFile(std::move(name)); }
    void SetSubGroupFile(std::string name) { session_.SetSubGroupFile(std::move(name)); }
    // The news directory to work in; without one, "NewsPath" as Run finds it.
    void SetNewsDirectory(std::string dir) { newsDir_ = std::move(dir); }

    // 1 active, 2 ended.
    int GetState() const { return state_; }

    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override;

private:
    void ConnectToServer();
    void OnReadable() override;
    void OnWritable() override;
    void OnConnected(int error) override;
    void OnClosed(int error) override;
    // A message box of the session's: what failed, then the socket error's text.
    void ShowSocketError(const char* title, const char* what, int error);
    void TcpReadData();
    // Writes what the session has, runs its queued steps in turn with the
    // others, and ends when it has ended: everything after an event.
    void Pump();
    void Flush();
    void ResetTimer();
    void LoadUpstreamSettings();
    void StartTls();
    void DriveHandshake();
    const std::string& TlsPeerName() const;

    const Context& context_;
    FeedSession session_;
    TlsSocket socket_;
    enum class Security { None, Tls, StartTls };
    Security security_ = Security::None;
    TlsClientOptions tls_;
    std::string hostName_;
    int port_ = 119;
    int state_ = 1;
    bool timerArmed_ = false;
    bool writeReady_ = true;
    bool continuePosted_ = false;
    std::string newsDir_;
};
