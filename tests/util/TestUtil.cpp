#include "tests/util/TestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/File.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace testutil {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvtest-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::operator/(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

void TempDir::Write(std::string_view name, std::string_view contents) const {
    const fs::path p = fs::path(path_) / std::string(name);
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    WriteFile(p.string(), contents);
}

std::string TempDir::Read(std::string_view name) const { return ReadFile(*this / name); }

std::string ReadFile(const std::string& path) {
    return files::ReadWholeFile(path).value_or(std::string());
}

bool WriteFile(const std::string& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return static_cast<bool>(out);
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

LineClient::~LineClient() { Close(); }

void LineClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buf_.clear();
    eof_ = false;
}

bool LineClient::Connect(int port, std::chrono::milliseconds timeout) {
    Close();
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return true;
        }
        close(fd_);
        fd_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool LineClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool LineClient::Fill(Clock::time_point deadline) {
    if (fd_ < 0 || eof_) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char tmp[65536];
    const ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buf_.append(tmp, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> LineClient::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto pos = buf_.find("\r\n");
        if (pos != std::string::npos) {
            std::string line = buf_.substr(0, pos);
            buf_.erase(0, pos + 2);
            return line;
        }
        if (!Fill(deadline)) return std::nullopt;
    }
}

std::optional<std::vector<std::string>> LineClient::ReadMultiLine(
    std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::vector<std::string> lines;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto line = ReadLine(std::max(left, std::chrono::milliseconds(1)));
        if (!line) return std::nullopt;
        if (*line == ".") return lines;
        if (line->size() > 1 && (*line)[0] == '.') line->erase(0, 1);
        lines.push_back(std::move(*line));
    }
}

std::string LineClient::ReadUntilClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Fill(deadline)) {}
    std::string all;
    all.swap(buf_);
    return all;
}

bool LineClient::WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Fill(deadline)) {}
    return eof_;
}

namespace {
bool AnyContains(const std::vector<std::string>& lines, std::string_view part) {
    for (const auto& l : lines)
        if (l.find(part) != std::string::npos) return true;
    return false;
}
}  // namespace

bool RecordingShell::Logged(std::string_view part) const { return AnyContains(log, part); }

bool RecordingHost::Logged(std::string_view part) const { return AnyContains(log, part); }

std::string RecordingHost::Joined() const {
    std::string all;
    for (const std::string& l : log) all += l + "\n";
    return all;
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) Stop(SIGTERM, std::chrono::seconds(5));
}

bool ServerProcess::Start(const std::string& binary, const std::string& home, int port,
                          std::chrono::milliseconds timeout) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const std::string log = home + "/stdout.txt";
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        const int nul = open("/dev/null", O_RDONLY);
        if (nul >= 0) dup2(nul, 0);
        execl(binary.c_str(), binary.c_str(), "--home", home.c_str(), "--headless",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    LineClient probe;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (probe.Connect(port, std::chrono::milliseconds(100))) return true;
    }
    return false;
}

int ServerProcess::Stop(int sig, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (Clock::now() < deadline) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

int RunCommand(const std::string& command, std::string* out) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out) *out = std::move(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WriteHome(const std::string& home, int port, std::string_view upstream) {
    std::ostringstream ini;
    ini << "[admin]\r\nListenPort=" << port << "\r\nNewsPath=news/\r\nPostingHost=" << upstream
        << "\r\n[Newsfeed01]\r\nName=" << upstream
        << "\r\nPort=119\r\nAllGroupFile=feed01.all\r\nSubGroupFile=feed01.sub\r\n";
    WriteFile(home + "/Quorvel.INI", ini.str());
    WriteFile(home + "/allowip.ini", "127.0.0.1\r\n");
    std::error_code ec;
    fs::create_directories(home + "/news/POSTS", ec);
}

}  // namespace testutil
