#pragma once
// Sockets with event notification. Every socket is non-blocking; its
// descriptor is watched by the event loop it was given (an accepted socket
// takes its listener's) for the events it asked for, and each event (with its error code) either
// calls the socket's own Do...Notification handler or, when a notification
// window is set and the notification set contains the event, is sent
// synchronously to that window as message 1325: wParam the handle
// (static_cast<WPARAM>(GetHandle())), lParam
// the event in the low 16 bits and the error in the high 16 bits.
//
// When events come: read while data waits (level-triggered: again on every
// turn of the loop until it is read, or until the set no longer has read);
// close once after the last data has been reported, for an orderly
// shutdown (error 0) or a reset (10054); write once when the socket takes
// data again after a Write would block or was short, and once after a
// connect event without error; connect once when a Connect under way ends
// (error from the system, e.g. 10061); accept while connections wait;
// out-of-band once until ReadOOB or a new request. A socket whose set
// lacks read hears nothing of the peer's close until reads are asked for.
//
// Return convention: 0 success, -1 failure with the error in LastError().
// Error codes use the Winsock numbering (10035 would block, 10061 refused,
// ...), so SocketError's texts apply. "Would block" on Read and Write is
// success with nothing moved.

#include <cstdint>
#include <memory>

#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// Event bits.
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

// Error codes the program tests for by number.
namespace wsa {
inline constexpr int WouldBlock = 10035;
inline constexpr int InvalidArgument = 10022;
inline constexpr int NotSocket = 10038;
inline constexpr int AddressInUse = 10048;
inline constexpr int ConnectionReset = 10054;
inline constexpr int NotConnected = 10057;
inline constexpr int TimedOut = 10060;
inline constexpr int ConnectionRefused = 10061;
inline constexpr int NotInitialised = 10093;
}  // namespace wsa

// errno to the Winsock code (EAGAIN/EWOULDBLOCK/EINPROGRESS 10035,
// ECONNREFUSED 10061, ECONNRESET 10054, EPIPE 10058, ...). 0 stays 0; an
// errno without a counterpart gives 10022 (invalid argument) for
// argument-like errors and 10055 (no buffers) for resource shortage, see
// Socket.cpp.
int WinsockError(int errnoValue);

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

class Socket;

// A socket's notification state: the event set last requested, the window
// that events are forwarded to and which events it gets.
class SocketWindow {
public:
    static constexpr int snMsgSocketNotification = 1325;

    explicit SocketWindow(Socket& owner) : owner_(owner) {}

    // The dispatch of one notification: another socket's handle is not
    // handled (false); each of the six events in lParam's low 16 bits is
    // forwarded (sent) to the notification window when the notification
    // set contains it, or else given to the socket's handler.
    bool DoSocketNotification(WPARAM handle, LPARAM eventAndError);

    int GetEventSet() const { return eventSet_; }
    MessageTarget* GetNotificationWindow() const { return window_; }
    int GetNotificationSet() const { return notificationSet_; }
    int LastError() const { return lastError_; }

private:
    friend class Socket;
    Socket& owner_;
    int eventSet_ = 0;
    MessageTarget* window_ = nullptr;
    std::uint64_t windowId_ = 0;
    int notificationSet_ = sockev::AllSet;
    int lastError_ = 0;
};

class Socket {
public:
    using Handle = int;
    static constexpr Handle kNoSocket = -1;

