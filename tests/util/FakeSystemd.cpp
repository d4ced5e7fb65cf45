#include "tests/util/FakeSystemd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <sstream>

#include "tests/util/TestUtil.h"

namespace testutil {

FakeSystemctl::FakeSystemctl(std::string dir) : dir_(std::move(dir)) {
    WriteFile(Path(),
              "#!/bin/sh\n"
              "here=$(dirname \"$0\")\n"
              "echo \"$*\" >> \"$here/systemctl.log\"\n"
              "if [ \"$1\" = is-enabled ] && [ -f \"$here/state\" ]; then cat \"$here/state\"; fi\n"
              "if [ -f \"$here/fail-$1\" ]; then exit 4; fi\n"
              "exit 0\n");
    ::chmod(Path().c_str(), 0755);
}

std::vector<std::string> FakeSystemctl::Calls() const {
    std::vector<std::string> calls;
    std::istringstream in(ReadFile(dir_ + "/systemctl.log"));
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
}

void FakeSystemctl::FailOn(std::string_view verb) const {
    WriteFile(dir_ + "/fail-" + std::string(verb), "");
}

void FakeSystemctl::SetState(std::string_view state) const {
    WriteFile(dir_ + "/state", std::string(state) + "\n");
}

void FakeSystemctl::Clear() const { ::unlink((dir_ + "/systemctl.log").c_str()); }

DatagramSink::DatagramSink(std::string name) : name_(std::move(name)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name_.empty() || name_.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, name_.data(), name_.size());
    const bool abstract = name_[0] == '@';
    if (abstract) addr.sun_path[0] = '\0';
    const auto len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size() + (abstract ? 0 : 1));
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

DatagramSink::~DatagramSink() {
    if (fd_ < 0) return;
    ::close(fd_);
    if (name_[0] != '@') ::unlink(name_.c_str());
}

std::optional<std::string> DatagramSink::Receive(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

bool DatagramSink::WaitFor(std::string_view part, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const std::optional<std::string> d = Receive(left);
        if (!d) return false;
        seen_.push_back(*d);
        if (d->find(part) != std::string::npos) return true;
    }
}

std::string DatagramSink::SeenText() const {
    std::string all;
    for (const std::string& s : seen_) {
        std::string one = s;
        for (char& c : one)
            if (c == '\n') c = '|';
        all += "[" + one + "] ";
    }
    return all;
}

}  // namespace testutil
