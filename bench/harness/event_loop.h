#pragma once
// The harness's single poll loop: descriptors with handlers, one-shot
// timers, and RunUntil(condition, deadline), the only way the harness waits.
// Handlers see Now(), the time the poll returned, so every descriptor ready
// in one turn carries the same arrival time. SIGINT/SIGTERM/SIGHUP end the
// wait with an Interrupted exception.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

namespace vorn::bench {

using Clock = std::chrono::steady_clock;

// A fault of the bench set-up (a child that did not start, a deadline of a
// step that must succeed); the run stops and reports it.
struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// Installs the handlers of the interrupting signals; the first of them also
// kills every child (see child_process.h).
void InstallInterruptHandlers();

class EventLoop {
public:
    using Handler = std::function<void(short revents)>;
    using Interest = std::function<short()>;
    using TimerId = uint64_t;

    // interest() is asked before every poll for the events wanted on fd.
    void Watch(int fd, Interest interest, Handler handler);
    void Unwatch(int fd);
    TimerId At(Clock::time_point when, std::function<void()> fn);
    void Cancel(TimerId id);

    // Runs until done() holds or the deadline passes; returns done().
    bool RunUntil(const std::function<bool()>& done, Clock::time_point deadline);
    void RunFor(Clock::duration d);

    Clock::time_point Now() const { return now_; }

private:
    void Turn(Clock::time_point deadline);

    struct Watched {
        Interest interest;
        Handler handler;
        uint64_t generation;
    };
    std::map<int, Watched> fds_;
    uint64_t generation_ = 0;
    struct Timer {
        TimerId id;
        std::function<void()> fn;
    };
    std::multimap<Clock::time_point, Timer> timers_;
    TimerId nextTimer_ = 1;
    Clock::time_point now_ = Clock::now();
};

}  // namespace vorn::bench
