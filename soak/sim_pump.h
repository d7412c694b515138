#pragma once
// Runs the panel simulator (tools/panelsim, in-process) on the bench's
// event loop: the simulator's descriptors are watched, and its timers
// (alive messages, the pty probe) run from one loop timer. After every
// dispatch the watched set is brought in line with what the simulator
// wants, since connections come and go.

#include <map>

#include "event_loop.h"
#include "simulator.h"

namespace vorn::soak {

using bench::Clock;
using bench::EventLoop;

class SimPump {
public:
    SimPump(EventLoop& loop, sim::Simulator& sim) : loop_(loop), sim_(sim) {}
    ~SimPump();
    SimPump(const SimPump&) = delete;
    SimPump& operator=(const SimPump&) = delete;

    // Watches what the simulator wants now and arms its next timer; call it
    // after anything that may change a panel's transport (drop, send).
    void Sync();

private:
    void Dispatch(const pollfd* ready, size_t count);

    EventLoop& loop_;
    sim::Simulator& sim_;
    std::map<int, short> watched_;  // descriptor -> events
    EventLoop::TimerId timer_ = 0;
    Clock::time_point timerAt_{};
};

}  // namespace vorn::soak
