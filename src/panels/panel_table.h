#pragma once
// The panel table: the driver's one picture of the configured panels and
// their buttons. Panels[1..12] are panel numbers; Panels[0] is reset with
// the others but never used. GUI thread only; no lock guards it.

#include <chrono>
#include <memory>
#include <string>

#include "protocol/message_cutter.h"
#include "transport/panel_link.h"

namespace vorn {

constexpr int kMaxPanels = 12;
constexpr int kButtonSlots = 100;    // Buttons[0] is never addressed
constexpr int kLabelMax = 15;        // MainText / AltText characters
constexpr int kIpAddressMax = 63;    // IpAddress characters
constexpr int kSlotsPerPanel = 300;

// Layout of a panel's block of kSlotsPerPanel Infodriver slots (the block of
// panel n starts at SlotOffset = 300 * (n - 1)). Offsets 1..99 hold button
// states; the ranges below overlap them on panels with more than 49 buttons,
// which is why the slot handler tests them in a fixed order.
constexpr int kLabelOffset = 50;         // + b: main label of button b
constexpr int kColourOffset = 100;       // + b: main colour (lamp value on lamp panels)
constexpr int kAltLabelOffset = 150;     // + b: alternative label
constexpr int kAltColourOffset = 200;    // + b: alternative colour
// Command slots: writing one runs the command with the written value.
constexpr int kCmdPanelCode6Offset = 250;
constexpr int kCmdFlashOffset = 251;
constexpr int kCmdLampOffOffset = 252;
constexpr int kCmdLampOnOffset = 253;
constexpr int kCmdLabelAllOffset = 254;
constexpr int kCmdColourAllOffset = 255;
constexpr int kCmdResetColoursOffset = 257;
constexpr int kCmdSelectOffset = 258;
constexpr int kCmdRefreshOffset = 259;
constexpr int kJoystickOffset = 270;     // + n: state of joystick n
constexpr int kJoystickLastOffset = 295; // the identity slots follow
constexpr int kPanelIdOffset = 296;
constexpr int kLocationOffset = 297;
constexpr int kTypeNameOffset = 298;
constexpr int kPanelStatusOffset = 299;  // "1" connected, "0" not (panel_connection_state.h)

// Panel numbers 1..kMaxPanels; Panels[0] is never addressed.
inline bool IsPanelNumber(int n) { return n >= 1 && n <= kMaxPanels; }

// Panel types (TypeCode). 1..3 text panels, 4..6 lamp panels.
enum PanelType : int {
    kTypeNone = -1,
    kTypeCP1000E = 1,  // 16 buttons
    kTypeCP2032E = 2,  // 32 buttons
    kTypeCP2048E = 3,  // 48 buttons
    kTypeCP3201E = 4,  // 40 buttons, lamps
    kTypeCP6401E = 5,  // 80 buttons, lamps
    kTypeCP1604 = 6,   // 20 buttons, lamps, shown as "CP-3201E"
};

inline bool IsTextPanelType(int typeCode) { return typeCode >= 1 && typeCode <= 3; }
inline bool IsLampPanelType(int typeCode) { return typeCode >= 4 && typeCode <= 6; }

struct ButtonRecord {
    int LampState = 1;             // 1 lamp on / main face, 0 lamp off / alternative face
    std::string MainText;          // at most kLabelMax characters
    std::string AltText;           // at most kLabelMax characters
    int Colour = 0;                // main colour; lamp value on lamp panels
    int AltColour = 0;
};

struct PanelRecord {
    int InUse = 0;
    int ComPort = -1;
    std::string IpAddress;         // at most kIpAddressMax characters; "0.0.0.0": no TCP address
    int Port = -1;
    int Connected = 0;
    int RefreshPending = 0;
    std::string PanelId;           // at most 255 characters
    std::string Location;          // at most 255 characters
    std::string TypeName;          // at most 99 characters
    int TypeCode = -1;
    int ButtonCount = -1;
    int SlotOffset = 0;
    int CommsId = -1;
    int ListIndex = -1;
    int TxCount = 0;
    int RxCount = 0;
    int FlashButton = 0;
    int LastButton = 0;
    // Heard from: set by an alive message that counts on the open line,
    // cleared when the line opens or closes, when the panel falls silent and
    // by a serial line error (panel_connection_state.h). SendsAlive: it has
    // sent one since the table was loaded, on any connection. HeardAt: when
    // the panel last sent a message with its own id, or its TCP connection
    // was made (the seam's clock).
    int AliveSeen = 0;
    int SendsAlive = 0;
    std::chrono::steady_clock::time_point HeardAt{};
    // The panel's line (TCP or serial), created by the loader and kept for
    // the whole run; null for a panel that is not configured.
    std::unique_ptr<PanelLink> Link;
    ButtonRecord Buttons[kButtonSlots];
    // Incomplete trailing message of the last block read (at most 3 bytes);
    // cleared whenever the transport opens or closes.
    RxCarry RxTail;
};

extern PanelRecord Panels[kMaxPanels + 1];

// The connection state slot of a panel's block.
inline int PanelStatusSlot(const PanelRecord& p) { return p.SlotOffset + kPanelStatusOffset; }

// Record n (0..kMaxPanels) and its buttons to their start state, SlotOffset
// included; its link is destroyed (without a close event: close it first
// when it may be open). The panel list and PanelCount are the caller's.
void ResetPanelRecord(int n);
// The same for a record that is not in the table (a scratch copy of panel n).
void ResetPanelRecord(PanelRecord& record, int n);

// Every record and button to its start state (ResetPanelRecord), and the
// driver-wide start values (ShowAllMessages 0, FlashTimerRunning 0,
// RefreshOnConnection 1, DriverMode -1, PanelCount 0, ModeCheckCountdown 1,
// TestColour -1, TestPanel -1). Links are destroyed.
void ResetPanelTable();

// False only for the exact text "0.0.0.0".
bool IsRealIpAddress(const std::string& text);

// Exactly ten characters: the first ten of source, or source padded with
// blanks.
std::string PadLabel10(const std::string& source);

// First panel 1..12 whose IpAddress contains address; -1 (with a log line)
// if none.
int DeterminePanel(const std::string& address);

// First panel 1..12 whose ComPort equals port (port > 0); -1 (with a log
// line) otherwise.
int DetermineWhichPanelFromComPort(int port);

// Chooses the panel type from a Panel_Type value: the first of "2048",
// "2032", "1000", "1604", "3201", "6401" found in it sets TypeCode, TypeName
// and ButtonCount; a lamp type also turns LampState to 0 on buttons 1..99.
// Returns false and changes nothing when none is found.
bool ApplyPanelType(PanelRecord& panel, const std::string& panelTypeValue);

}  // namespace vorn
