#include "net/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

// ---- SocketManager ---------------------------------------------------------

SocketManager::SocketManager(int major, int minor, bool startNow)
    : major_(static_cast<std::uint16_t>(major)), minor_(static_cast<std::uint16_t>(minor)) {
    if (startNow) Startup();
}

SocketManager::~SocketManager() {
    while (startCount_ > 0)
        if (ShutDown() != 0) break;
}

int SocketManager::Startup() {
    // The socket layer speaks version 1.0 to 2.2; nothing older exists.
    if (major_ == 0 || major_ > 2 || (major_ == 2 && minor_ > 2)) {
        lastError_ = 10092;
        return -1;
    }
    // A peer that closed must show up as an error on the send, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    ++startCount_;
    info_ = SocketInfo{};
    info_.version = static_cast<std::uint16_t>(major_ | (minor_ << 8));
    info_.highVersion = static_cast<std::uint16_t>(2 | (2 << 8));
    std::strcpy(info_.description, "Linux sockets with epoll notification");
    std::strcpy(info_.systemStatus, "Running");
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0)
        info_.maxSockets = static_cast<std::uint16_t>(std::min<rlim_t>(files.rlim_cur, 65535));
    info_.maxDatagramSize = 65507;
    return 0;
}

int SocketManager::ShutDown() {
    if (startCount_ == 0) {
        lastError_ = 10093;
        return -1;
    }
    --startCount_;
    return 0;
}

// ---- Socket ----------------------------------------------------------------

Socket::Socket() = default;

Socket::Socket(EventLoop& loop) : loop_(&loop) {}

Socket::Socket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol)
    : myAddress_(address), family_(family), type_(type), protocol_(protocol), loop_(&loop) {}

Socket::Socket(EventLoop& loop, FileDescriptor fd) : fd_(std::move(fd)), loop_(&loop) {
    if (!fd_.Valid()) return;
    const int flags = fcntl(fd_.Get(), F_GETFL);
    if (flags >= 0) fcntl(fd_.Get(), F_SETFL, flags | O_NONBLOCK);
    int length = 16;
    GetMyAddress(myAddress_, length);
    length = 16;
    GetPeerAddress(peerAddress_, length);
    int value = 0;
    if (GetIntOption(SOL_SOCKET, SO_DOMAIN, value) == 0) family_ = value;
    if (GetIntOption(SOL_SOCKET, SO_TYPE, value) == 0) type_ = value;
    if (GetIntOption(SOL_SOCKET, SO_PROTOCOL, value) == 0) protocol_ = value;
    lastError_ = 0;
}

Socket::~Socket() {
    *alive_ = false;
    CancelConnectLater();
    if (!fd_.Valid()) return;
    SetLingerOption(false, 60);
    CloseSocket();
}

Socket::Socket(Socket&& other) noexcept { *this = std::move(other); }

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this == &other) return *this;
    CloseSocket();
    // The descriptor's events are the other socket's until it lets go.
    other.StopWatching();
    const int pendingConnect = other.pendingConnectTimer_ != 0 ? other.pendingConnectError_ : 0;
    other.CancelConnectLater();
    fd_ = std::move(other.fd_);
    bound_ = other.bound_;
    myAddress_ = other.myAddress_;
    peerAddress_ = other.peerAddress_;
    family_ = other.family_;
    type_ = other.type_;
    protocol_ = other.protocol_;
    lastError_ = other.lastError_;
    maxReadBufferSize_ = other.maxReadBufferSize_;
    eventSet_ = other.eventSet_;
    owner_ = other.owner_;
    notificationSet_ = other.notificationSet_;
    if (loop_ == nullptr) loop_ = other.loop_;
    ready_ = std::exchange(other.ready_, Readiness{});
    other.eventSet_ = 0;
    other.bound_ = false;
    other.owner_ = nullptr;
    if (pendingConnect != 0) DeliverConnectLater(pendingConnect);
    Rearm();
    return *this;
}

int Socket::Fail() { return Fail(errno); }

int Socket::Fail(int error) {
    lastError_ = error;
    return -1;
}

