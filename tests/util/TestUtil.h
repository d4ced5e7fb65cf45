#pragma once
// Helpers shared by the tests: temporary directories, a line-oriented NNTP
// client whose every read times out (so a hang fails the test instead of
// stalling the run), a Shell that records what it was shown, and a running
// server binary with its own home.

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/Shell.h"
#include "core/Host.h"

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // Path() + "/" + name.
    std::string operator/(std::string_view name) const;
    // Writes a file below the directory, creating parent folders.
    void Write(std::string_view name, std::string_view contents) const;
    std::string Read(std::string_view name) const;

private:
    std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, std::string_view contents);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

class LineClient {
public:
    LineClient() = default;
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Connect(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool Send(std::string_view bytes);
    // One line without its CR LF; nullopt on time-out or close.
    std::optional<std::string> ReadLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Lines up to the "." line of a multi-line reply (dot-unstuffed, the
    // terminator not included); nullopt on time-out or close.
    std::optional<std::vector<std::string>> ReadMultiLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Everything until the peer closes or the time-out passes.
    std::string ReadUntilClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the peer has closed (reads EOF within the time-out).
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Close();
    int Fd() const { return fd_; }

private:
    bool Fill(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
    std::string buf_;
    bool eof_ = false;
};

class RecordingShell : public Shell {
public:
    void AddLogLine(std::string_view line) override { log.emplace_back(line); }
    void ShowStatus(std::span<const std::string> lines) override {
        status.assign(lines.begin(), lines.end());
    }
    void ShowConnections(const ConnectionTree& tree) override { connections = tree; }
    void ShowMessage(std::string_view title, std::string_view text) override {
        messages.emplace_back(std::string(title) + ": " + std::string(text));
    }
    bool Logged(std::string_view part) const;

    std::vector<std::string> log;
    std::vector<std::string> status;
    std::vector<std::string> messages;
    ConnectionTree connections;
};

// A Host that keeps what sessions and the dial-up code report.
class RecordingHost : public Host {
public:
    void UpdLog(std::string_view text) override { log.emplace_back(text); }
    void IncSent(std::int64_t bytes) override { sent += bytes; }
    void IncRecvd(std::int64_t bytes) override { received += bytes; }
    void MessageBox(std::string_view text, std::string_view title) override {
        messages.emplace_back(std::string(title) + ": " + std::string(text));
    }
    bool Logged(std::string_view part) const;
    // Every line, each ended by a line feed (for failure messages).
    std::string Joined() const;

    std::vector<std::string> log;
    std::vector<std::string> messages;
    std::int64_t sent = 0;
    std::int64_t received = 0;
};

// The server binary running headless in a home directory, stopped (SIGTERM,
// then SIGKILL) when the object goes.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    // Starts binary --home home --headless and waits until port accepts.
    bool Start(const std::string& binary, const std::string& home, int port,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends a signal and waits for the exit; returns the exit code (or
    // 128 + signal), -1 when it did not end in time.
    int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
};

// Runs a command line through /bin/sh; returns its exit code and fills out
// with what it printed on standard output.
int RunCommand(const std::string& command, std::string* out = nullptr);

// Writes a minimal home: Quorvel.INI with the news path "news/", the listen
// port and an upstream (so no first-start questions), allowip.ini admitting
// loopback, and the news directory.
void WriteHome(const std::string& home, int port, std::string_view upstream = "127.0.0.1");

}  // namespace testutil
