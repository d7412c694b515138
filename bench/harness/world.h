#pragma once
// One bench set-up in a directory of its own: a fresh reference Infodriver,
// the fake panels, the driver's settings naming them, the control client,
// and the systems under test (the driver, or the relay) started against it.
// The destructor stops the systems (SIGTERM, then SIGKILL), then the
// Infodriver.

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "control_client.h"
#include "event_loop.h"
#include "fake_panel.h"

namespace vorn::bench {

enum class System { Driver, Relay };
const char* SystemName(System s);

struct Binaries {
    std::string driver;
    std::string relay;
    std::string infodriver;
};

constexpr int kDevice = 7;
constexpr int kSlotsPerPanel = 300;
constexpr int kButtons = 48;  // CP-2048E
constexpr int kLabelOffset = 50;
constexpr int kColourOffset = 100;
constexpr int kAltLabelOffset = 150;
constexpr int kAltColourOffset = 200;
constexpr int kFlashOffset = 251;
constexpr int kDriverStatusSlot = 4001;
constexpr int SlotOf(int panel, int offset) { return kSlotsPerPanel * (panel - 1) + offset; }

class World {
public:
    World(EventLoop& loop, const Binaries& bins, const std::string& dir, int panels);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Infodriver, panels (alive every alivePeriod, 0: only at connect),
    // settings, control client. Throws BenchError.
    void Start(Clock::duration alivePeriod);
    // Starts the driver or the relay; main or reserve is up to the Infodriver.
    ChildProcess& Launch(System s);
    // Every panel connected and framed at, then no frame anywhere for quiet.
    void WaitPanelsReady(Clock::duration timeout, Clock::duration quiet);
    // Waits until no frame and no slot change has come for quiet.
    bool WaitQuiet(Clock::duration quiet, Clock::time_point deadline);
    // Throws when a system has ended by itself.
    void CheckSystems() const;
    void StopSystems();

    // The driver's status page port (StatusHttpPort); 0, the default, none.
    // Set before Start.
    int statusPort = 0;

    EventLoop& loop() { return loop_; }
    ControlClient& control() { return *control_; }
    FakePanel& panel(int n) { return *panels_[static_cast<size_t>(n - 1)]; }
    int panelCount() const { return static_cast<int>(panels_.size()); }
    const std::string& dir() const { return dir_; }
    Clock::time_point LastFrame() const;
    // Log tails of the children, for failure reports.
    std::string LogTails() const;

private:
    void WriteSettings() const;

    EventLoop& loop_;
    Binaries bins_;
    std::string dir_;
    int panelTotal_;
    ChildProcess::Env env_;
    std::unique_ptr<ChildProcess> infodriver_;
    std::vector<std::unique_ptr<FakePanel>> panels_;
    std::unique_ptr<ControlClient> control_;
    std::vector<std::unique_ptr<ChildProcess>> systems_;
};

}  // namespace vorn::bench
