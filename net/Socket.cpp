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

int WinsockError(int e) {
    switch (e) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES:
        case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS: return 10035;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: return 10054;
        case ENOBUFS:
        case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN:
        case EPIPE: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case ENOTEMPTY: return 10066;
        case EUSERS: return 10068;
        case EDQUOT: return 10069;
        case ESTALE: return 10070;
        case EREMOTE: return 10071;
        default: return 10022;
    }
}

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

// ---- SocketWindow ----------------------------------------------------------

bool SocketWindow::DoSocketNotification(WPARAM handle, LPARAM eventAndError) {
    if (owner_.handle_ == Socket::kNoSocket || handle != static_cast<WPARAM>(owner_.handle_))
        return false;
    const int event = static_cast<int>(eventAndError & 0xFFFF);
    const int error = static_cast<int>((eventAndError >> 16) & 0xFFFF);
    const Socket::Handle h = owner_.handle_;
    // A handler may destroy the socket or its owner; stop at once then.
    const std::shared_ptr<bool> alive = owner_.alive_;
    static constexpr int kBits[] = {sockev::Read,   sockev::Write,   sockev::OOB,
                                    sockev::Accept, sockev::Connect, sockev::Close};
    for (int bit : kBits) {
        if ((event & bit) == 0) continue;
        if (!*alive) break;
        if (window_ != nullptr && (notificationSet_ & bit) != 0) {
            // A window that is gone gets nothing; its owner should have
            // cleared it, but a dangling call would be worse than a lost event.
            if (owner_.loop_ == nullptr || owner_.loop_->Alive(windowId_))
                window_->HandleMessage(snMsgSocketNotification, handle, eventAndError);
            continue;
        }
        switch (bit) {
            case sockev::Read: owner_.DoReadNotification(h, error); break;
            case sockev::Write: owner_.DoWriteNotification(h, error); break;
            case sockev::OOB: owner_.DoOOBNotification(h, error); break;
            case sockev::Accept: owner_.DoAcceptNotification(h, error); break;
            case sockev::Connect: owner_.DoConnectNotification(h, error); break;
            case sockev::Close: owner_.DoCloseNotification(h, error); break;
        }
    }
    return true;
}

// ---- Socket ----------------------------------------------------------------

Socket::Socket() : window_(*this) { ISocket(); }

Socket::Socket(EventLoop& loop) : window_(*this), loop_(&loop) { ISocket(); }

Socket::Socket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol)
    : myAddress_(address),
      family_(family),
      type_(type),
      protocol_(protocol),
      window_(*this),
      loop_(&loop) {
    ISocket();
}

Socket::Socket(EventLoop& loop, Handle handle) : Socket(handle) { loop_ = &loop; }

