#include "app/ControlChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// A blocking connect is fine here: a Unix socket either accepts into its
// backlog at once or refuses.
int ConnectTo(const std::string& path) {
    sockaddr_un addr{};
    if (!MakeAddress(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* OutcomeWord(CtlReply::Outcome o) {
    switch (o) {
        case CtlReply::Ok: return "OK";
        case CtlReply::Refused: return "REFUSED";
        case CtlReply::Unknown: return "UNKNOWN";
    }
    return "UNKNOWN";
}

}  // namespace

ControlChannel::ControlChannel(EventLoop& loop, Handler handler)
    : loop_(loop),
      handler_([h = std::move(handler)](const std::vector<std::string>& words,
                                        const Respond& respond) { respond(h(words)); }) {}

ControlChannel::ControlChannel(EventLoop& loop, AsyncHandler handler)
    : loop_(loop), handler_(std::move(handler)) {}

std::string ControlChannel::EncodeWords(const std::vector<std::string>& words) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    for (const std::string& w : words) {
        if (!line.empty()) line += ' ';
        if (w.empty()) line += '%';
        for (const char c : w) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '%' || u <= ' ' || u == 0x7F) {
                line += '%';
                line += kHex[u >> 4];
                line += kHex[u & 15];
            } else {
                line += c;
            }
        }
    }
    return line;
}

std::vector<std::string> ControlChannel::DecodeWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
        if (j == i) break;
        const std::string_view raw(line.data() + i, j - i);
        std::string word;
        if (raw != "%") {
            for (std::size_t k = 0; k < raw.size(); ++k) {
                if (raw[k] == '%' && k + 2 < raw.size() && HexValue(raw[k + 1]) >= 0 &&
                    HexValue(raw[k + 2]) >= 0) {
                    word += static_cast<char>(HexValue(raw[k + 1]) * 16 + HexValue(raw[k + 2]));
                    k += 2;
                } else {
                    word += raw[k];
                }
            }
        }
        words.push_back(std::move(word));
        i = j;
    }
    return words;
}

ControlChannel::~ControlChannel() {
    *alive_ = false;
    while (!clients_.empty()) Drop(clients_.begin()->first);
    if (fd_ >= 0) {
        loop_.Unwatch(fd_);
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

bool ControlChannel::ServerAnswers(const std::string& path) {
    const int fd = ConnectTo(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

ControlChannel::OpenResult ControlChannel::Open(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return OpenResult::Failed;
    };
    sockaddr_un addr{};
    if (!MakeAddress(path, addr)) {
        errno = ENAMETOOLONG;
        return fail(path);
    }
    if (ServerAnswers(path)) return OpenResult::InUse;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        // Only a socket may be replaced; anything else is the owner's file.
        if (!S_ISSOCK(st.st_mode)) {
            errno = EEXIST;
            return fail(path);
        }
        ::unlink(path.c_str());
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return fail("socket");
    // The file is created owner-only from the start; a chmod after bind
    // would leave a moment in which others could connect.
    const mode_t old = ::umask(0177);
    const int rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(old);
    if (rc != 0) return fail(path);
    path_ = path;
    ::chmod(path.c_str(), 0600);
    if (::listen(fd_, 8) != 0) {
        ::unlink(path.c_str());
        return fail(path);
    }
    if (!loop_.Watch(fd_, EPOLLIN, [this](std::uint32_t) { Accept(); })) {
        ::unlink(path.c_str());
        return fail("epoll");
    }
    return OpenResult::Opened;
}

void ControlChannel::Accept() {
    for (;;) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // drained, or a transient error: the next readiness retries
        if (clients_.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->serial = ++serial_;
        c->timer = loop_.After(idleMs_, [this, fd] {
            auto it = clients_.find(fd);
            if (it == clients_.end()) return;
            it->second->timer = 0;
            Drop(fd);
        });
        clients_[fd] = std::move(c);
        if (!loop_.Watch(fd, EPOLLIN | EPOLLRDHUP,
                         [this, fd](std::uint32_t ev) { OnClient(fd, ev); }))
            Drop(fd);
    }
}

void ControlChannel::OnClient(int fd, std::uint32_t events) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    if (c.answered) {
        // A client that gives up waiting for a slow answer is let go.
        if (events & (EPOLLERR | EPOLLHUP)) return Drop(fd);
        if (c.replied) Flush(c);
        return;
    }
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            c.in.append(buf, static_cast<std::size_t>(n));
            const std::size_t nl = c.in.find('\n');
            if (nl != std::string::npos) {
                std::string line = c.in.substr(0, nl);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return Answer(c, line);
            }
            if (c.in.size() > kMaxRequest) return Drop(fd);
            continue;
        }
        if (n == 0) {
            // The client may end its request by shutting down its side.
            if (!c.in.empty()) return Answer(c, c.in);
            return Drop(fd);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        return Drop(fd);
    }
}

void ControlChannel::Answer(Client& c, const std::string& line) {
    c.answered = true;
    // The request is in: the answer may take several passes of the loop.
    if (c.timer != 0) loop_.Cancel(c.timer);
    c.timer = 0;
    // Only a hang-up is watched meanwhile; a client that ended its request
    // by shutting down its side still waits for the answer.
    loop_.Modify(c.fd, 0);
    const int fd = c.fd;
    const std::uint64_t serial = c.serial;
    std::weak_ptr<bool> alive = alive_;
    handler_(DecodeWords(line), [this, alive, fd, serial](const CtlReply& reply) {
        const auto token = alive.lock();
        if (token && *token) Reply(fd, serial, reply);
    });
}

void ControlChannel::Reply(int fd, std::uint64_t serial, const CtlReply& reply) {
    auto it = clients_.find(fd);
    if (it == clients_.end() || it->second->serial != serial || it->second->replied) return;
    Client& c = *it->second;
    c.replied = true;
    // The handler may have stopped the loop (quit); the answer still goes
    // out below, before the channel is torn down.
    c.out = std::string(OutcomeWord(reply.outcome)) + "\n" + reply.text;
    if (!c.out.empty() && c.out.back() != '\n') c.out += '\n';
    loop_.Modify(c.fd, EPOLLOUT);
    Flush(c);
}

void ControlChannel::Flush(Client& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // EPOLLOUT resumes
        break;
    }
    Drop(c.fd);
}

void ControlChannel::Drop(int fd) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    if (it->second->timer) loop_.Cancel(it->second->timer);
    loop_.Unwatch(fd);
    ::close(fd);
    clients_.erase(it);
}

int RunCtlClient(const std::string& home, const std::vector<std::string>& words, std::ostream& out,
                 std::ostream& err) {
    const int fd = ConnectTo(ControlChannel::kSocketName);
    if (fd < 0) {
        err << "quorvel: no server is running in " << home << "\n";
        return 1;
    }
    std::string request = ControlChannel::EncodeWords(words) + "\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    // The server handles requests between other work; give it time, but a
    // server that has hung must not hang its client too.
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool closed = false;
    while (!closed) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            answer.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            closed = true;
    }
    ::close(fd);
    const std::size_t nl = answer.find('\n');
    if (!closed || nl == std::string::npos) {
        err << "quorvel: the server in " << home << " did not answer\n";
        return 1;
    }
    const std::string outcome = answer.substr(0, nl);
    out << answer.substr(nl + 1) << std::flush;
    if (outcome == "OK") return 0;
    if (outcome == "UNKNOWN") return 2;
    return 3;
}
