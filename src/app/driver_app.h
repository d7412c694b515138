#pragma once
// Start-up and shutdown of the driver and the main window's menu commands,
// as far as they need no widgets. The window side (app/gui) creates the
// status view and the debug list, installs the seam and then calls InitApp;
// it calls CloseApp once when the window goes away. GUI thread only.

#include <string>
#include <string_view>

namespace vorn {

class extinfo;

// Command ids of the main menu and the accelerators (F1 About, F10 Exit).
enum MenuCommand : int {
    kCmdAbout = 104,
    kCmdExit = 105,
    kCmdDebugClear = 32771,
    kCmdDebugOn = 32773,
    kCmdDebugHide = 32775,
    kCmdShowAllMessages = 32778,
    kCmdForceTxRx = 32779,
    kCmdForceRxOnly = 32780,
    kCmdRefreshAllPanels = 32781,
};

// Main window size in pixels; the height with the debug list hidden is
// StatusHeight + kHiddenDebugExtra (caption and menu).
constexpr int kMainWindowWidth = 860;
constexpr int kMainWindowHeight = 660;
constexpr int kHiddenDebugExtra = 42;

// Longest command line text that is looked at; the rest is ignored.
constexpr int kCommandLineMax = 254;

// The device number of a command line: the first kCommandLineMax characters
// read as atoi reads them (leading blanks, optional sign, digits up to the
// first other character). 0 or less means "no valid device number".
int ParseDeviceNumber(std::string_view commandLine);

// The window title for a device: "Pellax Panel Driver - Device %d".
std::string WindowTitle(int device);

// Start-up after the status view and the debug list exist and StatusHeight
// is set: binds the application's Infodriver client for the panel layer
// (BindInfoClient; the caller owns it and unbinds it once CloseApp has run
// and the client has left the link), resets the panel table, loads the settings, sizes the window for
// the debug list, attaches to the Infodriver and, when attached, writes "1"
// to the driver's status slot and starts the start-up load timer.
// Returns 0 to go on (also after a failed attach: the driver then stays up
// idle, DriverStatus 2), -1 when no Infodriver answered (the box has been
// shown; the caller ends the process with exit code 0 after CloseApp).
int InitApp(extinfo& client);

// Set by InitApp when it failed for a fault of the set-up that a restart
// will not mend (settings file unreadable, Infodriver socket refused for
// permission): the process then ends with a non-zero code.
extern bool ConfigurationFault;

// Shutdown: "0" into every panel's connection-state slot and the driver's
// status slot, ports closed, timers 1 and 4 stopped, TCP port objects
// destroyed, then the Infodriver client asks to go RXONLY.
void CloseApp();

// Debug menu check marks, "DebugMode" written to the settings file, and the
// window height for a hidden or shown debug list.
void UpdateDebugMenu();

// The menu commands that need no widgets (Clear, On, Hide, Show All
// Messages, the two force commands, Refresh All Panels). Returns false for
// any other id (About and Exit are the window's).
bool HandleMenuCommand(int commandId);

}  // namespace vorn