    // A socket without a loop hears of no events until it gets one: by
    // Accept (the listener's loop) or by a hand-over from a socket that has
    // one. Requests for notifications fail with 10093 until then.
    Socket();
    explicit Socket(EventLoop& loop);
    Socket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol);
    // Wraps an existing descriptor (made non-blocking) and reads its
    // addresses.
    explicit Socket(Handle handle);
    Socket(EventLoop& loop, Handle handle);
    // Closes the handle unless keep-handle is set.
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    virtual int CloseSocket();
    // how: 0 receive, 1 send, 2 both. No handle: 0.
    virtual int ShutDownSocket(int how);
    // Which events go to the notification window (default all six).
    virtual void SetNotificationSet(int set);
    // nullptr: every event goes to this socket's own handlers. The window
    // must outlive the socket's notifications (its owner holds the socket).
    virtual void SetNotificationWindow(MessageTarget* window);
    // A non-blocking, close-on-exec socket of the stored style.
    virtual int CreateSocket();
    virtual int BindSocket(const SocketAddress& address);
    virtual int BindSocket();
    virtual void SetMyAddress(const SocketAddress& address);
    virtual void SetPeerSocketAddress(const SocketAddress& address);
    virtual void SetSocketStyle(int family, int type, int protocol);

    // Replace the requested event set (accept set, regular set, the given
    // set, nothing). Takes effect at once; may be called from inside a
    // notification (a session stops reads while it is busy this way).
    // -1 with LastError() when there is no handle or no event loop.
    virtual int StartAcceptNotification();
    virtual int StartRegularNotification();
    virtual int StartCustomNotification(int set);
    virtual int CancelNotification();

    // "tcp" or nullptr 6, "udp" 17, else 0.
    virtual int ConvertProtocol(const char* name);
    // Bytes that can be read now (0 when the query fails).
    virtual int GetDriverWaitingSize();
    virtual int GetTotalWaitingSize();
    // Local / remote address of handle (this socket's when omitted, or 0
    // for the peer form). length: in/out, bytes of the address.
    virtual int GetMyAddress(SocketAddress& address, int& length, Handle handle);
    virtual int GetMyAddress(SocketAddress& address, int& length);
    virtual int GetPeerAddress(SocketAddress& address, int& length, Handle handle);
    virtual int GetPeerAddress(SocketAddress& address, int& length);
    // Sizes of 0 or below are ignored.
    virtual void SetMaxReadBufferSize(int size);

    // Event handlers, called when no notification window takes the event.
    // The base does nothing and returns 0.
    virtual int DoReadNotification(Handle handle, int error);
    virtual int DoWriteNotification(Handle handle, int error);
    virtual int DoOOBNotification(Handle handle, int error);
    virtual int DoAcceptNotification(Handle handle, int error);
    virtual int DoConnectNotification(Handle handle, int error);
    virtual int DoCloseNotification(Handle handle, int error);

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

    Handle GetHandle() const { return handle_; }
    bool IsBound() const { return bound_; }
    const SocketAddress& GetMyAddress() const { return myAddress_; }
    const SocketAddress& GetPeerAddress() const { return peerAddress_; }
    int LastError() const { return lastError_; }
    void SetLastError(int error) { lastError_ = error; }
    int GetMaxReadBufferSize() const { return maxReadBufferSize_; }
    bool GetKeepHandle() const { return keepHandle_; }
    // Set: the destructor leaves the handle open (hand-over of an accepted
    // connection).
    void SetKeepHandle(bool keep) { keepHandle_ = keep; }
    SocketWindow& Window() { return window_; }
    const SocketWindow& Window() const { return window_; }

    // Same handle and same notification window object.
    bool operator==(const Socket& other) const {
        return handle_ == other.handle_ && &window_ == &other.window_;
    }

