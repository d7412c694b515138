#include "sim_pump.h"

#include <vector>

namespace vorn::soak {

SimPump::~SimPump() {
    for (const auto& [fd, events] : watched_) loop_.Unwatch(fd);
    if (timer_ != 0) loop_.Cancel(timer_);
}

void SimPump::Dispatch(const pollfd* ready, size_t count) {
    sim_.Dispatch({ready, count}, Clock::now());
    Sync();
}

void SimPump::Sync() {
    std::map<int, short> wanted;
    for (const pollfd& p : sim_.PollSet()) wanted[p.fd] |= p.events;
    for (auto it = watched_.begin(); it != watched_.end();) {
        auto w = wanted.find(it->first);
        if (w == wanted.end() || w->second != it->second) {
            loop_.Unwatch(it->first);
            it = watched_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [fd, events] : wanted) {
        if (watched_.count(fd) != 0) continue;
        watched_[fd] = events;
        loop_.Watch(
            fd, [events = events] { return events; },
            [this, fd = fd, events = events](short revents) {
                const pollfd p{fd, events, revents};
                Dispatch(&p, 1);
            });
    }
    // The simulator's own timers: one loop timer at the earliest of them.
    const int ms = sim_.TimeoutMs(Clock::now());
    const Clock::time_point at =
        ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
    // A timer that fires earlier than needed only dispatches once more.
    if (timer_ != 0 && timerAt_ <= at) return;
    if (timer_ != 0) loop_.Cancel(timer_);
    timer_ = 0;
    if (ms < 0) return;
    timerAt_ = at;
    timer_ = loop_.At(at, [this] {
        timer_ = 0;
        Dispatch(nullptr, 0);
    });
}

}  // namespace vorn::soak