int Socket::CloseSocket() {
    CancelConnectLater();
    int rc = 0;
    if (fd_.Valid()) {
        StopWatching();
        // On Linux the descriptor is released even when close reports an
        // error, so it is never kept: a second close could hit a reused
        // number.
        if (!fd_.Close()) rc = Fail();
    }
    bound_ = false;
    eventSet_ = 0;
    ready_ = Readiness{};
    return rc;
}

int Socket::ShutDownSocket(int how) {
    if (!fd_.Valid()) return 0;
    if (shutdown(fd_.Get(), how) != 0) return Fail();
    bound_ = false;
    return 0;
}

int Socket::CreateSocket() {
    if (fd_.Valid()) CloseSocket();
    const int fd = socket(family_, type_ | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol_);
    if (fd < 0) return Fail();
    fd_.Reset(fd);
    return 0;
}

sockaddr_in Socket::SockAddrFor(const SocketAddress& address) const {
    sockaddr_in in{};
    address.ToSockAddr(in);
    // An address without a family of its own takes the socket's.
    if (in.sin_family == 0) in.sin_family = static_cast<sa_family_t>(family_ ? family_ : AF_INET);
    return in;
}

int Socket::BindSocket(const SocketAddress& address) {
    myAddress_ = address;
    return BindSocket();
}

int Socket::BindSocket() {
    if (!fd_.Valid()) return Fail(ENOTSOCK);
    const sockaddr_in in = SockAddrFor(myAddress_);
    // A restarted server must get its port back while connections of the
    // previous run linger in TIME_WAIT; on Linux this does not let two
    // listeners share a port.
    if (type_ == SOCK_STREAM) SetReuseAddressOption(true);
    if (bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) return Fail();
    bound_ = true;
    return 0;
}

void Socket::SetSocketStyle(int family, int type, int protocol) {
    family_ = family;
    type_ = type;
    protocol_ = protocol;
}

int Socket::StartCustomNotification(int set) {
    if (!fd_.Valid()) return Fail(ENOTSOCK);
    if (loop_ == nullptr) return Fail(EINVAL);
    eventSet_ = set & sockev::AllSet;
    ready_.oobArmed = true;
    ready_.hangupParked = false;
    if (!Rearm()) return -1;
    return 0;
}

int Socket::ConvertProtocol(const char* name) {
    if (name == nullptr || std::strcmp(name, "tcp") == 0) return 6;
    if (std::strcmp(name, "udp") == 0) return 17;
    return 0;
}

int Socket::GetDriverWaitingSize() const {
    if (!fd_.Valid()) return 0;
    int n = 0;
    if (ioctl(fd_.Get(), FIONREAD, &n) != 0) return 0;
    return n;
}

namespace {
using AddressQuery = int (*)(int, sockaddr*, socklen_t*);

int QueryAddress(AddressQuery query, int handle, SocketAddress& address, int& length) {
    if (length < 16) {
        errno = EFAULT;
        return -1;
    }
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    if (query(handle, reinterpret_cast<sockaddr*>(&storage), &size) != 0) return -1;
    if (storage.ss_family == AF_INET) {
        address.FromSockAddr(*reinterpret_cast<const sockaddr_in*>(&storage));
    } else {
        const auto* generic = reinterpret_cast<const sockaddr*>(&storage);
        address.SetAddress(generic->sa_family, generic->sa_data, 14);
    }
    length = 16;
    return 0;
}
}  // namespace

int Socket::GetMyAddress(SocketAddress& address, int& length, Handle handle) {
    if (QueryAddress(getsockname, handle, address, length) != 0) return Fail();
    return 0;
}

int Socket::GetMyAddress(SocketAddress& address, int& length) {
    return GetMyAddress(address, length, fd_.Get());
}

int Socket::GetPeerAddress(SocketAddress& address, int& length, Handle handle) {
    if (handle == 0) handle = fd_.Get();
    if (QueryAddress(getpeername, handle, address, length) != 0) return Fail();
    return 0;
}

int Socket::GetPeerAddress(SocketAddress& address, int& length) {
    return GetPeerAddress(address, length, fd_.Get());
}

