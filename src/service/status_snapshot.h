#pragma once
// A copy of what the status view shows, taken at one moment on the GUI
// thread, for the status page, the metrics and the service manager's status
// line. Plain values only: rendering it needs neither the driver state nor
// Qt. Texts are bytes as the settings file and the slots give them (UTF-8 is
// assumed when they are shown).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

// A button as the driver believes the panel shows it: what was last sent.
struct ButtonSnapshot {
    std::string main;       // main label (10 characters as sent, or a graphic label "#>n")
    std::string alt;        // alternative label
    int colour = 0;         // main colour 0..9; the lamp value on lamp panels
    int altColour = 0;
    bool mainShown = true;  // main face shown / lamp on (LampState 1)
    bool operator==(const ButtonSnapshot&) const = default;
};

struct PanelSnapshot {
    int number = 0;              // 1..12
    std::string id;              // Panel_ID
    std::string location;        // Panel_Location
    std::string type;            // type name, e.g. "CP-2048E"
    int buttons = 0;             // buttons of the type, 0 when unknown
    std::string link;            // "tcp", "serial" or "none"
    std::string address;         // "10.20.3.41:2001", "COM3 38400,8,1,E" or ""
    bool connected = false;      // counts as connected (panels/panel_connection_state.h): slot 299 "1"
    bool heard = false;          // alive messages come on its line ("Connected OK")
    std::string connection;      // "Connected OK", "No Response yet", "No Connection"
    std::string why;             // unless heard from: why, in a few words
    std::uint64_t rx = 0;        // receive blocks since the link was opened
    std::uint64_t tx = 0;        // frames sent since the link was opened
    int lastButton = 0;          // last button pressed or released, 0 none
    std::uint64_t presses = 0;   // since the process started
    std::uint64_t reconnects = 0;
    int typeCode = -1;           // 1..3 text panels, 4..6 lamp panels, -1 unknown
    int flashButton = 0;         // the flashing button, 0 none
    int labelChars = 10;         // label characters the panel gets: 8 with a COM port, else 10
    std::vector<ButtonSnapshot> keys;  // buttons 1..buttons
};

struct StatusSnapshot {
    struct Driver {
        int device = 0;
        std::string version;
        std::string identity;  // Driver_Identity
        int statusCode = 1;    // 0 running, 1 initialising, 2 failed
        std::string status;    // the status field's text
        int mode = 0;          // 2 main (TXRX), 1 reserve (RXONLY), 0 unknown
        std::string modeName;  // "main", "reserve", "unknown"
        int panelCount = 0;
        int commsCode = 1;     // 0 all panels OK, 1 some failing, 2 none reachable
        std::string comms;     // the panel comms summary text
        double loopLagSeconds = 0;  // longest event loop lag of the last minute
    } driver;
    struct Infodriver {
        bool connected = false;  // attached: the link is up and the handshake done
        std::string status;    // the Infodriver status field's text
        std::uint64_t rx = 0;  // slot changes received
        std::uint64_t tx = 0;  // slot writes sent
    } infodriver;
    std::vector<PanelSnapshot> panels;  // configured panels, by number
};

// Text of a status view field by control id (core/seam.h); "" when unknown.
using FieldTextFn = std::function<std::string(int controlId)>;

// The snapshot of the driver state now; field texts come from fieldText
// (may be empty: the texts are then derived from the state codes). GUI
// thread only.
StatusSnapshot TakeStatusSnapshot(const FieldTextFn& fieldText);

// One line for the service manager: mode and panel summary, e.g.
// "main: 2/3 panels connected", "reserve: panels disconnected".
std::string ServiceStatusLine(const StatusSnapshot& snapshot);

}  // namespace vorn
