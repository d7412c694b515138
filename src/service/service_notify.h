#pragma once
// Reports to the service manager through libsystemd's sd_notify: READY=1
// once the driver has attached to its Infodriver and loaded, WATCHDOG=1 on
// every housekeeping tick when the manager asked for a watchdog
// (WATCHDOG_USEC), STATUS= with the mode and the panel summary whenever it
// changes, STOPPING=1 as the shutdown begins. Without NOTIFY_SOCKET every
// call does nothing. GUI thread only.
//
// sd_notify sends one datagram to the manager's local socket; it does not
// wait for an answer.

#include <cstdint>
#include <functional>
#include <string>

#include "core/service_events.h"

namespace vorn {

class ServiceNotifier {
public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (and WATCHDOG_PID) once.
    ServiceNotifier();

    bool active() const { return active_; }
    // The watchdog interval the manager asked for; 0 when there is none.
    std::uint64_t watchdogUsec() const { return watchdogUsec_; }

    // One event of the driver; statusLine gives the current STATUS= text and
    // is asked only when something is to be sent.
    void OnEvent(ServiceEvent event, const std::function<std::string()>& statusLine);

private:
    void Send(const std::string& state);

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
