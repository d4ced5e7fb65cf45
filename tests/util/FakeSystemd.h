#pragma once
// Stand-ins for systemd's side of a service, for tests that must not touch
// the real system: a systemctl that records its arguments, and a datagram
// socket that receives what the service sends to NOTIFY_SOCKET or syslog.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testutil {

// dir/systemctl: a shell script that appends its arguments (one call a
// line) to dir/systemctl.log, prints dir/state for "is-enabled", and exits
// 4 for a verb named by a file dir/fail-<verb>.
class FakeSystemctl {
public:
    explicit FakeSystemctl(std::string dir);
    std::string Path() const { return dir_ + "/systemctl"; }
    std::vector<std::string> Calls() const;
    void FailOn(std::string_view verb) const;
    void SetState(std::string_view state) const;
    void Clear() const;

private:
    std::string dir_;
};

// A Unix datagram socket bound to a path, or to an abstract name "@name".
class DatagramSink {
public:
    explicit DatagramSink(std::string name);
    ~DatagramSink();
    DatagramSink(const DatagramSink&) = delete;
    DatagramSink& operator=(const DatagramSink&) = delete;
    const std::string& Name() const { return name_; }
    bool Bound() const { return fd_ >= 0; }
    // The next datagram; nullopt when none came within the time-out.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout);
    // Datagrams up to and including the first that contains part; every
    // one received (printable for a failure message) is kept in Seen().
    bool WaitFor(std::string_view part, std::chrono::milliseconds timeout);
    const std::vector<std::string>& Seen() const { return seen_; }
    std::string SeenText() const;

private:
    std::string name_;
    int fd_ = -1;
    std::vector<std::string> seen_;
};

}  // namespace testutil
