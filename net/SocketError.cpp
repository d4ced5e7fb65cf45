#include "net/SocketError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
struct Reason {
    int code;
    const char* text;
};

constexpr Reason kReasons[] = {
    {10004, "(WSAEINTR): Interrupted system call"},
    {10009, "(WSAEBADF): Bad file number"},
    {10013, "(WSAEACCES): Permission denied"},
    {10014, "(WSAEFAULT): Bad address passed"},
    {10022, "(WSAEINVAL): Invalid parameter passed"},
    {10024, "(WSAEMFILE): Too many open files"},
    {10035, "(WSAEWOULDBLOCK): Operation would block"},
    {10036, "(WSAEINPROGRESS): Operation is now in progress"},
    {10037, "(WSAEALREADY): Operation is already in progress"},
    {10038, "(WSAENOTSOCK): Socket operation on non-socket"},
    {10039, "(WSAEDESTADDRREQ): Destination address required"},
    {10040, "(WSAEMSGSIZE): Message is too long"},
    {10041, "(WSAEPROTOTYPE): The protocol is of the wrong type for the socket"},
    {10042, "(WSAENOPROTOOPT): The requested protocol is not available"},
    {10043, "(WSAEPROTONOSUPPORT): The requested protocol is not supported"},
    {10044, "(WSAESOCKTNOSUPPORT): The specified socket type is not supported"},
    {10045, "(WSAEOPNOTSUPP): The specified operation is not supported"},
    {10046, "(WSAEPFNOSUPPORT): The specified protocol family is not supported"},
    {10047, "(WSAEAFNOSUPPORT): The specified address family is not supported"},
    {10048, "(WSAEADDRINUSE): The specified address is already in use"},
    {10049, "(WSAEADDRNOTAVAIL): The requested address is unassignable"},
    {10050, "(WSAENETDOWN): The network appears to be down"},
    {10051, "(WSAENETUNREACH): The network is unreachable"},
    {10052, "(WSAENETRESET): The network dropped the connection on reset"},
    {10053, "(WSAECONNABORTED): Software caused a connection abort"},
    {10054, "(WSAECONNRESET): Connection was reset by peer"},
    {10055, "(WSAENOBUFS): Out of buffer space"},
    {10056, "(WSAEISCONN): Socket is already connected"},
    {10057, "(WSAENOTCONN): Socket is not presently connected"},
    {10058, "(WSAESHUTDOWN): Can't send data because socket is shut down"},
    {10059, "(WSAETOOMANYREFS): Too many references, unable to splice"},
    {10060, "(WSAETIMEDOUT): The connection timed out"},
    {10061, "(WSAECONNREFUSED): The connection was refused"},
    {10062, "(WSAELOOP): Too many symbolic link levels"},
    {10063, "(WSAENAMETOOLONG): File name is too long"},
    {10064, "(WSAEHOSTDOWN): The host appears to be down"},
    {10065, "(WSAEHOSTUNREACH): The host is unreachable"},
    {10066, "(WSAENOTEMPTY): The directory is not empty"},
    {10067, "(WSAEPROCLIM): There are too many processes"},
    {10068, "(WSAEUSERS): There are too many users"},
    {10069, "(WSAEDQUOT): The disk quota is exceeded"},
    {10070, "(WSAESTALE): Bad NFS file handle"},
    {10071, "(WSAEREMOTE): There are too many levels of remote in the path"},
    {10091, "(WSASYSNOTREADY): Network sub-system is not ready or unusable"},
    {10092, "(WSAVERNOTSUPPORTED): The requested version is not supported"},
    {10093, "(WSANOTINITIALISED): Socket system is not initialized"},
    {10101, "(WSAEDISCO): Disconnect"},
    {11001, "(WSAHOST_NOT_FOUND): The host was not found"},
    {11002, "(WSATRY_AGAIN): Non-authoritative host not found"},
    {11003, "(WSANO_RECOVERY): Non-recoverable error"},
    {11004, "(WSANO_DATA): No information of the requested type was available"},
};

char* CopyCut(std::string_view text, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return buffer;
}
}  // namespace

const char* SocketError::ReasonText(int code) {
    for (const Reason& r : kReasons)
        if (r.code == code) return r.text;
    return "(?\?\?): Unknown error or no error";
}

SocketError::SocketError(int code, int maxLength) : code_(code), maxLength_(maxLength) {
    GetErrorString();
}

void SocketError::ISocketError(int code) {
    code_ = code;
    GetErrorString();
}

char* SocketError::CopyReasonString(char* buffer, std::size_t size) const {
    return CopyCut(text_, buffer, size);
}

const char* SocketError::GetErrorString() {
    // Sized to the text rather than to maxLength_: a caller's small buffer
    // size must not cut the reason the user needs to read.
    text_ = "Winsock Error " + std::to_string(code_) + " " + ReasonText(code_);
    return text_.c_str();
}

const char* SocketError::AppendError(std::string_view message) {
    std::string joined(message);
    joined += "\n\n";
    joined += text_;
    text_ = std::move(joined);
    return text_.c_str();
}

char* SocketError::AppendError(std::string_view message, char* buffer, std::size_t size) const {
    std::string joined(message);
    joined += "\n\n";
    joined += text_;
    return CopyCut(joined, buffer, size);
}

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