protected:
    friend class SocketWindow;
    void ISocket();
    int SetBoolOption(int level, int option, bool on);
    int GetBoolOption(int level, int option, bool& on);
    int SetIntOption(int level, int option, int value);
    int GetIntOption(int level, int option, int& value);
    // Records errno as the last error; returns -1.
    int Fail();
    int Fail(int winsockError);
    // The address as the system wants it, with the socket's family when it has none.
    sockaddr_in SockAddrFor(const SocketAddress& address) const;

    // Readiness bookkeeping for the event loop.
    // false: the loop refused the descriptor (error in the window's).
    bool Rearm();
    void StopWatching();
    void OnReady(std::uint32_t events);
    // Dispatches one event; false when the socket was destroyed or lost
    // its handle meanwhile (the caller must stop).
    bool Deliver(int event, int error);
    // Makes this socket the receiver of the handle's events, taking over
    // from other (hand-over).
    void TakeNotificationState(Socket& other);

    Handle handle_ = kNoSocket;
    bool bound_ = false;
    SocketAddress myAddress_;
    SocketAddress peerAddress_;
    int family_ = 0;
    int type_ = 0;
    int protocol_ = 0;
    int lastError_ = 0;
    int maxReadBufferSize_ = 8192;
    bool keepHandle_ = false;
    SocketWindow window_;

    // Loop state: what is watched and why.
    EventLoop* loop_ = nullptr;
    std::uint32_t watchedMask_ = 0;  // 0: not watched by this socket
    bool listening_ = false;
    bool connecting_ = false;
    bool writeArmed_ = false;      // a send would block: report writable once
    bool oobArmed_ = true;         // one OOB event until ReadOOB or a new request
    bool closeSeen_ = false;       // close reported; no more read events
    bool hangupParked_ = false;    // hang-up seen while reads are off
    int pendingConnectTimer_ = 0;  // connect error found at once, delivered later
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class StreamSocket : public Socket {
public:
    enum State { NotConnected = 0, ConnectedAtOnce = 1, Connected = 2, Listening = 3 };

    StreamSocket() = default;
    explicit StreamSocket(EventLoop& loop) : Socket(loop) {}
    StreamSocket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol)
        : Socket(loop, address, family, type, protocol) {}
    explicit StreamSocket(Handle handle) : Socket(handle) {}
    StreamSocket(EventLoop& loop, Handle handle) : Socket(loop, handle) {}
    ~StreamSocket() override = default;

    // Hand-over: copies style, handle, both addresses, keep-handle, the
    // connection state and the notification state; the destination takes
    // over the handle's events (this object stays the owner). A handle
    // this object held before is closed first.
    StreamSocket& operator=(StreamSocket& other);

    // 0 and length = bytes received (0: the peer closed); would block: 0,
    // length 0, LastError() 10035; other errors -1, length 0.
    int Read(char* buffer, int& length);
    // MSG_NOSIGNAL is always added. A short count is possible: the caller
    // sends the rest on the next write notification.
    int Write(const char* data, int& length, int flags = 0);
    int ReadOOB(char* buffer, int& length);
    int WriteOOB(const char* data, int& length, int flags = 0);

    int Listen(int backlog);
    int Connect(const SocketAddress& address);
    // 0 when connected at once (state 1); -1 with 10035: under way, the
    // outcome arrives as a connect event (also for a refusal found at once).
    int Connect();
    // The accepted socket is non-blocking and close-on-exec, state 2, with
    // this socket's style; it has no notifications until it asks for them.
    int Accept(StreamSocket& socket);
    int Accept(Handle& handle, SocketAddress& address);

    // Replies must not wait for a delayed acknowledgement. Linux drops
    // quick-ack mode again on its own, so a session that relies on it sets
    // it after each read.
    int SetNoDelayOption(bool on);
    int SetQuickAckOption(bool on);

    int GetConnectionState() const { return state_; }

    int DoReadNotification(Handle handle, int error) override;
    int DoWriteNotification(Handle handle, int error) override;
    int DoOOBNotification(Handle handle, int error) override;
    int DoAcceptNotification(Handle handle, int error) override;
    int DoConnectNotification(Handle handle, int error) override;
    int DoCloseNotification(Handle handle, int error) override;

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

    int Read(char* buffer, int& length, SocketAddress& from);
    int Write(const char* data, int& length, const SocketAddress& to);
    int Write(const char* data, int& length);  // to the peer address

    int DoReadNotification(Handle handle, int error) override;
    int DoWriteNotification(Handle handle, int error) override;
};
