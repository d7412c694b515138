#pragma once
// What the driver reports about itself to the outside (the service manager
// and the status page): three moments of its life, passed to one handler
// that the executable installs, and per-panel counters that only grow.
// Header-only, so that any layer can report without linking more. GUI thread
// only, like the rest of the driver state.

#include <cstdint>
#include <functional>
#include <utility>

namespace vorn {

enum class ServiceEvent {
    kLoaded,        // attached to the Infodriver and the start-up load is done
    kHousekeeping,  // one housekeeping tick (every second) has run
    kStopping,      // the shutdown (CloseApp) begins
};

using ServiceEventHandler = std::function<void(ServiceEvent)>;

inline ServiceEventHandler& ServiceEventHandlerSlot() {
    static ServiceEventHandler handler;
    return handler;
}

// Installs the handler; an empty one turns reporting off.
inline void SetServiceEventHandler(ServiceEventHandler handler) { ServiceEventHandlerSlot() = std::move(handler); }

// Calls the handler if there is one; nothing otherwise.
inline void ReportServiceEvent(ServiceEvent event) {
    if (const ServiceEventHandler& handler = ServiceEventHandlerSlot()) handler(event);
}

// Counters of panel 1..12 since the process started. They are never reset
// (a monitoring system reads them as counters) and 64 bits never wrap in
// practice. Index 0 takes any other panel number and is never shown.
struct PanelServiceCounters {
    std::uint64_t presses = 0;  // button presses received (not releases)
    std::uint64_t linkUps = 0;  // times the line came up: a TCP connect, a serial open
    // Times the line came up again after the first time.
    std::uint64_t reconnects() const { return linkUps > 0 ? linkUps - 1 : 0; }
};

constexpr int kServiceCounterPanels = 12;

inline PanelServiceCounters& PanelCounters(int panel) {
    static PanelServiceCounters counters[kServiceCounterPanels + 1];
    return counters[(panel >= 1 && panel <= kServiceCounterPanels) ? panel : 0];
}

inline void CountPanelPress(int panel) { ++PanelCounters(panel).presses; }
inline void CountPanelLinkUp(int panel) { ++PanelCounters(panel).linkUps; }

}  // namespace vorn
