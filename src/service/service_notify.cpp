#include "service/service_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>

#include "core/diagnostics.h"

namespace vorn {

ServiceNotifier::ServiceNotifier(const LoopLag& lag) : lag_(lag) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket != nullptr && socket[0] != '\0';
    std::uint64_t usec = 0;
    // > 0 only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, is ours.
    if (active_ && sd_watchdog_enabled(0, &usec) > 0) watchdogUsec_ = usec;
}

void ServiceNotifier::Send(const std::string& state) {
    // Errors are not acted on: the driver runs the same without a manager.
    (void)sd_notify(0, state.c_str());
}

bool ServiceNotifier::LoopOnTime(Clock::time_point now) {
    const Clock::duration sinceTick = haveTick_ ? now - lastTick_ : kTickPeriod;
    haveTick_ = true;
    lastTick_ = now;
    const Clock::duration late = std::max(sinceTick - kTickPeriod, lag_.Longest(now, kLagWindowSeconds));
    if (late <= kOnTimeBound) {
        lateLogged_ = false;
        return true;
    }
    if (!lateLogged_) {
        lateLogged_ = true;
        DebugMessage("Watchdog - event loop %ld ms late - not reported alive ",
                     static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(late).count()));
    }
    return false;
}

void ServiceNotifier::OnEvent(ServiceEvent event, const std::function<std::string()>& statusLine,
                              Clock::time_point now) {
    if (!active_ || stopping_) return;
    std::string state;
    switch (event) {
        case ServiceEvent::kLoaded:
            if (ready_) return;
            ready_ = true;
            lastStatus_ = statusLine ? statusLine() : std::string();
            state = "READY=1\nSTATUS=" + lastStatus_;
            break;
        case ServiceEvent::kHousekeeping: {
            if (watchdogUsec_ > 0 && LoopOnTime(now)) state = "WATCHDOG=1";
            std::string status = statusLine ? statusLine() : std::string();
            if (status != lastStatus_) {
                lastStatus_ = status;
                state += (state.empty() ? "" : "\n") + std::string("STATUS=") + status;
            }
            break;
        }
        case ServiceEvent::kStopping:
            stopping_ = true;
            state = "STOPPING=1\nSTATUS=stopping";
            break;
    }
    if (!state.empty()) Send(state);
}

ServiceReporting::ServiceReporting(ServiceNotifier& notifier, std::function<std::string()> statusLine,
                                   std::function<void()> onStopping) {
    SetServiceEventHandler([&notifier, statusLine = std::move(statusLine),
                            onStopping = std::move(onStopping)](ServiceEvent event) {
        if (event == ServiceEvent::kStopping && onStopping) onStopping();
        notifier.OnEvent(event, statusLine);
    });
}

ServiceReporting::~ServiceReporting() { SetServiceEventHandler(nullptr); }

}  // namespace vorn