void Socket::SetMaxReadBufferSize(int size) {
    if (size > 0) maxReadBufferSize_ = size;
}

int Socket::DoReadNotification(int) { return 0; }
int Socket::DoWriteNotification(int) { return 0; }
int Socket::DoOOBNotification(int) { return 0; }
int Socket::DoAcceptNotification(int) { return 0; }
int Socket::DoConnectNotification(int) { return 0; }
int Socket::DoCloseNotification(int) { return 0; }

// ---- options ---------------------------------------------------------------

int Socket::SetIntOption(int level, int option, int value) {
    if (setsockopt(fd_.Get(), level, option, &value, sizeof value) != 0) return Fail();
    return 0;
}

int Socket::GetIntOption(int level, int option, int& value) {
    int v = 0;
    socklen_t size = sizeof v;
    if (getsockopt(fd_.Get(), level, option, &v, &size) != 0) return Fail();
    value = v;
    return 0;
}

int Socket::SetBoolOption(int level, int option, bool on) {
    return SetIntOption(level, option, on ? 1 : 0);
}

int Socket::GetBoolOption(int level, int option, bool& on) {
    int v = 0;
    if (GetIntOption(level, option, v) != 0) return -1;
    on = v != 0;
    return 0;
}

int Socket::SetBroadcastOption(bool on) { return SetBoolOption(SOL_SOCKET, SO_BROADCAST, on); }
int Socket::GetBroadcastOption(bool& on) { return GetBoolOption(SOL_SOCKET, SO_BROADCAST, on); }
int Socket::SetDebugOption(bool on) { return SetBoolOption(SOL_SOCKET, SO_DEBUG, on); }
int Socket::GetDebugOption(bool& on) { return GetBoolOption(SOL_SOCKET, SO_DEBUG, on); }

int Socket::SetLingerOption(bool on, std::uint16_t seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    if (setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return Fail();
    return 0;
}

int Socket::GetLingerOption(bool& on, std::uint16_t& seconds) {
    linger l{};
    socklen_t size = sizeof l;
    if (getsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, &size) != 0) return Fail();
    on = l.l_onoff != 0;
    seconds = static_cast<std::uint16_t>(l.l_linger);
    return 0;
}

int Socket::SetRouteOption(bool on) { return SetBoolOption(SOL_SOCKET, SO_DONTROUTE, !on); }

int Socket::GetRouteOption(bool& on) {
    bool dontRoute = false;
    if (GetBoolOption(SOL_SOCKET, SO_DONTROUTE, dontRoute) != 0) return -1;
    on = !dontRoute;
    return 0;
}

int Socket::SetKeepAliveOption(bool on) { return SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, on); }
int Socket::GetKeepAliveOption(bool& on) { return GetBoolOption(SOL_SOCKET, SO_KEEPALIVE, on); }
int Socket::SetOOBOption(bool on) { return SetBoolOption(SOL_SOCKET, SO_OOBINLINE, on); }
int Socket::GetOOBOption(bool& on) { return GetBoolOption(SOL_SOCKET, SO_OOBINLINE, on); }
int Socket::SetReceiveBufferOption(int bytes) { return SetIntOption(SOL_SOCKET, SO_RCVBUF, bytes); }
int Socket::GetReceiveBufferOption(int& bytes) {
    return GetIntOption(SOL_SOCKET, SO_RCVBUF, bytes);
}
int Socket::SetSendBufferOption(int bytes) { return SetIntOption(SOL_SOCKET, SO_SNDBUF, bytes); }
int Socket::GetSendBufferOption(int& bytes) { return GetIntOption(SOL_SOCKET, SO_SNDBUF, bytes); }
int Socket::SetReuseAddressOption(bool on) { return SetBoolOption(SOL_SOCKET, SO_REUSEADDR, on); }
int Socket::GetReuseAddressOption(bool& on) { return GetBoolOption(SOL_SOCKET, SO_REUSEADDR, on); }

// ---- readiness -------------------------------------------------------------

void Socket::StopWatching() {
    if (watchedMask_ != 0 && loop_ != nullptr && fd_.Valid()) loop_->Unwatch(fd_.Get());
    watchedMask_ = 0;
}

