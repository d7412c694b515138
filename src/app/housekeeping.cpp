#include "app/housekeeping.h"

#include <cstdio>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/service_events.h"
#include "core/settings.h"
#include "app/settings_reload.h"
#include "app/status_logic.h"
#include "core/version_info.h"
#include "panels/info_client.h"
#include "panels/mode_tracking.h"
#include "panels/panel_connection_state.h"
#include "panels/panel_connections.h"
#include "panels/panel_loader.h"
#include "panels/panel_table.h"
#include "panels/panel_test.h"
#include "panels/slot_mapping.h"
#include "panels/panel_senders.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

constexpr int kHousekeepingPeriodMs = 1000;
constexpr int kModeCheckEvery = 10;  // housekeeping ticks between mode checks
constexpr int kPollEvery = 3;        // housekeeping ticks between polls while main

// Number of the panel on line 1 of the panel list, 0 when there is none.
int FirstListedPanel() {
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].InUse != 0 && Panels[n].ListIndex == 1) return n;
    }
    return 0;
}

void CheckModeStep() {
    --ModeCheckCountdown;
    if (ModeCheckCountdown > 0) return;
    if (CheckInfoMode() == ModeCheck::kChanged) {
        if (DriverMode == IFMODE_TXRX) {
            if (ShowAllMessages) DebugMessage("Driver now MAIN -- so connecting to all hardware");
            Info().setslot(kDriverStatusSlot, "1");
            for (int n = 1; n <= kMaxPanels; ++n) {
                if (Panels[n].InUse != 0) ConnectToPanel(n);
            }
            PollCountdown = kPollEvery;
        } else {
            DebugMessage("Driver now RESERVE -- so disconnecting to all hardware");
            DisconnectAllPanels();
            PollCountdown = -1;
        }
    }
    ModeCheckCountdown = kModeCheckEvery;
}

void PollStep() {
    if (DriverMode != IFMODE_TXRX) return;
    CheckPanelSilence();
    --PollCountdown;
    if (PollCountdown <= 0) {
        PollAllPanels();
        PollCountdown = kPollEvery;
    }
}

void CommsSummaryStep() {
    Seam& seam = GetSeam();
    if (DriverMode == IFMODE_RXONLY) {
        // A reserve keeps its panels disconnected on purpose: say so, in
        // yellow, rather than reporting every panel as failed.
        CommsSummary = 1;
        seam.SetField(kFieldCommsSummary, "RXOnly - Panels Disconnected");
        return;
    }
    // The panels that count as connected, as slot 299 and every other view
    // counts them.
    const int ok = ConnectedPanelCount();
    if (ok == PanelCount) {
        CommsSummary = 0;
        seam.SetField(kFieldCommsSummary, "All Panels Comms OK");
    } else if (ok > 0) {
        CommsSummary = 1;
        char text[64];
        std::snprintf(text, sizeof text, " Comms FAIL for %d panel(s)", PanelCount - ok);
        seam.SetField(kFieldCommsSummary, text);
    } else {
        CommsSummary = 2;
        seam.SetField(kFieldCommsSummary, "NO COMMS to any Panels");
    }
}

void ChosenPanelStep() {
    if (!IsPanelNumber(ChosenPanel)) return;
    Seam& seam = GetSeam();
    const PanelRecord& p = Panels[ChosenPanel];
    seam.SetField(kFieldConnection, PanelConnectionOf(ChosenPanel).words);
    seam.SetFieldNumber(kFieldPanelRx, static_cast<unsigned>(p.RxCount));
    seam.SetFieldNumber(kFieldPanelTx, static_cast<unsigned>(p.TxCount));
}

}  // namespace

void StartupLoadTick() {
    Seam& seam = GetSeam();
    seam.StopTimer(kStartupLoadTimer);  // one shot
    ShowDriverVersion();
    seam.SetField(kFieldDriverStatus, "Loading Data ....");
    LoadAll();
    EndSettingsBatch();  // begun by InitApp: every write-back in one save
    LoadAllInfodriverData();
    DriverStatus = 0;
    seam.SetField(kFieldDriverStatus, "Running OK ....");
    ShowAllMessages = 0;
    if (PanelCount > 0) {
        // The first configured panel, which sits on line 1 of the list (panel
        // 1 may not be configured at all).
        const int first = FirstListedPanel();
        if (first != 0) {
            ChosenPanel = first;
            seam.PanelListSelect(0);
            ShowChosenPanel();
        }
    }
    // No panel is connected here: the first housekeeping tick checks the
    // mode (ModeCheckCountdown is 1) and a main driver connects there.
    seam.StartTimer(kHousekeepingTimer, kHousekeepingPeriodMs);
    ReportServiceEvent(ServiceEvent::kLoaded);
    AllowSettingsReloads();  // one asked for during the load runs now
}

void HousekeepingTick() {
    CheckModeStep();
    PollStep();
    CommsSummaryStep();
    ChosenPanelStep();
    ShowInfodriverCounters(CounterRefresh::kNow);
    LogDayTick();
    ReportServiceEvent(ServiceEvent::kHousekeeping);
}

void FlashTick() {
    bool anyFlashing = false;
    for (int n = 1; n <= kMaxPanels; ++n) {
        PanelRecord& p = Panels[n];
        const int b = p.FlashButton;
        if (p.InUse != 1 || b <= 0 || b > p.ButtonCount || b >= kButtonSlots) continue;
        anyFlashing = true;
        const bool text = IsTextPanelType(p.TypeCode);
        const bool lamp = IsLampPanelType(p.TypeCode);
        if (!text && !lamp) continue;  // no face to flip on a panel without a type
        ButtonRecord& button = p.Buttons[b];
        if (button.LampState == 0) {
            if (text) {
                ShowButtonMain(n, b);
            } else {
                SendLampOn(n, b);
            }
            button.LampState = 1;
        } else {
            if (text) {
                ShowButtonAlt(n, b);
            } else {
                SendLampOff(n, b);
            }
            button.LampState = 0;
        }
    }
    if (!anyFlashing) {
        GetSeam().StopTimer(kFlashTimer);
        FlashTimerRunning = 0;
        DebugMessage("Button Flash Timer terminated - as no buttons set any more");
    }
}

void OnTimerTick(int id) {
    switch (id) {
        case kHousekeepingTimer: HousekeepingTick(); break;
        case kStartupLoadTimer: StartupLoadTick(); break;
        case kFlashTimer: FlashTick(); break;
        case kPanelTestTimer: PanelTestStep(); break;
        default: break;  // timer 3 and unknown ids do nothing
    }
}

}  // namespace vorn
