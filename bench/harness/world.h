#pragma once
// One bench set-up in a directory of its own: a fresh reference Infodriver,
// the fake panels (TCP, and optionally serial ones on pseudo-terminals after
// them), the driver's settings naming them, the control client, and the
// systems under test (the driver, or the relay) started against it.
// The destructor stops the systems (SIGTERM, then SIGKILL), then the
// Infodriver.

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "control_client.h"
#include "event_loop.h"
#include "fake_panel.h"
#include "pty_panel.h"

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
    // Panels 1..panels on TCP, then ptyPanels serial ones (38400 8E1, the
    // driver's default line). statusPage: the driver serves its status page
    // on a free loopback port (statusPort()).
    World(EventLoop& loop, const Binaries& bins, const std::string& dir, int panels, int ptyPanels = 0,
          bool statusPage = false);
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

    EventLoop& loop() { return loop_; }
    ControlClient& control() { return *control_; }
    FakePanel& panel(int n) { return *panels_[static_cast<size_t>(n - 1)]; }
    int panelCount() const { return static_cast<int>(panels_.size()); }
    // Serial panel n (numbered after the TCP ones).
    PtyPanel& ptyPanel(int n) { return *ptys_[static_cast<size_t>(n - panelCount() - 1)]; }
    int statusPort() const { return statusPort_; }
    const std::string& dir() const { return dir_; }
    Clock::time_point LastFrame() const;
    // The settings file written anew, Panel_ID of the TCP panels from
    // `from` on ending in `suffix` (for a reload).
    void RewriteSettings(int from, const std::string& suffix);
    // Log tails of the children, for failure reports.
    std::string LogTails() const;
    // True when the Infodriver's log holds the text.
    bool InfodriverLogged(const std::string& text) const;

private:
    void WriteSettings() const;

    EventLoop& loop_;
    Binaries bins_;
    std::string dir_;
    int panelTotal_;
    int ptyTotal_;
    bool statusPage_;
    int statusPort_ = 0;
    int renamedFrom_ = 0;
    std::string renameSuffix_;
    ChildProcess::Env env_;
    std::unique_ptr<ChildProcess> infodriver_;
    std::vector<std::unique_ptr<FakePanel>> panels_;
    std::vector<std::unique_ptr<PtyPanel>> ptys_;
    std::unique_ptr<ControlClient> control_;
    std::vector<std::unique_ptr<ChildProcess>> systems_;
};

}  // namespace vorn::bench
