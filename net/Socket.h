#pragma once
// Sockets with event notification. Every socket is non-blocking and owns
// its descriptor; a socket moves, it is never copied. Its descriptor is
// watched by the event loop it was given (an accepted socket takes its
// listener's) for the events it asked for. Each event either goes to the
// socket's owner as a typed call (SocketEvents), when an owner is set and
// the notification set contains the event, or else to the socket's own
// Do...Notification handler.
//
// When events come: read while data waits (level-triggered: again on every
// turn of the loop until it is read, or until the set no longer has read);
// close once after the last data has been reported, for an orderly
// shutdown (error 0) or a reset (ECONNRESET); write once when the socket
// takes data again after a Write would block or was short, and once after a
// connect event without error; connect once when a Connect under way ends
// (error from the system, e.g. ECONNREFUSED); accept while connections
// wait; out-of-band once until ReadOOB or a new request. A socket whose set
// lacks read hears nothing of the peer's close until reads are asked for.
//
// Return convention: 0 success, -1 failure with the errno value in
// LastError(); events carry errno values too. "Would block" on Read and
// Write is success with nothing moved (LastError() EWOULDBLOCK). Only the
// code that shows an error turns it into the Winsock numbering of its text
// (WinsockError and SocketError, net/SocketError.h).
//
// A TLS stream slots in as a StreamSocket whose Read and Write move bytes
// through the TLS engine and whose GetTotalWaitingSize counts the bytes the
// engine holds decrypted; the events and their owners stay as they are.

#include <cstdint>
#include <memory>
#include <utility>

#include "core/File.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// Event bits, for the sets a socket asks for and the notification set.
namespace sockev {
inline constexpr int Read = 1;
inline constexpr int Write = 2;
inline constexpr int OOB = 4;
inline constexpr int Accept = 8;
inline constexpr int Connect = 16;
inline constexpr int Close = 32;
inline constexpr int AcceptSet = 8;
inline constexpr int RegularSet = 55;  // read, write, out-of-band, connect, close
inline constexpr int AllSet = 63;
}  // namespace sockev

// The library's start and stop, once per process. Startup also makes a
// write to a connection the peer has closed an error instead of a signal.
class SocketManager {
public:
    struct SocketInfo {
        std::uint16_t version = 0;
        std::uint16_t highVersion = 0;
        char description[257] = {};
        char systemStatus[129] = {};
        std::uint16_t maxSockets = 0;
        std::uint16_t maxDatagramSize = 0;
        const char* vendorInfo = nullptr;
    };

    SocketManager(int major, int minor, bool startNow);
    ~SocketManager();  // ShutDown while started
    SocketManager(const SocketManager&) = delete;
    SocketManager& operator=(const SocketManager&) = delete;

    int Startup();
    int ShutDown();  // -1 (10093) when not started
    int LastError() const { return lastError_; }
    int StartCount() const { return startCount_; }
    const SocketInfo& Info() const { return info_; }

private:
    int lastError_ = 0;
    std::uint16_t startCount_ = 0;
    std::uint16_t major_;
    std::uint16_t minor_;
    SocketInfo info_;
};

// What the owner of a socket (SetNotificationWindow) hears of it: called
// synchronously on the loop's thread, from inside the socket's readiness
// handling. A handler may close, move or destroy the socket; delivery stops
// there. Errors are errno values.
class SocketEvents {
public:
    virtual ~SocketEvents() = default;
    virtual void OnReadable() {}
    virtual void OnWritable() {}
    virtual void OnOutOfBand() {}
    virtual void OnAccept() {}
    // 0: connected (the first OnWritable follows); else why not.
    virtual void OnConnected(int /*error*/) {}
    // 0: the peer closed in order, after the last data was reported; else
    // the connection broke (ECONNRESET, ...).
    virtual void OnClosed(int /*error*/) {}
};

class Socket {
public:
    using Handle = int;
    static constexpr Handle kNoSocket = -1;

