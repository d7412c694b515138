#include "event_loop.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "child_process.h"

namespace vorn::bench {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    if (g_interrupted == 0) KillAllChildren();
    g_interrupted = 1;
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void EventLoop::Watch(int fd, Interest interest, Handler handler) {
    fds_[fd] = Watched{std::move(interest), std::move(handler), ++generation_};
}

void EventLoop::Unwatch(int fd) { fds_.erase(fd); }

EventLoop::TimerId EventLoop::At(Clock::time_point when, std::function<void()> fn) {
    const TimerId id = nextTimer_++;
    timers_.emplace(when, Timer{id, std::move(fn)});
    return id;
}

void EventLoop::Cancel(TimerId id) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            return;
        }
    }
}

bool EventLoop::RunUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    // Bounded by the deadline: every turn waits at most until it.
    for (;;) {
        if (g_interrupted != 0) throw Interrupted();
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        Turn(deadline);
    }
}

void EventLoop::RunFor(Clock::duration d) {
    RunUntil([] { return false; }, Clock::now() + d);
}

void EventLoop::Turn(Clock::time_point deadline) {
    // Due timers first; a timer may add timers, which wait for the next turn.
    now_ = Clock::now();
    std::vector<Timer> due;
    while (!timers_.empty() && timers_.begin()->first <= now_) {
        due.push_back(std::move(timers_.begin()->second));
        timers_.erase(timers_.begin());
    }
    for (Timer& t : due) t.fn();
    if (!due.empty()) return;  // the caller's condition may hold now

    Clock::time_point wake = deadline;
    if (!timers_.empty() && timers_.begin()->first < wake) wake = timers_.begin()->first;
    std::vector<pollfd> polled;
    std::vector<uint64_t> generations;
    for (const auto& [fd, w] : fds_) {
        const short events = w.interest ? w.interest() : POLLIN;
        polled.push_back({fd, events, 0});
        generations.push_back(w.generation);
    }
    const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int rc = ppoll(polled.data(), polled.size(), &ts, nullptr);
    now_ = Clock::now();
    if (rc < 0) {
        if (errno == EINTR) return;
        throw BenchError(std::string("poll: ") + std::strerror(errno));
    }
    for (size_t i = 0; i < polled.size(); ++i) {
        if (polled[i].revents == 0) continue;
        // A handler may have removed or replaced a later descriptor.
        auto it = fds_.find(polled[i].fd);
        if (it == fds_.end() || it->second.generation != generations[i]) continue;
        Handler handler = it->second.handler;  // the handler may unwatch itself
        handler(polled[i].revents);
    }
}

}  // namespace vorn::bench
