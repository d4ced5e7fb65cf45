#pragma once
// Datagrams to a Unix socket named the way systemd names them: a path, or
// "@name" for a name in the abstract namespace. Carries the service
// manager's notifications and syslog lines, neither of which answers.

#include <string>
#include <string_view>

class UnixDatagramSender {
public:
    UnixDatagramSender() = default;
    ~UnixDatagramSender();
    UnixDatagramSender(const UnixDatagramSender&) = delete;
    UnixDatagramSender& operator=(const UnixDatagramSender&) = delete;

    // Makes the socket for the named receiver. 0, or the errno that made it
    // fail (EINVAL: the name is empty, too long or not a path or "@name").
    int Open(std::string_view socketName);
    // 0 when the datagram went out, otherwise the errno. The name is looked
    // up on every send, so a receiver that was restarted is found again.
    int Send(std::string_view payload);
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string name_;
};