    // A socket without a loop hears of no events until it gets one: by
    // Accept (the listener's loop) or by taking over a socket that has one.
    // Requests for notifications fail with EINVAL until then.
    Socket();
    explicit Socket(EventLoop& loop);
    Socket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol);
    // Takes over a descriptor (made non-blocking) and reads its addresses
    // and style.
    Socket(EventLoop& loop, FileDescriptor fd);
    // Closes the descriptor (linger off: the system finishes sending).
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int CloseSocket();
    // how: 0 receive, 1 send, 2 both. No handle: 0.
    int ShutDownSocket(int how);
    // Which events go to the owner (default all six).
    void SetNotificationSet(int set) { notificationSet_ = set; }
    // nullptr: every event goes to this socket's own handlers. The owner
    // must outlive the socket's notifications (it holds the socket).
    void SetNotificationWindow(SocketEvents* owner) { owner_ = owner; }
    // A non-blocking, close-on-exec socket of the stored style.
    int CreateSocket();
    int BindSocket(const SocketAddress& address);
    int BindSocket();
    void SetMyAddress(const SocketAddress& address) { myAddress_ = address; }
    void SetPeerSocketAddress(const SocketAddress& address) { peerAddress_ = address; }
    void SetSocketStyle(int family, int type, int protocol);

    // Replace the requested event set (accept set, regular set, the given
    // set, nothing). Takes effect at once; may be called from inside a
    // notification (a session stops reads while it is busy this way).
    // -1 with LastError() when there is no handle or no event loop.
    int StartAcceptNotification() { return StartCustomNotification(sockev::AcceptSet); }
    int StartRegularNotification() { return StartCustomNotification(sockev::RegularSet); }
    int StartCustomNotification(int set);
    int CancelNotification() { return StartCustomNotification(0); }

    // "tcp" or nullptr 6, "udp" 17, else 0.
    static int ConvertProtocol(const char* name);
    // Bytes the system holds ready to read (0 when the query fails), and
    // those plus what the stream itself holds: the readiness handling asks
    // the latter whether a read event has data to report.
    int GetDriverWaitingSize() const;
    virtual int GetTotalWaitingSize() const { return GetDriverWaitingSize(); }
    // Local / remote address of handle (this socket's when omitted, or 0
    // for the peer form). length: in/out, bytes of the address.
    int GetMyAddress(SocketAddress& address, int& length, Handle handle);
    int GetMyAddress(SocketAddress& address, int& length);
    int GetPeerAddress(SocketAddress& address, int& length, Handle handle);
    int GetPeerAddress(SocketAddress& address, int& length);
    // Sizes of 0 or below are ignored.
    void SetMaxReadBufferSize(int size);

    // The socket's own event handlers, for the events no owner takes. The
    // base does nothing and returns 0.
    virtual int DoReadNotification(int error);
    virtual int DoWriteNotification(int error);
    virtual int DoOOBNotification(int error);
    virtual int DoAcceptNotification(int error);
    virtual int DoConnectNotification(int error);
    virtual int DoCloseNotification(int error);

    // Options (socket level). Getters write through their argument.
    int SetBroadcastOption(bool on);
    int GetBroadcastOption(bool& on);
    int SetDebugOption(bool on);
    int GetDebugOption(bool& on);
    int SetLingerOption(bool on, std::uint16_t seconds);
    int GetLingerOption(bool& on, std::uint16_t& seconds);
    // true: routing allowed (SO_DONTROUTE off).
    int SetRouteOption(bool on);
    int GetRouteOption(bool& on);
    int SetKeepAliveOption(bool on);
    int GetKeepAliveOption(bool& on);
    int SetOOBOption(bool on);
    int GetOOBOption(bool& on);
    int SetReceiveBufferOption(int bytes);
    int GetReceiveBufferOption(int& bytes);
    int SetSendBufferOption(int bytes);
    int GetSendBufferOption(int& bytes);
    int SetReuseAddressOption(bool on);
    int GetReuseAddressOption(bool& on);

    Handle GetHandle() const { return fd_.Get(); }
    const SocketAddress& GetPeerAddress() const { return peerAddress_; }
    int LastError() const { return lastError_; }

