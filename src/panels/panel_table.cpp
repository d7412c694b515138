#include "panels/panel_table.h"

#include "panels/mode_tracking.h"
#include "panels/slot_mapping.h"

#include "core/diagnostics.h"
#include "core/driver_state.h"
// Complete types, so that the owning pointers can destroy the transports.

namespace vorn {

PanelRecord Panels[kMaxPanels + 1];

namespace {

const char kEmptyLabel[] = "          -";  // ten blanks and a hyphen

struct PanelTypeEntry {
    const char* substring;
    int typeCode;
    const char* typeName;
    int buttonCount;
};

// Searched in this order; the first substring found decides. "1604" panels
// carry the model name "CP-3201E".
const PanelTypeEntry kPanelTypes[] = {
    {"2048", kTypeCP2048E, "CP-2048E", 48}, {"2032", kTypeCP2032E, "CP-2032E", 32},
    {"1000", kTypeCP1000E, "CP-1000E", 16}, {"1604", kTypeCP1604, "CP-3201E", 20},
    {"3201", kTypeCP3201E, "CP-3201E", 40}, {"6401", kTypeCP6401E, "CP-6401E", 80},
};

}  // namespace

void ResetPanelRecord(int n) {
    if (n >= 0 && n <= kMaxPanels) ResetPanelRecord(Panels[n], n);
}

void ResetPanelRecord(PanelRecord& p, int n) {
    p.InUse = 0;
    p.ComPort = -1;
    p.IpAddress = "0.0.0.0";
    p.Port = -1;
    p.Connected = 0;
    p.RefreshPending = 0;
    p.PanelId = "?";
    p.Location = "?";
    p.TypeName = "?";
    p.TypeCode = kTypeNone;
    p.ButtonCount = -1;
    p.SlotOffset = kSlotsPerPanel * (n - 1);  // index 0 gets -300
    p.CommsId = -1;
    p.ListIndex = -1;
    p.TxCount = 0;
    p.RxCount = 0;
    p.FlashButton = 0;
    p.LastButton = 0;
    p.AliveSeen = 0;
    p.SendsAlive = 0;
    p.HeardAt = {};
    p.RxTail.Clear();
    p.Link.reset();
    for (ButtonRecord& b : p.Buttons) {
        b.LampState = 1;
        b.MainText = kEmptyLabel;
        b.AltText = kEmptyLabel;
        b.Colour = 0;
        b.AltColour = 0;
    }
}

void ResetPanelTable() {
    ResetModeTracking();
    ResetCounterRefresh();
    for (int n = 0; n <= kMaxPanels; ++n) ResetPanelRecord(n);
    ShowAllMessages = 0;
    FlashTimerRunning = 0;
    Settings.RefreshOnConnection = 1;  // until LoadIni reads the file
    DriverMode = -1;
    PanelCount = 0;
    ModeCheckCountdown = 1;
    TestColour = -1;
    TestPanel = -1;
}

bool IsRealIpAddress(const std::string& text) { return text != "0.0.0.0"; }

std::string PadLabel10(const std::string& source) {
    std::string label = source.substr(0, 10);
    label.resize(10, ' ');
    return label;
}

int DeterminePanel(const std::string& address) {
    // The empty text is contained in every address; it names no panel.
    if (!address.empty()) {
        for (int n = 1; n <= kMaxPanels; ++n) {
            if (Panels[n].IpAddress.find(address) != std::string::npos) return n;
        }
    }
    DebugMessage("DeterminePanel - warning - no match for %s ", address.c_str());
    return -1;
}

int DetermineWhichPanelFromComPort(int port) {
    if (port > 0) {
        for (int n = 1; n <= kMaxPanels; ++n) {
            if (Panels[n].ComPort == port) return n;
        }
    }
    DebugMessage("DetermineWhichPanelFromComPort - warning - no match for %d ", port);
    return -1;
}

bool ApplyPanelType(PanelRecord& panel, const std::string& panelTypeValue) {
    for (const PanelTypeEntry& type : kPanelTypes) {
        if (panelTypeValue.find(type.substring) == std::string::npos) continue;
        panel.TypeCode = type.typeCode;
        panel.TypeName = type.typeName;
        panel.ButtonCount = type.buttonCount;
        if (IsLampPanelType(type.typeCode)) {
            // All lamps off; element 0 is never addressed and keeps 1.
            for (int b = 1; b < kButtonSlots; ++b) panel.Buttons[b].LampState = 0;
        }
        return true;
    }
    return false;
}

}  // namespace vorn
