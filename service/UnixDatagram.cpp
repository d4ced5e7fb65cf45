#include "service/UnixDatagram.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

UnixDatagramSender::~UnixDatagramSender() {
    if (fd_ >= 0) ::close(fd_);
}

int UnixDatagramSender::Open(std::string_view socketName) {
    // A path needs room for its terminating NUL; an abstract name does not
    // and is known by its exact length.
    const bool abstract = !socketName.empty() && socketName[0] == '@';
    if ((!abstract && (socketName.empty() || socketName[0] != '/')) ||
        socketName.size() < (abstract ? 2u : 1u) ||
        socketName.size() >= sizeof(sockaddr_un::sun_path) + (abstract ? 1u : 0u))
        return EINVAL;
    if (fd_ < 0) fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return errno;
    name_ = socketName;
    return 0;
}

int UnixDatagramSender::Send(std::string_view payload) {
    if (fd_ < 0) return EBADF;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const bool abstract = name_[0] == '@';
    std::memcpy(addr.sun_path, name_.data(), name_.size());
    if (abstract) addr.sun_path[0] = '\0';
    const auto len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size() + (abstract ? 0 : 1));
    if (::sendto(fd_, payload.data(), payload.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&addr), len) < 0)
        return errno;
    return 0;
}