bool Socket::Rearm() {
    if (!fd_.Valid() || loop_ == nullptr) {
        StopWatching();
        return true;
    }
    std::uint32_t mask = 0;
    if (eventSet_ != 0) {
        if (ready_.listening) {
            if (eventSet_ & sockev::Accept) mask |= EPOLLIN;
        } else if (ready_.connecting) {
            // Completion is watched whatever the set, so that the state is
            // right when the connect event is asked for later.
            mask |= EPOLLOUT;
        } else if (pendingConnectTimer_ == 0) {
            if ((eventSet_ & sockev::Read) && !ready_.closeSeen) mask |= EPOLLIN | EPOLLRDHUP;
            if ((eventSet_ & sockev::OOB) && ready_.oobArmed && !ready_.closeSeen) mask |= EPOLLPRI;
            if ((eventSet_ & sockev::Write) && ready_.writeArmed) mask |= EPOLLOUT;
        }
    }
    // A hang-up is reported on every wait, whatever the mask: without a
    // read to turn it into a close event, watching would spin.
    if (ready_.hangupParked && (mask & EPOLLIN) == 0) mask = 0;
    if (mask == 0) {
        StopWatching();
        return true;
    }
    if (mask == watchedMask_) return true;
    bool ok;
    if (watchedMask_ == 0) {
        ok = loop_->Watch(fd_.Get(), mask, [this, alive = alive_](std::uint32_t events) {
            if (*alive) OnReady(events);
        });
    } else {
        ok = loop_->Modify(fd_.Get(), mask);
    }
    if (!ok) {
        lastError_ = errno;
        watchedMask_ = 0;
        return false;
    }
    watchedMask_ = mask;
    return true;
}

bool Socket::Deliver(int event, int error) {
    if ((eventSet_ & event) == 0) return fd_.Valid();
    const std::shared_ptr<bool> alive = alive_;
    const Handle h = fd_.Get();
    if (owner_ != nullptr && (notificationSet_ & event) != 0) {
        switch (event) {
            case sockev::Read: owner_->OnReadable(); break;
            case sockev::Write: owner_->OnWritable(); break;
            case sockev::OOB: owner_->OnOutOfBand(); break;
            case sockev::Accept: owner_->OnAccept(); break;
            case sockev::Connect: owner_->OnConnected(error); break;
            case sockev::Close: owner_->OnClosed(error); break;
            default: break;
        }
    } else {
        switch (event) {
            case sockev::Read: DoReadNotification(error); break;
            case sockev::Write: DoWriteNotification(error); break;
            case sockev::OOB: DoOOBNotification(error); break;
            case sockev::Accept: DoAcceptNotification(error); break;
            case sockev::Connect: DoConnectNotification(error); break;
            case sockev::Close: DoCloseNotification(error); break;
            default: break;
        }
    }
    return *alive && fd_.Get() == h;
}

void Socket::DeliverConnectLater(int error) {
    if (loop_ == nullptr) return;
    pendingConnectError_ = error;
    pendingConnectTimer_ = loop_->After(0, [this, alive = alive_] {
        if (!*alive) return;
        pendingConnectTimer_ = 0;
        Rearm();
        Deliver(sockev::Connect, pendingConnectError_);
    });
}

void Socket::CancelConnectLater() {
    if (pendingConnectTimer_ != 0 && loop_ != nullptr) loop_->Cancel(pendingConnectTimer_);
    pendingConnectTimer_ = 0;
}

namespace {
int PendingError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}
}  // namespace

