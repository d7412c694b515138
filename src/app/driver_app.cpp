#include "app/driver_app.h"

#include <cerrno>
#include <string>

#include "app/settings_reload.h"
#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/service_events.h"
#include "core/settings.h"
#include "panels/info_client.h"
#include "panels/mode_tracking.h"
#include "panels/panel_connections.h"
#include "panels/panel_table.h"
#include "panels/slot_mapping.h"
#include "transport/extinfo.h"
#include "transport/info_frame.h"

namespace vorn {

namespace {

constexpr char kSettingsSection[] = "Pellax_Panel";
constexpr int kStartupLoadPeriodMs = 300;

}  // namespace

int ParseDeviceNumber(std::string_view commandLine) {
    return AtoiText(std::string(commandLine.substr(0, kCommandLineMax)));
}

std::string WindowTitle(int device) { return "Pellax Panel Driver - Device " + std::to_string(device); }

bool ConfigurationFault = false;

int InitApp(extinfo& client) {
    ConfigurationFault = false;
    BindInfoClient(&client);
    Seam& seam = GetSeam();
    // The status view's colours are fixed values on the window side, so
    // there are no brushes to create here.
    ResetPanelTable();
    ResetSettingsReload();  // a reload waits for the start-up load
    DriverStatus = 1;
    CommsSummary = 1;
    // The settings read now and by the start-up load 300 ms later are written
    // back in one save (at the end of that load, or below when there is none).
    BeginSettingsBatch();
    LoadIni();
    if (std::string unreadable; SettingsUnreadable(&unreadable)) {
        DebugMessage("LoadIni - %s - driver stopped", unreadable.c_str());
        DriverStatus = 2;
        EndSettingsBatch();
        seam.MessageBox("Settings file unreadable", "! " + unreadable + " - PellaxPanel exiting !");
        ConfigurationFault = true;
        return -1;
    }
    ApplyLogSettings();  // old daily log files go now, and at each new date
    UpdateDebugMenu();

    client.setnotify(InfoNotify);
    int result = client.connect(DeviceNumber, nullptr);
    if (result == kInfoNoInfodriver) {
        DebugMessage("ERROR  - Connect failed to infodriver %d", client.iDevice);
        DebugMessage("ERROR  -  Driver not functioning");
        DriverStatus = 2;
        seam.SetField(kFieldInfoStatus, "Info connect FAILED");
        EndSettingsBatch();
        if (client.connectError == EACCES || client.connectError == EPERM) {
            // The Infodriver is there, but this user may not use its socket:
            // say so, not "no connection", and end as a configuration fault.
            ConfigurationFault = true;
            DebugMessage("ERROR  - infodriver %d socket %s: permission denied", client.iDevice,
                         InfoSocketPath(client.iDevice).c_str());
            seam.MessageBox("Infodriver permission denied",
                            "! Permission denied on the Infodriver socket - PellaxPanel exiting !");
        } else {
            seam.MessageBox("Cant Find Infodriver", "! No connection to Infodriver - PellaxPanel exiting !");
        }
        return -1;
    }
    const bool attached = result == kInfoSlotChanged;
    if (attached) {
        DebugMessage("Connected OK to infodriver %d", client.iDevice);
        seam.SetField(kFieldInfoStatus, "Connected OK");
    } else {
        DebugMessage("ERROR ERROR - Connect failed to infodriver, code %d", result);
        DebugMessage("ERROR ERROR -  Driver not functioning");
        DriverStatus = 2;
        seam.SetField(kFieldInfoStatus, "Info connect FAILED");
    }
    client.setcounters(&InfodriverTxCount, &InfodriverRxCount);
    if (attached) {
        client.setslot(kDriverStatusSlot, "1");
        seam.StartTimer(kStartupLoadTimer, kStartupLoadPeriodMs);
        seam.SetField(kFieldDriverStatus, "Initialising ");
    } else {
        client.setslot(kDriverStatusSlot, "0");
        EndSettingsBatch();
    }
    // The two receive locks belong to the receive path, which creates them
    // with its own state; no panel is opened before the first timer tick.
    return 0;
}

void CloseApp() {
    ReportServiceEvent(ServiceEvent::kStopping);
    Seam& seam = GetSeam();
    StopSettingsReloads();  // steps of a reload under way do nothing now
    EndSettingsBatch();  // closed before the start-up load ran
    // The status slots belong to the main: a reserve that shuts down while
    // the main runs leaves them alone. A main clears every block, configured
    // or not, so that no stale "connected" survives. A driver stopped before
    // its first mode check asks the Infodriver what it is: a lone driver is
    // main, and its "1" in slot 4001 must not outlive it.
    int mode = 0;
    const bool undecided = DriverMode == -1 && !ModeEverDecided() && Info().isattached();
    if (IsOrWasMain() || (undecided && Info().querymode(&mode) && mode == IFMODE_TXRX)) {
        for (int p = 1; p <= kMaxPanels; ++p) Info().setslot(PanelStatusSlot(Panels[p]), "0");
        Info().setslot(kDriverStatusSlot, "0");
    }
    for (int p = 1; p <= kMaxPanels; ++p) {
        if (Panels[p].InUse == 0) continue;
        if (Panels[p].Link) Panels[p].Link->Close();
    }
    seam.StopTimer(kHousekeepingTimer);
    if (FlashTimerRunning != 0) seam.StopTimer(kFlashTimer);
    for (int p = 1; p <= kMaxPanels; ++p) {
        if (Panels[p].InUse != 0 && Panels[p].Link && Panels[p].Link->Kind() == LinkKind::kTcp) {
            Panels[p].Link.reset();
        }
    }
    Info().setmode(IFMODE_RXONLY);
    Info().iMode = 7;  // shutting down: every mode request is agreed to from now on
    DebugMessage("CloseApp - driver shut down ");
    EndLogFile();
}

void UpdateDebugMenu() {
    Seam& seam = GetSeam();
    seam.SetMenuCheck(kCmdDebugOn, Settings.DebugMode != 0);
    WriteIniSetting(SettingsFileName(DeviceNumber), kSettingsSection, "DebugMode",
                    Settings.DebugMode != 0 ? "1" : "0");
    seam.SetWindowHeight(Settings.DebugHidden != 0 ? StatusHeight + kHiddenDebugExtra : kMainWindowHeight);
    seam.SetMenuCheck(kCmdDebugHide, Settings.DebugHidden != 0);
}

bool HandleMenuCommand(int commandId) {
    Seam& seam = GetSeam();
    switch (commandId) {
        case kCmdDebugClear:
            seam.DebugListClear();
            return true;
        case kCmdDebugOn:
            if (Settings.DebugMode != 0) {
                Settings.DebugMode = 0;
            } else {
                Settings.DebugMode = 1;
                Settings.DebugHidden = 0;
            }
            UpdateDebugMenu();
            return true;
        case kCmdDebugHide:
            if (Settings.DebugHidden != 0) {
                Settings.DebugHidden = 0;
                Settings.DebugMode = 1;
            } else {
                Settings.DebugHidden = 1;
                Settings.DebugMode = 0;
            }
            UpdateDebugMenu();
            return true;
        case kCmdShowAllMessages:
            ShowAllMessages = ShowAllMessages == 1 ? 0 : 1;
            seam.SetMenuCheck(kCmdShowAllMessages, ShowAllMessages == 1);
            return true;
        case kCmdForceTxRx:
            DebugMessage("Forcing Driver into TXRX Mode");
            DriverMode = -1;
            seam.SetField(kFieldInfoStatus, "Forcing to TX/RX");
            Info().setmode(IFMODE_TXRX);
            return true;
        case kCmdForceRxOnly:
            DebugMessage(" Trying to force driver into RXONLY mode");
            DebugMessage(" *** Now force the other Driver into TXRX mode to complete operation ***");
            DriverMode = -1;
            seam.SetField(kFieldInfoStatus, "forcing to rxonly");
            Info().setmode(IFMODE_RXONLY);
            // Let the panels go now, not at the next mode check: the other
            // driver may take them over within a second.
            DisconnectAllPanels();
            GiveUpMainRole();
            return true;
        case kCmdRefreshAllPanels:
            DebugMessage("Refreshing all panels ");
            RefreshAllPanels();
            return true;
        default:
            return false;
    }
}

}  // namespace vorn
