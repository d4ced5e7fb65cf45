#pragma once
// One reader session: a newsreader connected over TCP. The controller
// creates it for an accepted connection and drives it like this:
//
//     auto* c = new qvClient(ctx, overviews);  // the controller's context
//     c->SetPeerAddress("192.168.1.7");   // dotted peer address
//     c->SetSocket(std::move(accepted)); // takes the connection over
//     c->Run();                          // allow list, greeting, protocol
//     ...
//     if (c->GetState() == qvClient::kEnded) delete c;  // 5-second tick
//
// The session ends itself (QUIT, refusal, peer gone, read-buffer overflow,
// a reader that stops reading its replies) by setting its state to 2 and
// closing its socket; only the controller destroys it, and only then.
//
// The NNTP logic is ReaderSession; this class moves its bytes. Sends never
// wait: replies are queued and written as the socket drains, and reads stop
// while a reply is in production and enough input is waiting.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "core/Context.h"
#include "net/EventLoop.h"
#include "net/Socket.h"
#include "reader/ReaderSession.h"

class OverviewCache;

class qvClient : public MessageTarget, private SocketEvents {
public:
    static constexpr int kActive = 1;
    static constexpr int kEnded = 2;
    // Posted to itself: more output to write after yielding to the others.
    static constexpr int kNewRequest = 4019;
    static constexpr int kPostRecvd = 4031;

    // Log lines and traffic go to ctx.host; the session reads through the
    // server's overview cache (nullptr: one of its own).
    explicit qvClient(const Context& ctx, OverviewCache* overviews = nullptr);
    ~qvClient() override;

    // The peer's dotted-decimal address, shown in every log line and tested
    // against the allow list. When it is not set, SetSocket takes it from
    // the connection.
    void SetPeerAddress(std::string_view dotted) { peerAddress_ = dotted; }
    const std::string& GetPeerAddress() const { return peerAddress_; }

    // Takes over an accepted connection.
    void SetSocket(StreamSocket&& accepted);
    // Starts the session: notifications, allow-list test, greeting.
    void Run();

    // kActive (1) while running, kEnded (2) once ended.
    int GetState() const { return state_; }

    // Settings that default to the program's own: the news directory
    // (the context's settings), the allow list "allowip.ini" in the current directory,
    // and how long a reader may leave queued replies unread before it is
    // disconnected. Set before Run.
    void SetNewsDirectory(std::string dir) { newsDir_ = std::move(dir); }
    void SetAllowFile(std::string path) { allowFile_ = std::move(path); }
    void SetStallTimeout(std::chrono::milliseconds t) { stallTimeout_ = t; }

    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override;
    // Ends the session (state 2, socket closed); safe to call twice.
    void CmOk();

    // The protocol side, for inspection.
    const ReaderSession* Session() const { return session_.get(); }

private:
    void OnReadable() override;
    void OnWritable() override;
    void OnClosed(int error) override;
    void ConnectWithThis();
    bool AllowConnection() const;
    void TcpReadData();
    // Produces, writes and re-arms reads: everything after an event.
    void Pump();
    void Flush();
    void UpdateReadInterest();
    void CheckStall();
    void UpdLog(std::string_view text);

    Context ctx_;
    OverviewCache* overviews_;
    StreamSocket socket_;
    std::unique_ptr<ReaderSession> session_;
    std::string peerAddress_;
    std::string newsDir_;
    std::string allowFile_ = "allowip.ini";
    std::chrono::milliseconds stallTimeout_ = std::chrono::seconds(120);
    std::chrono::steady_clock::time_point lastProgress_{};
    int state_ = kActive;
    bool writeReady_ = true;    // cleared by a write that would block or was short
    bool readsOn_ = true;       // read events are requested
    bool inputClosed_ = false;  // the peer has closed its side
    bool continuePosted_ = false;
    int tick_ = 0;
};
