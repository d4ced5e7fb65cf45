#include "sched/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "net/EventLoop.h"

extern char** environ;

namespace {

constexpr int kReapRetryMs = 20;

}  // namespace

ChildProcesses::ChildProcesses(EventLoop& loop) : loop_(loop) {}

ChildProcesses::~ChildProcesses() {
    for (auto& [id, c] : children_) {
        if (c->fd >= 0) {
            loop_.Unwatch(c->fd);
            ::close(c->fd);
        }
        if (c->reapTimer != 0) loop_.Cancel(c->reapTimer);
        if (c->keepOnExit) continue;
        ::kill(c->pid, SIGKILL);
        int status = 0;
        while (::waitpid(c->pid, &status, 0) < 0 && errno == EINTR) {}
    }
}

bool ChildProcesses::Findable(const std::string& program) {
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        // An empty entry means the current directory.
        const std::string candidate =
            (end > start ? dirs.substr(start, end - start) : std::string(".")) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

int ChildProcesses::Start(const std::vector<std::string>& argv, Done done, int* error,
                          bool keepOnExit, int passFd) {
    if (error != nullptr) *error = 0;
    if (argv.empty()) {
        if (error != nullptr) *error = EINVAL;
        return 0;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error != nullptr) *error = errno;
        return 0;
    }
    // The child writes blocking; only our end must not block.
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) & ~O_NONBLOCK);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Messages in one language, so that the few we look at can be read.
    std::vector<std::string> envText;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        if (std::strncmp(*e, "LC_ALL=", 7) != 0) envText.emplace_back(*e);
    envText.emplace_back("LC_ALL=C");
    std::vector<char*> env;
    env.reserve(envText.size() + 1);
    for (std::string& e : envText) env.push_back(e.data());
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // dup2 onto another number clears close-on-exec; onto itself it would not.
    int passed = -1;
    if (passFd >= 0) {
        passed = ::fcntl(passFd, F_DUPFD_CLOEXEC, kPassedFd + 1);
        if (passed < 0) {
            if (error != nullptr) *error = errno;
            posix_spawn_file_actions_destroy(&actions);
            ::close(fds[0]);
            ::close(fds[1]);
            return 0;
        }
        posix_spawn_file_actions_adddup2(&actions, passed, kPassedFd);
    }
    // The host blocks the signals it reads from a descriptor; the child
    // must get them, or Kill's SIGTERM would not end it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (passed >= 0) ::close(passed);
    if (rc != 0) {
        ::close(fds[0]);
        if (error != nullptr) *error = rc;
        return 0;
    }

    const int id = nextId_++;
    auto child = std::make_unique<Child>();
    child->pid = pid;
    child->fd = fds[0];
    child->done = std::move(done);
    child->keepOnExit = keepOnExit;
    children_[id] = std::move(child);
    loop_.Watch(fds[0], EPOLLIN, [this, id](std::uint32_t) { OnReadable(id); });
    return id;
}

void ChildProcesses::Kill(int id) {
    auto it = children_.find(id);
    if (it == children_.end() || it->second->killed) return;
    it->second->killed = true;
    ::kill(it->second->pid, SIGTERM);
}

void ChildProcesses::OnReadable(int id) {
    auto it = children_.find(id);
    if (it == children_.end()) return;
    Child& c = *it->second;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n > 0) {
            // A helper that talks without end must not eat our memory.
            if (c.output.size() < 1 << 20) c.output.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        break;  // end of output (or a read error): the child is done with us
    }
    loop_.Unwatch(c.fd);
    ::close(c.fd);
    c.fd = -1;
    Reap(id);
}

void ChildProcesses::Reap(int id) {
    auto it = children_.find(id);
    if (it == children_.end()) return;
    Child& c = *it->second;
    c.reapTimer = 0;
    int status = 0;
    pid_t r = ::waitpid(c.pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR) r = ::waitpid(c.pid, &status, WNOHANG);
    if (r == 0) {
        // Output closed a moment before the exit; look again shortly.
        c.reapTimer = loop_.After(kReapRetryMs, [this, id] { Reap(id); });
        return;
    }
    int code = -1;
    if (r == c.pid) {
        if (WIFEXITED(status))
            code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            code = 128 + WTERMSIG(status);
    }
    std::unique_ptr<Child> done = std::move(it->second);
    children_.erase(it);
    if (!done->killed && done->done) done->done(code, std::move(done->output));
}
