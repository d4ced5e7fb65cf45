#pragma once
// The core's one thread runs around this loop: messages posted to targets
// (handled in posting order), readiness of watched descriptors (epoll), and
// a tick about once a second. Nothing in the core nests a loop: a handler
// that must wait posts itself a message, arms a timer or waits for the next
// readiness instead.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "core/File.h"

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

class EventLoop;

// Anything that receives posted messages: the controller, sessions, the
// timer manager's targets. Messages still queued for a target that has been
// destroyed are dropped.
class MessageTarget {
public:
    explicit MessageTarget(EventLoop& loop);
    virtual ~MessageTarget();
    MessageTarget(const MessageTarget&) = delete;
    MessageTarget& operator=(const MessageTarget&) = delete;

    // Handles one message; returns whether the message was known.
    virtual bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) = 0;

    void Post(int message, WPARAM wParam = 0, LPARAM lParam = 0);
    EventLoop& Loop() const { return loop_; }
    std::uint64_t TargetId() const { return id_; }

private:
    EventLoop& loop_;
    std::uint64_t id_;
};

class EventLoop {
public:
    // Called with the epoll event bits (EPOLLIN, EPOLLOUT, EPOLLHUP, ...).
    using FdHandler = std::function<void(std::uint32_t events)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void Post(MessageTarget* target, int message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Whether the target with this id (MessageTarget::TargetId) still exists.
    bool Alive(std::uint64_t targetId) const { return live_.count(targetId) != 0; }

    // The only thread-safe entry: queues a call to run on the loop's thread
    // (in the order of calls) and wakes the loop. A worker that may outlive
    // the loop keeps a RemoteQueue instead, whose Post fails once the loop
    // is gone.
    class RemoteQueue {
    public:
        bool Post(std::function<void()> call);

    private:
        friend class EventLoop;
        std::mutex mutex_;
        std::deque<std::function<void()>> calls_;
        int wakeFd_ = -1;  // eventfd; -1 once the loop is destroyed
    };
    void PostFromThread(std::function<void()> call) { remote_->Post(std::move(call)); }
    std::shared_ptr<RemoteQueue> Remote() const { return remote_; }

    // Descriptor readiness. Watch replaces an earlier handler for the same
    // descriptor. A handler may unwatch its own or any other descriptor.
    bool Watch(int fd, std::uint32_t events, FdHandler handler);
    bool Modify(int fd, std::uint32_t events);
    void Unwatch(int fd);
    bool Watching(int fd) const { return fds_.count(fd) != 0; }

    // Called about once a second. Several handlers may be registered; the
    // returned id removes one. A late tick is merged, not repeated.
    int AddTick(std::function<void()> handler);
    void RemoveTick(int id);

    // Called at the end of every pass, after readiness, timers and posted
    // messages: work that should happen once per batch of events rather
    // than once per event (flushing buffered output, reaping).
    int AddPassEnd(std::function<void()> handler);
    void RemovePassEnd(int id);

    // A one-shot call after the given milliseconds, on the loop's thread
    // (used for waits that were blocking sleeps). Returns an id for Cancel.
    int After(int milliseconds, std::function<void()> handler);
    void Cancel(int id);

    // Runs until Stop. RunOnce handles what is ready, waiting at most
    // timeoutMs for something to become ready (-1: until something does).
    // Neither may be called from inside a handler: a nested pass would run
    // messages and readiness in the middle of the handler that called it,
    // so the process aborts instead.
    void Run();
    void RunOnce(int timeoutMs);
    void Stop() { stopped_ = true; }
    bool Stopped() const { return stopped_; }
    // True while messages are waiting (a front-end's own loop uses it).
    bool HasPending() const { return !queue_.empty(); }
    // Milliseconds until the next tick or one-shot is due (0: now).
    int NextTimeoutMs() const;
    // The epoll descriptor, for a front-end that drives the loop from its
    // own event loop (a socket notifier plus a timer for NextTimeoutMs).
    int Fd() const { return epfd_.Get(); }

    // Messages and live targets (used by MessageTarget).
    std::uint64_t Register(MessageTarget* target);
    void Unregister(std::uint64_t id);

private:
    struct Posted {
        MessageTarget* target;
        std::uint64_t id;
        int message;
        WPARAM wParam;
        LPARAM lParam;
    };
    struct Timer {
        std::int64_t due;  // monotonic milliseconds
        std::function<void()> handler;
    };
    struct Watched {
        std::uint32_t generation;
        std::shared_ptr<FdHandler> handler;
    };
    void DispatchPosted();
    void RunRemote();
    void RunTimers();
    static std::int64_t NowMs();

    FileDescriptor epfd_;
    bool stopped_ = false;
    bool inPass_ = false;
    std::uint64_t nextTarget_ = 1;
    std::unordered_set<std::uint64_t> live_;
    std::deque<Posted> queue_;
    // The generation tells a stale readiness of a closed descriptor from
    // the new socket that reused its number within one epoll batch.
    std::unordered_map<int, Watched> fds_;
    std::uint32_t nextGeneration_ = 1;
    std::shared_ptr<RemoteQueue> remote_;
    std::unordered_map<int, std::function<void()>> ticks_;
    int nextTick_ = 1;
    std::unordered_map<int, std::function<void()>> passEnds_;
    std::int64_t nextTickDue_ = 0;
    std::unordered_map<int, Timer> timers_;
    int nextTimer_ = 1;
};
