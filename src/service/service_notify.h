#pragma once
// Reports to the service manager through libsystemd's sd_notify: READY=1
// once the driver has attached to its Infodriver and loaded, WATCHDOG=1 on
// every housekeeping tick that finds the event loop on time when the manager
// asked for a watchdog (WATCHDOG_USEC), STATUS= with the mode and the panel summary whenever it
// changes, STOPPING=1 as the shutdown begins. Without NOTIFY_SOCKET every
// call does nothing. GUI thread only.
//
// sd_notify sends one datagram to the manager's local socket; it does not
// wait for an answer.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/loop_lag.h"
#include "core/service_events.h"

namespace vorn {

class ServiceNotifier {
public:
    using Clock = LoopLag::Clock;
    // The loop is on time at a housekeeping tick when the tick came at most
    // this much after its second was up, and no lag above it was measured in
    // the last 2 to 3 seconds (LoopLag). A loop that keeps running late
    // feeds the watchdog no more, and systemd restarts the driver; one late
    // turn costs a ping or three of the many in WatchdogSec.
    static constexpr std::chrono::milliseconds kOnTimeBound{1000};
    static constexpr std::chrono::milliseconds kTickPeriod{1000};  // the housekeeping tick's
    static constexpr int kLagWindowSeconds = 3;

    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (and WATCHDOG_PID) once; lag is
    // the loop's measurement (the driver's own unless a test gives one).
    explicit ServiceNotifier(const LoopLag& lag = DriverLoopLag());

    bool active() const { return active_; }
    // The watchdog interval the manager asked for; 0 when there is none.
    std::uint64_t watchdogUsec() const { return watchdogUsec_; }

    // One event of the driver; statusLine gives the current STATUS= text and
    // is asked only when something is to be sent.
    void OnEvent(ServiceEvent event, const std::function<std::string()>& statusLine,
                 Clock::time_point now = Clock::now());

private:
    void Send(const std::string& state);
    bool LoopOnTime(Clock::time_point now);

    const LoopLag& lag_;
    bool haveTick_ = false;
    Clock::time_point lastTick_{};
    bool lateLogged_ = false;

    bool active_ = false;
    std::uint64_t watchdogUsec_ = 0;
    bool ready_ = false;
    bool stopping_ = false;
    std::string lastStatus_;
};

// Installs the notifier as the driver's service event handler (replacing any
// other) for the life of this object; statusLine as in OnEvent. onStopping
// (may be empty) is called too when the shutdown begins, before the panels
// are let go.
class ServiceReporting {
public:
    ServiceReporting(ServiceNotifier& notifier, std::function<std::string()> statusLine,
                     std::function<void()> onStopping = nullptr);
    ~ServiceReporting();
    ServiceReporting(const ServiceReporting&) = delete;
    ServiceReporting& operator=(const ServiceReporting&) = delete;
};

}  // namespace vorn