protected:
    // Moving hands over the descriptor, the addresses, the style, the
    // requested events, the owner and the readiness state; this socket's
    // readiness handler takes the descriptor's events from then on (it
    // keeps its own loop if it has one). What this socket held before is
    // closed. The moved-from socket holds nothing.
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;

    int SetBoolOption(int level, int option, bool on);
    int GetBoolOption(int level, int option, bool& on);
    int SetIntOption(int level, int option, int value);
    int GetIntOption(int level, int option, int& value);
    // Records errno as the last error; returns -1.
    int Fail();
    int Fail(int error);
    // The address as the system wants it, with the socket's family when it has none.
    sockaddr_in SockAddrFor(const SocketAddress& address) const;

    // Readiness bookkeeping for the event loop.
    // false: the loop refused the descriptor (error in LastError()).
    bool Rearm();
    void StopWatching();
    void OnReady(std::uint32_t events);
    // Dispatches one event; false when the socket was destroyed or lost
    // its handle meanwhile (the caller must stop).
    bool Deliver(int event, int error);
    // A connect refused before connect() returned is reported on the next
    // turn of the loop, as a refusal from afar would be.
    void DeliverConnectLater(int error);
    void CancelConnectLater();

    FileDescriptor fd_;
    bool bound_ = false;
    SocketAddress myAddress_;
    SocketAddress peerAddress_;
    int family_ = 0;
    int type_ = 0;
    int protocol_ = 0;
    int lastError_ = 0;
    int maxReadBufferSize_ = 8192;
    // Notification state: the events asked for, the owner, what it gets.
    int eventSet_ = 0;
    SocketEvents* owner_ = nullptr;
    int notificationSet_ = sockev::AllSet;

    // Loop state: what is watched and why.
    struct Readiness {
        bool listening = false;
        bool connecting = false;
        bool writeArmed = false;    // a send would block: report writable once
        bool oobArmed = true;       // one OOB event until ReadOOB or a new request
        bool closeSeen = false;     // close reported; no more read events
        bool hangupParked = false;  // hang-up seen while reads are off
    };
    EventLoop* loop_ = nullptr;
    std::uint32_t watchedMask_ = 0;  // 0: not watched by this socket
    Readiness ready_;
    int pendingConnectTimer_ = 0;  // connect error found at once, delivered later
    int pendingConnectError_ = 0;
    // Cleared by the destructor: a handler that destroyed the socket is
    // seen by the code that called it. Never moved.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class StreamSocket : public Socket {
public:
    enum State { NotConnected = 0, ConnectedAtOnce = 1, Connected = 2, Listening = 3 };

    StreamSocket() = default;
    explicit StreamSocket(EventLoop& loop) : Socket(loop) {}
    StreamSocket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol)
        : Socket(loop, address, family, type, protocol) {}
    StreamSocket(EventLoop& loop, FileDescriptor fd) : Socket(loop, std::move(fd)) {}
    ~StreamSocket() override = default;
    // The hand-over of an accepted connection is a move.
    StreamSocket(StreamSocket&& other) noexcept = default;
    StreamSocket& operator=(StreamSocket&& other) noexcept = default;

    // 0 and length = bytes received (0: the peer closed); would block: 0,
    // length 0, LastError() EWOULDBLOCK; other errors -1, length 0.
    virtual int Read(char* buffer, int& length);
    // MSG_NOSIGNAL is always added. A short count is possible: the caller
    // sends the rest on the next write notification.
    virtual int Write(const char* data, int& length, int flags = 0);
    int ReadOOB(char* buffer, int& length);
    int WriteOOB(const char* data, int& length, int flags = 0);

    int Listen(int backlog);
    int Connect(const SocketAddress& address);
    // 0 when connected at once (state 1); -1 with EINPROGRESS: under way,
    // the outcome arrives as a connect event (also for a refusal found at
    // once).
    int Connect();
    // The accepted socket is non-blocking and close-on-exec, state 2, with
    // this socket's style and loop; it has no notifications until it asks
    // for them. -1 with EWOULDBLOCK: nobody was waiting after all.
    int Accept(StreamSocket& socket);
    int Accept(FileDescriptor& fd, SocketAddress& address);

    // Replies must not wait for a delayed acknowledgement. Linux drops
    // quick-ack mode again on its own, so a session that relies on it sets
    // it after each read.
    int SetNoDelayOption(bool on);
    int SetQuickAckOption(bool on);

    int GetConnectionState() const { return state_; }

    int DoReadNotification(int error) override;
    int DoWriteNotification(int error) override;
    int DoOOBNotification(int error) override;
    int DoAcceptNotification(int error) override;
    int DoConnectNotification(int error) override;
    int DoCloseNotification(int error) override;

private:
    int state_ = NotConnected;
};

class DatagramSocket : public Socket {
public:
    DatagramSocket() = default;
    explicit DatagramSocket(EventLoop& loop) : Socket(loop) {}
    DatagramSocket(EventLoop& loop, const SocketAddress& address, int family, int type,
                   int protocol)
        : Socket(loop, address, family, type, protocol) {}
    ~DatagramSocket() override = default;
    DatagramSocket(DatagramSocket&& other) noexcept = default;
    DatagramSocket& operator=(DatagramSocket&& other) noexcept = default;

    int Read(char* buffer, int& length, SocketAddress& from);
    int Write(const char* data, int& length, const SocketAddress& to);
    int Write(const char* data, int& length);  // to the peer address

    int DoReadNotification(int error) override;
    int DoWriteNotification(int error) override;
};
