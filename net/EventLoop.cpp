#include "net/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

MessageTarget::MessageTarget(EventLoop& loop) : loop_(loop), id_(loop.Register(this)) {}

MessageTarget::~MessageTarget() { loop_.Unregister(id_); }

void MessageTarget::Post(int message, WPARAM wParam, LPARAM lParam) {
    loop_.Post(this, message, wParam, lParam);
}

namespace {
std::uint64_t Key(std::uint32_t generation, int fd) {
    return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
}
}  // namespace

EventLoop::EventLoop()
    : epfd_(epoll_create1(EPOLL_CLOEXEC)), remote_(std::make_shared<RemoteQueue>()) {
    nextTickDue_ = NowMs() + 1000;
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake >= 0) {
        remote_->wakeFd_ = wake;
        Watch(wake, EPOLLIN, [this, wake](std::uint32_t) {
            std::uint64_t count;
            while (read(wake, &count, sizeof count) > 0) {}
            RunRemote();
        });
    }
}

EventLoop::~EventLoop() {
    int wake;
    {
        std::lock_guard<std::mutex> lock(remote_->mutex_);
        wake = remote_->wakeFd_;
        remote_->wakeFd_ = -1;
        remote_->calls_.clear();
    }
    if (wake >= 0) close(wake);
}

bool EventLoop::RemoteQueue::Post(std::function<void()> call) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wakeFd_ < 0) return false;
    calls_.push_back(std::move(call));
    const std::uint64_t one = 1;
    // A full counter still leaves the descriptor readable, so a failed
    // write loses no wake-up.
    [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
    return true;
}

void EventLoop::RunRemote() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(remote_->mutex_);
        calls.swap(remote_->calls_);
    }
    for (auto& call : calls) call();
}

std::int64_t EventLoop::NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint64_t EventLoop::Register(MessageTarget*) {
    const std::uint64_t id = nextTarget_++;
    live_.insert(id);
    return id;
}

void EventLoop::Unregister(std::uint64_t id) { live_.erase(id); }

void EventLoop::Post(MessageTarget* target, int message, WPARAM wParam, LPARAM lParam) {
    if (target == nullptr) return;
    queue_.push_back(Posted{target, target->TargetId(), message, wParam, lParam});
}

bool EventLoop::Watch(int fd, std::uint32_t events, FdHandler handler) {
    const std::uint32_t generation = nextGeneration_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = Key(generation, fd);
    const bool known = fds_.count(fd) != 0;
    if (epoll_ctl(epfd_.Get(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    fds_[fd] = Watched{generation, std::make_shared<FdHandler>(std::move(handler))};
    return true;
}

bool EventLoop::Modify(int fd, std::uint32_t events) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return false;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = Key(it->second.generation, fd);
    return epoll_ctl(epfd_.Get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::Unwatch(int fd) {
    if (fds_.erase(fd) != 0) epoll_ctl(epfd_.Get(), EPOLL_CTL_DEL, fd, nullptr);
}

int EventLoop::AddTick(std::function<void()> handler) {
    const int id = nextTick_++;
    ticks_[id] = std::move(handler);
    return id;
}

void EventLoop::RemoveTick(int id) { ticks_.erase(id); }

int EventLoop::AddPassEnd(std::function<void()> handler) {
    const int id = nextTick_++;
    passEnds_[id] = std::move(handler);
    return id;
}

void EventLoop::RemovePassEnd(int id) { passEnds_.erase(id); }

int EventLoop::After(int milliseconds, std::function<void()> handler) {
    const int id = nextTimer_++;
    timers_[id] = Timer{NowMs() + std::max(0, milliseconds), std::move(handler)};
    return id;
}

void EventLoop::Cancel(int id) { timers_.erase(id); }

int EventLoop::NextTimeoutMs() const {
    if (!queue_.empty()) return 0;
    std::int64_t due = nextTickDue_;
    for (const auto& [id, t] : timers_) due = std::min(due, t.due);
    return static_cast<int>(std::max<std::int64_t>(0, due - NowMs()));
}

void EventLoop::DispatchPosted() {
    // Only what was queued before this pass runs now; messages posted by the
    // handlers wait for the next pass, after readiness has been looked at,
    // so a session that keeps posting to itself cannot starve the others.
    std::size_t n = queue_.size();
    while (n-- > 0 && !queue_.empty()) {
        Posted p = queue_.front();
        queue_.pop_front();
        if (live_.count(p.id) != 0) p.target->HandleMessage(p.message, p.wParam, p.lParam);
    }
}

void EventLoop::RunTimers() {
    const std::int64_t now = NowMs();
    if (now >= nextTickDue_) {
        // A late tick is merged, not repeated, so periods stretch while we block.
        nextTickDue_ = now + 1000;
        std::vector<int> ids;
        for (const auto& [id, h] : ticks_) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        for (int id : ids) {
            auto it = ticks_.find(id);
            if (it == ticks_.end()) continue;
            auto h = it->second;  // the handler may remove itself
            h();
        }
    }
    std::vector<std::pair<std::int64_t, int>> due;
    for (const auto& [id, t] : timers_)
        if (t.due <= now) due.emplace_back(t.due, id);
    std::sort(due.begin(), due.end());
    for (const auto& [when, id] : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;
        auto h = std::move(it->second.handler);
        timers_.erase(it);
        h();
    }
}

void EventLoop::RunOnce(int timeoutMs) {
    if (inPass_) {
        std::fputs("quorvel: EventLoop::RunOnce called from inside a handler\n", stderr);
        std::abort();
    }
    inPass_ = true;
    int wait = NextTimeoutMs();
    if (timeoutMs >= 0) wait = std::min(wait, timeoutMs);
    epoll_event events[64];
    const int n = epoll_wait(epfd_.Get(), events, 64, wait);
    for (int i = 0; i < n; ++i) {
        const int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
        auto it = fds_.find(fd);
        if (it == fds_.end() || it->second.generation != generation) continue;
        auto handler = it->second.handler;  // survives an Unwatch inside the call
        (*handler)(events[i].events);
    }
    RunTimers();
    DispatchPosted();
    if (!passEnds_.empty()) {
        std::vector<int> ids;
        for (const auto& [id, h] : passEnds_) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        for (int id : ids) {
            auto it = passEnds_.find(id);
            if (it == passEnds_.end()) continue;
            auto h = it->second;  // the handler may remove itself
            h();
        }
    }
    inPass_ = false;
}

void EventLoop::Run() {
    stopped_ = false;
    while (!stopped_) RunOnce(-1);
}
