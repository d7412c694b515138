#pragma once
// Process-wide driver state, named as the rest of the driver names it.
// Plain values used on the GUI thread only. ResetProcessState() puts every
// one of them back to its process-start value (tests start from it);
// ResetPanelTable() (panels/panel_table.h) sets the driver-wide subset that
// start-up relies on.

#include <string>

namespace vorn {

// Driver settings of the "Pellax_Panel" section, filled by LoadIni.
struct DriverSettings {
    int DebugMode = 0;            // non-zero: DebugMessage is active
    int DebugHidden = 0;          // 1: debug list hidden, DebugMessage silent
    int LogMode = 0;              // non-zero: second channel is the daily log file
    int RefreshOnConnection = 1;  // 1: refresh a panel at its first alive message
    int PanelSilenceTimeout = 10; // seconds; 0: off (never negative)
    std::string Driver_Identity;  // at most 255 characters
    int Speed = 0;                // serial bit/s
    int DataBits = 0;
    int StopBits = 0;             // 0 one, 2 two
    int Parity = 0;               // 0 none, 1 odd, 2 even, 3 mark
    std::string ParityText;       // at most 14 characters, as read
    std::string SerialParams;     // "%d,%d,%c,%c"
    int StatusHttpPort = 0;       // status page port; 0: no status page
    std::string StatusHttpAddress = "127.0.0.1";  // address the status page listens on
    int LogKeepDays = 30;         // daily log files older than this many days go; 0 keeps all
    long long LogMaxDayBytes = 64LL * 1024 * 1024;  // a day's log file stops here; 0: no limit
    std::string StatusHttpToken;  // bearer token of the status page; "" none (loopback only)
    std::string StatusHttpHosts;  // further Host: names the page answers, comma or blank separated
};

extern DriverSettings Settings;

// Paths resolved by ResolvePaths (at most 255 characters each).
extern std::string ConfigDir;
extern std::string LogDir;

extern int DeviceNumber;
extern int StatusHeight;
extern int DriverStatus;       // 0 running, 1 initialising, 2 failed
extern int CommsSummary;       // 0 all OK, 1 some failing, 2 none reachable
extern int InfodriverTxCount;  // slot writes sent by the Infodriver client
extern int InfodriverRxCount;  // slot changes received by it
extern int ChosenPanel;        // 1..12, 0 none
extern int ShowAllMessages;    // verbose traces on
extern int PanelCount;
extern int DriverMode;         // -1 unseen/forcing, 0 unknown, 1 RXONLY, 2 TXRX
extern int ModeCheckCountdown;
extern int PollCountdown;
extern int FlashTimerRunning;
extern int TestPanel;          // -1 idle
extern int TestColour;         // -1 idle

// Every value above to its process-start value (settings included).
void ResetProcessState();

}  // namespace vorn