void Socket::OnReady(std::uint32_t events) {
    if (!fd_.Valid()) return;
    const std::shared_ptr<bool> alive = alive_;
    const bool trouble = (events & (EPOLLERR | EPOLLHUP)) != 0;

    if (ready_.listening) {
        if (events & (EPOLLIN | EPOLLERR)) Deliver(sockev::Accept, 0);
        return;
    }

    if (ready_.connecting) {
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
        const int error = PendingError(fd_.Get());
        ready_.connecting = false;
        Rearm();
        if (!Deliver(sockev::Connect, error)) return;
        if (error == 0) Deliver(sockev::Write, 0);
        return;
    }

    if (ready_.writeArmed && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        // On a broken connection the next Write reports the error.
        ready_.writeArmed = false;
        Rearm();
        if (!Deliver(sockev::Write, 0)) return;
    }

    if (ready_.oobArmed && (events & EPOLLPRI) && (eventSet_ & sockev::OOB)) {
        ready_.oobArmed = false;
        Rearm();
        if (!Deliver(sockev::OOB, 0)) return;
    }

    const bool readWanted = (eventSet_ & sockev::Read) != 0 && !ready_.closeSeen;
    if (type_ != SOCK_STREAM) {
        // Datagrams have no close; an empty datagram is still a datagram.
        if (readWanted && (events & EPOLLIN)) Deliver(sockev::Read, 0);
        return;
    }
    if (readWanted && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        if (GetTotalWaitingSize() > 0) {
            // Data first: the close comes once the last byte has been read.
            if (!Deliver(sockev::Read, 0)) return;
        } else {
            bool closed = false;
            int error = 0;
            if (events & EPOLLERR) {
                error = PendingError(fd_.Get());
                closed = error != 0 || (events & (EPOLLHUP | EPOLLRDHUP)) != 0;
            } else if (events & (EPOLLRDHUP | EPOLLHUP)) {
                closed = true;
            } else {
                char byte;
                const ssize_t r = recv(fd_.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                if (r == 0) {
                    closed = true;
                } else if (r > 0) {
                    if (!Deliver(sockev::Read, 0)) return;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    closed = true;
                    error = errno;
                }
            }
            if (closed) {
                ready_.closeSeen = true;
                Rearm();
                if (!Deliver(sockev::Close, error)) return;
            }
        }
    }

    if (!*alive || !fd_.Valid()) return;
    if (trouble && ((eventSet_ & sockev::Read) == 0 || ready_.closeSeen)) {
        ready_.hangupParked = true;
        Rearm();
    }
}

// ---- StreamSocket ----------------------------------------------------------

int StreamSocket::Read(char* buffer, int& length) {
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    if (length <= 0) {
        length = 0;
        return 0;
    }
    const ssize_t r = recv(fd_.Get(), buffer, static_cast<std::size_t>(length), 0);
    if (r >= 0) {
        length = static_cast<int>(r);
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = EWOULDBLOCK;
        return 0;
    }
    return Fail();
}

int StreamSocket::Write(const char* data, int& length, int flags) {
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    if (length <= 0) {
        length = 0;
        return 0;
    }
    const int wanted = length;
    const ssize_t r = send(fd_.Get(), data, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    if (r >= 0) {
        length = static_cast<int>(r);
        if (length < wanted) {
            ready_.writeArmed = true;
            Rearm();
        }
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = EWOULDBLOCK;
        ready_.writeArmed = true;
        Rearm();
        return 0;
    }
    return Fail();
}

int StreamSocket::ReadOOB(char* buffer, int& length) {
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    const ssize_t r =
        recv(fd_.Get(), buffer, static_cast<std::size_t>(std::max(length, 0)), MSG_OOB);
    ready_.oobArmed = true;
    Rearm();
    if (r >= 0) {
        length = static_cast<int>(r);
        return 0;
    }
    length = 0;
    // No urgent byte waiting is "would block", as with ordinary data.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINVAL || errno == EINTR) {
        lastError_ = EWOULDBLOCK;
        return 0;
    }
    return Fail();
}

int StreamSocket::WriteOOB(const char* data, int& length, int flags) {
    return Write(data, length, flags | MSG_OOB);
}

int StreamSocket::Listen(int backlog) {
    if (!fd_.Valid()) return Fail(ENOTSOCK);
    if (listen(fd_.Get(), backlog) != 0) return Fail();
    state_ = Listening;
    ready_.listening = true;
    Rearm();
    return 0;
}

int StreamSocket::Connect(const SocketAddress& address) {
    peerAddress_ = address;
    return Connect();
}

int StreamSocket::Connect() {
    if (!fd_.Valid()) return Fail(ENOTSOCK);
    const sockaddr_in in = SockAddrFor(peerAddress_);
    if (connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) {
        // Done at once (state 1); the connect event still follows, as it
        // does for a connection that took its time.
        state_ = ConnectedAtOnce;
        ready_.connecting = true;
        Rearm();
        return 0;
    }
    const int e = errno;
    if (e == EINPROGRESS || e == EAGAIN || e == EINTR) {
        ready_.connecting = true;
        Rearm();
        return Fail(EINPROGRESS);
    }
    if (e == ECONNREFUSED && loop_ != nullptr) {
        // Refused before connect returned (loopback): report it the way a
        // refusal from afar is reported, as the outcome of the connect event.
        DeliverConnectLater(e);
        return Fail(EINPROGRESS);
    }
    return Fail(e);
}

int StreamSocket::Accept(FileDescriptor& fd, SocketAddress& address) {
    if (!fd_.Valid()) return Fail(ENOTSOCK);
    sockaddr_in in{};
    socklen_t size = sizeof in;
    const int accepted =
        accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&in), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) return Fail();
    fd.Reset(accepted);
    address.FromSockAddr(in);
    return 0;
}