Socket::Socket(Handle handle) : handle_(handle), window_(*this) {
    ISocket();
    if (handle_ >= 0) {
        const int flags = fcntl(handle_, F_GETFL);
        if (flags >= 0) fcntl(handle_, F_SETFL, flags | O_NONBLOCK);
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
}

void Socket::ISocket() { lastError_ = 0; }

Socket::~Socket() {
    *alive_ = false;
    if (pendingConnectTimer_ != 0 && loop_ != nullptr) loop_->Cancel(pendingConnectTimer_);
    pendingConnectTimer_ = 0;
    if (handle_ == kNoSocket) return;
    if (keepHandle_) {
        StopWatching();
        return;
    }
    SetLingerOption(false, 60);
    CloseSocket();
}

int Socket::Fail() { return Fail(WinsockError(errno)); }

int Socket::Fail(int winsockError) {
    lastError_ = winsockError;
    return -1;
}

int Socket::CloseSocket() {
    if (pendingConnectTimer_ != 0 && loop_ != nullptr) loop_->Cancel(pendingConnectTimer_);
    pendingConnectTimer_ = 0;
    int rc = 0;
    if (handle_ != kNoSocket) {
        StopWatching();
        // On Linux the descriptor is released even when close reports an
        // error, so it is never kept: a second close could hit a reused
        // number.
        if (close(handle_) != 0) rc = Fail();
    }
    handle_ = kNoSocket;
    bound_ = false;
    window_.eventSet_ = 0;
    listening_ = connecting_ = writeArmed_ = closeSeen_ = hangupParked_ = false;
    oobArmed_ = true;
    return rc;
}

int Socket::ShutDownSocket(int how) {
    if (handle_ == kNoSocket) return 0;
    if (shutdown(handle_, how) != 0) return Fail();
    bound_ = false;
    return 0;
}

void Socket::SetNotificationSet(int set) { window_.notificationSet_ = set; }

void Socket::SetNotificationWindow(MessageTarget* window) {
    window_.window_ = window;
    window_.windowId_ = window != nullptr ? window->TargetId() : 0;
}

int Socket::CreateSocket() {
    if (handle_ != kNoSocket) CloseSocket();
    const int fd = socket(family_, type_ | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol_);
    if (fd < 0) return Fail();
    handle_ = fd;
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
    if (handle_ == kNoSocket) return Fail(wsa::NotSocket);
    const sockaddr_in in = SockAddrFor(myAddress_);
    // A restarted server must get its port back while connections of the
    // previous run linger in TIME_WAIT; on Linux this does not let two
    // listeners share a port.
    if (type_ == SOCK_STREAM) SetReuseAddressOption(true);
    if (bind(handle_, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) return Fail();
    bound_ = true;
    return 0;
}

void Socket::SetMyAddress(const SocketAddress& address) { myAddress_ = address; }
void Socket::SetPeerSocketAddress(const SocketAddress& address) { peerAddress_ = address; }

void Socket::SetSocketStyle(int family, int type, int protocol) {
    family_ = family;
    type_ = type;
    protocol_ = protocol;
}

int Socket::StartAcceptNotification() { return StartCustomNotification(sockev::AcceptSet); }
int Socket::StartRegularNotification() { return StartCustomNotification(sockev::RegularSet); }
int Socket::CancelNotification() { return StartCustomNotification(0); }

int Socket::StartCustomNotification(int set) {
    if (handle_ == kNoSocket) {
        window_.lastError_ = wsa::NotSocket;
        return Fail(wsa::NotSocket);
    }
    if (loop_ == nullptr) {
        window_.lastError_ = wsa::NotInitialised;
        return Fail(wsa::NotInitialised);
    }
    window_.eventSet_ = set & sockev::AllSet;
    oobArmed_ = true;
    hangupParked_ = false;
    if (!Rearm()) return Fail(window_.lastError_);
    return 0;
}

int Socket::ConvertProtocol(const char* name) {
    if (name == nullptr || std::strcmp(name, "tcp") == 0) return 6;
    if (std::strcmp(name, "udp") == 0) return 17;
    return 0;
}

int Socket::GetDriverWaitingSize() {
    if (handle_ == kNoSocket) return 0;
    int n = 0;
    if (ioctl(handle_, FIONREAD, &n) != 0) return 0;
    return n;
}

int Socket::GetTotalWaitingSize() { return GetDriverWaitingSize(); }

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
    return GetMyAddress(address, length, handle_);
}

int Socket::GetPeerAddress(SocketAddress& address, int& length, Handle handle) {
    if (handle == 0) handle = handle_;
    if (QueryAddress(getpeername, handle, address, length) != 0) return Fail();
    return 0;
}

int Socket::GetPeerAddress(SocketAddress& address, int& length) {
    return GetPeerAddress(address, length, handle_);
}

void Socket::SetMaxReadBufferSize(int size) {
    if (size > 0) maxReadBufferSize_ = size;
}

int Socket::DoReadNotification(Handle, int) { return 0; }
int Socket::DoWriteNotification(Handle, int) { return 0; }
int Socket::DoOOBNotification(Handle, int) { return 0; }
int Socket::DoAcceptNotification(Handle, int) { return 0; }
int Socket::DoConnectNotification(Handle, int) { return 0; }
int Socket::DoCloseNotification(Handle, int) { return 0; }

// ---- options ---------------------------------------------------------------

int Socket::SetIntOption(int level, int option, int value) {
    if (setsockopt(handle_, level, option, &value, sizeof value) != 0) return Fail();
    return 0;
}

int Socket::GetIntOption(int level, int option, int& value) {
    int v = 0;
    socklen_t size = sizeof v;
    if (getsockopt(handle_, level, option, &v, &size) != 0) return Fail();
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
    if (setsockopt(handle_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return Fail();
    return 0;
}

int Socket::GetLingerOption(bool& on, std::uint16_t& seconds) {
    linger l{};
    socklen_t size = sizeof l;
    if (getsockopt(handle_, SOL_SOCKET, SO_LINGER, &l, &size) != 0) return Fail();
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
    if (watchedMask_ != 0 && loop_ != nullptr && handle_ != kNoSocket) loop_->Unwatch(handle_);
    watchedMask_ = 0;
}

bool Socket::Rearm() {
    if (handle_ == kNoSocket || loop_ == nullptr) {
        StopWatching();
        return true;
    }
    const int set = window_.eventSet_;
    std::uint32_t mask = 0;
    if (set != 0) {
        if (listening_) {
            if (set & sockev::Accept) mask |= EPOLLIN;
        } else if (connecting_) {
            // Completion is watched whatever the set, so that the state is
            // right when the connect event is asked for later.
            mask |= EPOLLOUT;
        } else if (pendingConnectTimer_ == 0) {
            if ((set & sockev::Read) && !closeSeen_) mask |= EPOLLIN | EPOLLRDHUP;
            if ((set & sockev::OOB) && oobArmed_ && !closeSeen_) mask |= EPOLLPRI;
            if ((set & sockev::Write) && writeArmed_) mask |= EPOLLOUT;
        }
    }
    // A hang-up is reported on every wait, whatever the mask: without a
    // read to turn it into a close event, watching would spin.
    if (hangupParked_ && (mask & EPOLLIN) == 0) mask = 0;
    if (mask == 0) {
        StopWatching();
        return true;
    }
    if (mask == watchedMask_) return true;
    bool ok;
    if (watchedMask_ == 0) {
        ok = loop_->Watch(handle_, mask, [this, alive = alive_](std::uint32_t events) {
            if (*alive) OnReady(events);
        });
    } else {
        ok = loop_->Modify(handle_, mask);
    }
    if (!ok) {
        window_.lastError_ = WinsockError(errno);
        lastError_ = window_.lastError_;
        watchedMask_ = 0;
        return false;
    }
    window_.lastError_ = 0;
    watchedMask_ = mask;
    return true;
}

bool Socket::Deliver(int event, int error) {
    if ((window_.eventSet_ & event) == 0) return handle_ != kNoSocket;
    const std::shared_ptr<bool> alive = alive_;
    const Handle h = handle_;
    window_.DoSocketNotification(static_cast<WPARAM>(h),
                                 static_cast<LPARAM>(event) | (static_cast<LPARAM>(error) << 16));
    return *alive && handle_ == h;
}

namespace {
int PendingError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return WinsockError(errno);
    return WinsockError(error);
}
}  // namespace

void Socket::OnReady(std::uint32_t events) {
    if (handle_ == kNoSocket) return;
    const std::shared_ptr<bool> alive = alive_;
    const bool trouble = (events & (EPOLLERR | EPOLLHUP)) != 0;

    if (listening_) {
        if (events & (EPOLLIN | EPOLLERR)) Deliver(sockev::Accept, 0);
        return;
    }

    if (connecting_) {
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
        const int error = PendingError(handle_);
        connecting_ = false;
        Rearm();
        if (!Deliver(sockev::Connect, error)) return;
        if (error == 0) Deliver(sockev::Write, 0);
        return;
    }

    if (writeArmed_ && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        // On a broken connection the next Write reports the error.
        writeArmed_ = false;
        Rearm();
        if (!Deliver(sockev::Write, 0)) return;
    }

    if (oobArmed_ && (events & EPOLLPRI) && (window_.eventSet_ & sockev::OOB)) {
        oobArmed_ = false;
        Rearm();
        if (!Deliver(sockev::OOB, 0)) return;
    }

    const bool readWanted = (window_.eventSet_ & sockev::Read) != 0 && !closeSeen_;
    if (type_ != SOCK_STREAM) {
        // Datagrams have no close; an empty datagram is still a datagram.
        if (readWanted && (events & EPOLLIN)) Deliver(sockev::Read, 0);
        return;
    }
    if (readWanted && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        if (GetDriverWaitingSize() > 0) {
            // Data first: the close comes once the last byte has been read.
            if (!Deliver(sockev::Read, 0)) return;
        } else {
            bool closed = false;
            int error = 0;
            if (events & EPOLLERR) {
                error = PendingError(handle_);
                closed = error != 0 || (events & (EPOLLHUP | EPOLLRDHUP)) != 0;
            } else if (events & (EPOLLRDHUP | EPOLLHUP)) {
                closed = true;
            } else {
                char byte;
                const ssize_t r = recv(handle_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                if (r == 0) {
                    closed = true;
                } else if (r > 0) {
                    if (!Deliver(sockev::Read, 0)) return;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    closed = true;
                    error = WinsockError(errno);
                }
            }
            if (closed) {
                closeSeen_ = true;
                Rearm();
                if (!Deliver(sockev::Close, error)) return;
            }
        }
    }

    if (!*alive || handle_ == kNoSocket) return;
    if (trouble && ((window_.eventSet_ & sockev::Read) == 0 || closeSeen_)) {
        hangupParked_ = true;
        Rearm();
    }
}

void Socket::TakeNotificationState(Socket& other) {
    if (other.watchedMask_ != 0 && other.loop_ != nullptr && other.handle_ != kNoSocket)
        other.loop_->Unwatch(other.handle_);
    other.watchedMask_ = 0;
    window_.eventSet_ = other.window_.eventSet_;
    window_.window_ = other.window_.window_;
    window_.windowId_ = other.window_.windowId_;
    window_.notificationSet_ = other.window_.notificationSet_;
    if (loop_ == nullptr) loop_ = other.loop_;
    watchedMask_ = 0;
    Rearm();
}

// ---- StreamSocket ----------------------------------------------------------

StreamSocket& StreamSocket::operator=(StreamSocket& other) {
    if (this == &other) return *this;
    if (handle_ != kNoSocket && handle_ != other.handle_) {
        if (keepHandle_) {
            StopWatching();
            handle_ = kNoSocket;
        } else {
            CloseSocket();
        }
    } else if (handle_ != kNoSocket) {
        StopWatching();
    }
    family_ = other.family_;
    type_ = other.type_;
    protocol_ = other.protocol_;
    handle_ = other.handle_;
    bound_ = other.bound_;
    myAddress_ = other.myAddress_;
    peerAddress_ = other.peerAddress_;
    keepHandle_ = other.keepHandle_;
    state_ = other.state_;
    listening_ = other.listening_;
    connecting_ = other.connecting_;
    writeArmed_ = other.writeArmed_;
    oobArmed_ = other.oobArmed_;
    closeSeen_ = other.closeSeen_;
    hangupParked_ = other.hangupParked_;
    TakeNotificationState(other);
    return *this;
}

int StreamSocket::Read(char* buffer, int& length) {
    if (handle_ == kNoSocket) {
        length = 0;
        return Fail(wsa::NotSocket);
    }
    if (length <= 0) {
        length = 0;
        return 0;
    }
    const ssize_t r = recv(handle_, buffer, static_cast<std::size_t>(length), 0);
    if (r >= 0) {
        length = static_cast<int>(r);
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = wsa::WouldBlock;
        return 0;
    }
    return Fail();
}

int StreamSocket::Write(const char* data, int& length, int flags) {
    if (handle_ == kNoSocket) {
        length = 0;
        return Fail(wsa::NotSocket);
    }
    if (length <= 0) {
        length = 0;
        return 0;
    }
    const int wanted = length;
    const ssize_t r = send(handle_, data, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    if (r >= 0) {
        length = static_cast<int>(r);
        if (length < wanted) {
            writeArmed_ = true;
            Rearm();
        }
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = wsa::WouldBlock;
        writeArmed_ = true;
        Rearm();
        return 0;
    }
    return Fail();
}

int StreamSocket::ReadOOB(char* buffer, int& length) {
    if (handle_ == kNoSocket) {
        length = 0;
        return Fail(wsa::NotSocket);
    }
    const ssize_t r = recv(handle_, buffer, static_cast<std::size_t>(std::max(length, 0)), MSG_OOB);
    oobArmed_ = true;
    Rearm();
    if (r >= 0) {
        length = static_cast<int>(r);
        return 0;
    }
    length = 0;
    // No urgent byte waiting is "would block", as with ordinary data.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINVAL || errno == EINTR) {
        lastError_ = wsa::WouldBlock;
        return 0;
    }
    return Fail();
}

int StreamSocket::WriteOOB(const char* data, int& length, int flags) {
    return Write(data, length, flags | MSG_OOB);
}

int StreamSocket::Listen(int backlog) {
    if (handle_ == kNoSocket) return Fail(wsa::NotSocket);
    if (listen(handle_, backlog) != 0) return Fail();
    state_ = Listening;
    listening_ = true;
    Rearm();
    return 0;
}

int StreamSocket::Connect(const SocketAddress& address) {
    peerAddress_ = address;
    return Connect();
}

int StreamSocket::Connect() {
    if (handle_ == kNoSocket) return Fail(wsa::NotSocket);
    const sockaddr_in in = SockAddrFor(peerAddress_);
    if (connect(handle_, reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) {
        // Done at once (state 1); the connect event still follows, as it
        // does for a connection that took its time.
        state_ = ConnectedAtOnce;
        connecting_ = true;
        Rearm();
        return 0;
    }
    const int e = errno;
    if (e == EINPROGRESS || e == EAGAIN || e == EINTR) {
        connecting_ = true;
        Rearm();
        return Fail(wsa::WouldBlock);
    }
    if (e == ECONNREFUSED && loop_ != nullptr) {
        // Refused before connect returned (loopback): report it the way a
        // refusal from afar is reported, as the outcome of the connect event.
        const int error = WinsockError(e);
        pendingConnectTimer_ = loop_->After(0, [this, alive = alive_, error] {
            if (!*alive) return;
            pendingConnectTimer_ = 0;
            Rearm();
            Deliver(sockev::Connect, error);
        });
        return Fail(wsa::WouldBlock);
    }
    return Fail(WinsockError(e));
}

int StreamSocket::Accept(Handle& handle, SocketAddress& address) {
    if (handle_ == kNoSocket) return Fail(wsa::NotSocket);
    sockaddr_in in{};
    socklen_t size = sizeof in;
    const int fd =
        accept4(handle_, reinterpret_cast<sockaddr*>(&in), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return Fail();
    handle = fd;
    address.FromSockAddr(in);
    return 0;
}

int StreamSocket::Accept(StreamSocket& socket) {
    Handle fd = kNoSocket;
    SocketAddress peer;
    if (Accept(fd, peer) != 0) return -1;
    // A handle the target keeps belongs to someone else: let go of it
    // without closing. Either way its notification bookkeeping starts over.
    if (socket.handle_ != kNoSocket && socket.keepHandle_) {
        socket.StopWatching();
        socket.handle_ = kNoSocket;
    }
    socket.CloseSocket();
    socket.handle_ = fd;
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

int StreamSocket::DoReadNotification(Handle, int error) { return error == 0 ? 0 : Fail(error); }
int StreamSocket::DoWriteNotification(Handle, int error) { return error == 0 ? 0 : Fail(error); }
int StreamSocket::DoOOBNotification(Handle, int error) { return error == 0 ? 0 : Fail(error); }
int StreamSocket::DoAcceptNotification(Handle, int) { return 0; }
int StreamSocket::DoCloseNotification(Handle, int error) { return error == 0 ? 0 : Fail(error); }

int StreamSocket::DoConnectNotification(Handle, int error) {
    if (error == 0) {
        state_ = Connected;
        return 0;
    }
    state_ = NotConnected;
    return Fail(error);
}

// ---- DatagramSocket --------------------------------------------------------

int DatagramSocket::Read(char* buffer, int& length, SocketAddress& from) {
    if (handle_ == kNoSocket) {
        length = 0;
        return Fail(wsa::NotSocket);
    }
    sockaddr_in in{};
    socklen_t size = sizeof in;
    const ssize_t r = recvfrom(handle_, buffer, static_cast<std::size_t>(std::max(length, 0)), 0,
                               reinterpret_cast<sockaddr*>(&in), &size);
    if (r >= 0) {
        length = static_cast<int>(r);
        from.FromSockAddr(in);
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = wsa::WouldBlock;
        return 0;
    }
    return Fail();
}

int DatagramSocket::Write(const char* data, int& length, const SocketAddress& to) {
    if (handle_ == kNoSocket) {
        length = 0;
        return Fail(wsa::NotSocket);
    }
    sockaddr_in in{};
    to.ToSockAddr(in);
    const ssize_t r = sendto(handle_, data, static_cast<std::size_t>(std::max(length, 0)),
                             MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&in), sizeof in);
    if (r >= 0) {
        length = static_cast<int>(r);
        return 0;
    }
    length = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        lastError_ = wsa::WouldBlock;
        writeArmed_ = true;
        Rearm();
        return 0;
    }
    return Fail();
}

int DatagramSocket::Write(const char* data, int& length) {
    return Write(data, length, peerAddress_);
}

int DatagramSocket::DoReadNotification(Handle, int error) { return error == 0 ? 0 : Fail(error); }
int DatagramSocket::DoWriteNotification(Handle, int error) { return error == 0 ? 0 : Fail(error); }