int StreamSocket::Accept(StreamSocket& socket) {
    FileDescriptor fd;
    SocketAddress peer;
    if (Accept(fd, peer) != 0) return -1;
    socket.CloseSocket();
    socket.fd_ = std::move(fd);
    socket.peerAddress_ = peer;
    int length = 16;
    socket.GetMyAddress(socket.myAddress_, length);
    socket.family_ = family_;
    socket.type_ = type_;
    socket.protocol_ = protocol_;
    socket.state_ = Connected;
    socket.lastError_ = 0;
    if (socket.loop_ == nullptr) socket.loop_ = loop_;
    return 0;
}

int StreamSocket::SetNoDelayOption(bool on) { return SetBoolOption(IPPROTO_TCP, TCP_NODELAY, on); }

int StreamSocket::SetQuickAckOption(bool on) {
    return SetBoolOption(IPPROTO_TCP, TCP_QUICKACK, on);
}

int StreamSocket::DoReadNotification(int error) { return error == 0 ? 0 : Fail(error); }
int StreamSocket::DoWriteNotification(int error) { return error == 0 ? 0 : Fail(error); }
int StreamSocket::DoOOBNotification(int error) { return error == 0 ? 0 : Fail(error); }
int StreamSocket::DoAcceptNotification(int) { return 0; }
int StreamSocket::DoCloseNotification(int error) { return error == 0 ? 0 : Fail(error); }

int StreamSocket::DoConnectNotification(int error) {
    if (error == 0) {
        state_ = Connected;
        return 0;
    }
    state_ = NotConnected;
    return Fail(error);
}

// ---- DatagramSocket --------------------------------------------------------

int DatagramSocket::Read(char* buffer, int& length, SocketAddress& from) {
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    sockaddr_in in{};
    socklen_t size = sizeof in;
    const ssize_t r = recvfrom(fd_.Get(), buffer, static_cast<std::size_t>(std::max(length, 0)), 0,
                               reinterpret_cast<sockaddr*>(&in), &size);
    if (r >= 0) {
        length = static_cast<int>(r);
        from.FromSockAddr(in);
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = EWOULDBLOCK;
        return 0;
    }
    return Fail();
}

int DatagramSocket::Write(const char* data, int& length, const SocketAddress& to) {
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    sockaddr_in in{};
    to.ToSockAddr(in);
    const ssize_t r = sendto(fd_.Get(), data, static_cast<std::size_t>(std::max(length, 0)),
                             MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&in), sizeof in);
    if (r >= 0) {
        length = static_cast<int>(r);
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = EWOULDBLOCK;
        ready_.writeArmed = true;
        Rearm();
        return 0;
    }
    return Fail();
}

int DatagramSocket::Write(const char* data, int& length) {
    return Write(data, length, peerAddress_);
}

int DatagramSocket::DoReadNotification(int error) { return error == 0 ? 0 : Fail(error); }
int DatagramSocket::DoWriteNotification(int error) { return error == 0 ? 0 : Fail(error); }
