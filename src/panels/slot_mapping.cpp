#include "panels/slot_mapping.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/settings.h"
#include "panels/mode_tracking.h"
#include "panels/info_client.h"
#include "panels/panel_table.h"
#include "panels/panel_senders.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

constexpr int kMaxColour = 9;  // colour and lamp values 0..9

bool ValidColour(int value) { return value >= 0 && value <= kMaxColour; }

// Reads one slot from the Infodriver as text (at most 255 characters, ""
// when the read fails). The start-up load always reads, whatever the
// client's mirror already knows.
std::string ReadSlot(int slot) {
    char buffer[kSlotTextMax + 1] = {};
    Info().readslot(slot, buffer);
    buffer[kSlotTextMax] = '\0';  // the client terminates it; keep that true regardless
    return buffer;
}

// A colour (or lamp value) read at start-up. Only 0..9 are colours; any other
// value (which would put a stray byte into the colour frames at the next
// refresh) is logged and leaves the stored value as it is.
void LoadColour(int slot, int button, int* target, const char* what) {
    const std::string text = ReadSlot(slot);
    const int value = AtoiText(text);
    DebugMessage("  --> slot %d %s %s - button %d %d ", slot, what, text.c_str(), button, value);
    if (ValidColour(value)) {
        *target = value;
    } else {
        DebugMessage("  --> slot %d %s %d out of range 0..9 - button %d keeps %d ", slot, what, value, button,
                     *target);
    }
}

// Green/red/yellow rest colours of ResetButtonColours: 1 and 4 -> 1, 2 and 5
// -> 2, 3 and 6 -> 3, 0 -> the button's rest colour; others stay.
int RestColour(const PanelRecord& p, int button, int colour) {
    switch (colour) {
        case 1:
        case 4: return 1;
        case 2:
        case 5: return 2;
        case 3:
        case 6: return 3;
        case 0: {
            const bool yellowRest = p.TypeCode == kTypeCP2048E &&
                                    (button == 15 || button == 16 || button == 31 || button == 32 ||
                                     button == 47 || button == 48);
            return yellowRest ? 3 : 1;
        }
        default: return colour;
    }
}

void WriteColourSlot(const PanelRecord& p, int button, int colour) {
    Info().updateslot(p.SlotOffset + kColourOffset + button, "%d", colour);
}

}  // namespace

namespace {
using Clock = std::chrono::steady_clock;
Clock::time_point lastShown{};  // when the counters were last written
}  // namespace

void ResetCounterRefresh() { lastShown = Clock::time_point{}; }

void ShowInfodriverCounters(CounterRefresh when) {
    // Every slot change and serial block asks; during a stream of them the
    // fields are written at most every kCounterRefreshInterval (the
    // housekeeping tick shows the latest values every second in any case).
    const Clock::time_point now = Clock::now();
    if (when == CounterRefresh::kThrottled && now - lastShown < kCounterRefreshInterval) return;
    lastShown = now;
    char text[16];
    std::snprintf(text, sizeof text, "%08d", InfodriverTxCount);
    GetSeam().SetField(kFieldInfoTx, text);
    std::snprintf(text, sizeof text, "%08d", InfodriverRxCount);
    GetSeam().SetField(kFieldInfoRx, text);
}

void LoadPanelInfodriverData(int n) {
    if (!IsPanelNumber(n)) return;
    PanelRecord& p = Panels[n];
    if (p.InUse == 0) return;
    const int base = kSlotsPerPanel * (n - 1);
    // ButtonCount is at most 99 for every type, -1 without one.
    const int buttons = p.ButtonCount < kButtonSlots ? p.ButtonCount : kButtonSlots - 1;
    if (IsTextPanelType(p.TypeCode)) {
        DebugMessage("loading ALL infodrv data for panel %d %s", n, p.PanelId.c_str());
        for (int b = 1; b <= buttons; ++b) {
            const int slot = base + kLabelOffset + b;
            const std::string text = ReadSlot(slot);
            p.Buttons[b].MainText = text.substr(0, kLabelMax);  // stored as read, cut to fit
            DebugMessage("  --> slot %d main text %s - button %d ", slot, text.c_str(), b);
        }
        for (int b = 1; b <= buttons; ++b) LoadColour(base + kColourOffset + b, b, &p.Buttons[b].Colour, "colr");
        for (int b = 1; b <= buttons; ++b) {
            const int slot = base + kAltLabelOffset + b;
            const std::string text = ReadSlot(slot);
            p.Buttons[b].AltText = text.substr(0, kLabelMax);
            DebugMessage("  --> slot %d alt text %s - button %d ", slot, text.c_str(), b);
        }
        for (int b = 1; b <= buttons; ++b) {
            LoadColour(base + kAltColourOffset + b, b, &p.Buttons[b].AltColour, "altcolr");
        }
    } else if (IsLampPanelType(p.TypeCode)) {
        DebugMessage("loading colour infodrv data only for panel %d %s", n, p.PanelId.c_str());
        for (int b = 1; b <= buttons; ++b) LoadColour(base + kColourOffset + b, b, &p.Buttons[b].Colour, "colr");
    }
    // A panel without a type has no buttons to load.
}

void LoadAllInfodriverData() {
    for (int n = 1; n <= kMaxPanels; ++n) LoadPanelInfodriverData(n);
}

void InfoNotify(extinfo* client, int index, const char* text) {
    if (client == nullptr) return;
    const char* slotText = text != nullptr ? text : "";
    switch (client->iStatus) {
        case kInfoSlotChanged:
            ShowInfodriverCounters();
            SlotChange(client->iDevice, index, slotText);
            break;
        case kInfoDisconnected:
            DebugMessage("Infodriver %d has disconnected", client->iDevice);
            GetSeam().SetField(kFieldInfoStatus, " ERROR: Disconnected");
            client->updateslot(kDriverStatusSlot, "0");
            GetSeam().PostCloseRequest();  // ends the driver once this handler returns
            break;
        case kInfoReqTxRx:
            if (DriverMode == IFMODE_RXONLY) {
                client->setmode(IFMODE_TXRX);
                GetSeam().SetField(kFieldInfoStatus, "Req Tx/Rx :- MAIN ");
                ModeCheckCountdown = 0;  // the next housekeeping tick checks the mode
            }
            break;
        case kInfoReqRxOnly:
            if (ShowAllMessages) DebugMessage("Infodriver %d received request to go RX Only", client->iDevice);
            break;
        case kInfoInquiry:
        case kInfoDeviceIdInUse:
            break;
        default:
            DebugMessage("InfoNotify - iStatus=%d", client->iStatus);
            break;
    }
}

void SlotChange(int device, int slot, const char* rawText) {
    const std::string text = rawText != nullptr ? rawText : "";
    // Negative slots become huge as unsigned and so name no panel.
    const unsigned panelIndex = static_cast<unsigned>(slot) / kSlotsPerPanel + 1;
    if (panelIndex < 1 || panelIndex > static_cast<unsigned>(kMaxPanels)) {
        DebugMessage("SlotChange function from device %d - invalid panel - slot %d - change ignored '%s'", device,
                     slot, text.c_str());
        return;
    }
    const int n = static_cast<int>(panelIndex);
    PanelRecord& p = Panels[n];
    if (p.InUse == 0) {
        DebugMessage("SlotChange function for invalid device %d - invalid panel - %d ", device, n);
        return;
    }

    const int e = slot - p.SlotOffset;
    const int value = AtoiText(text);
    const int buttons = p.ButtonCount;
    if (ShowAllMessages) {
        const int k = IsTextPanelType(p.TypeCode) ? e % 50 : IsLampPanelType(p.TypeCode) ? e % 100 : 0;
        DebugMessage("SlotC -- slot %d calcs offset to be  %d for button %d ", slot, e, k);
    }

    // The ranges depend on the button count and overlap above 50 buttons:
    // the first test that applies wins.
    SendResult result = SendResult::kRefused;
    if (e > kColourOffset && e <= kColourOffset + buttons) {
        if (!ValidColour(value)) return;
        if (IsLampPanelType(p.TypeCode)) {
            // Stored whether or not it can go out now (reserve, panel down):
            // the refresh at the next connection shows what the slot holds.
            const int b = e % 100;
            p.Buttons[b].Colour = value;
            result = value > 0 ? SendLampOn(n, b) : SendLampOff(n, b);
        } else {
            result = SetButtonColour(n, e - kColourOffset, value);
        }
    } else if (e > kLabelOffset && e <= kLabelOffset + buttons) {
        result = ButtonLabel(n, e - kLabelOffset, text);
    } else if (e > kAltLabelOffset && e <= kAltLabelOffset + buttons) {
        result = SetButtonAltLabel(n, e - kAltLabelOffset, text);
    } else if (e > kAltColourOffset && e <= kAltColourOffset + buttons) {
        if (!ValidColour(value)) return;
        result = SetButtonAltColour(n, e - kAltColourOffset, value);
    } else if (e == kCmdPanelCode6Offset) {
        result = SendPanelCode6(n);
    } else if (e == kCmdFlashOffset) {
        result = SetFlashButton(n, value);
    } else if (e == kCmdLampOffOffset) {
        result = SendLampOff(n, value);
    } else if (e == kCmdLampOnOffset) {
        result = SendLampOn(n, value);
    } else if (e == kCmdRefreshOffset) {
        result = RefreshPanel(n);
    } else if (e == kCmdLabelAllOffset) {
        if (buttons < 1) return;
        for (int i = 1; i <= buttons; ++i) result = ButtonLabel(n, i, text);
    } else if (e == kCmdColourAllOffset) {
        if (p.FlashButton > 0) SetFlashButton(n, 0);
        if (!ValidColour(value) || buttons < 1) return;
        for (int i = 1; i <= buttons; ++i) result = SetButtonColour(n, i, value);
    } else if (e == kCmdResetColoursOffset) {
        ResetButtonColours(n);
        result = SendResult::kDone;
    } else if (e == kCmdSelectOffset) {
        SelectButton(n, value);
        result = SendResult::kDone;
    } else {
        return;  // button and joystick states, identity, connection state, unused offsets
    }

    // Confirm only what was carried out; the text is data, never a format.
    if (result == SendResult::kDone) Info().updateslot(slot, "%s", text.c_str());
}

void ResetButtonColours(int panel) {
    if (DriverMode != IFMODE_TXRX || !IsPanelNumber(panel)) return;
    PanelRecord& p = Panels[panel];
    for (int i = 1; i <= p.ButtonCount && i < kButtonSlots; ++i) {
        const int colour = RestColour(p, i, p.Buttons[i].Colour);
        p.Buttons[i].Colour = colour;
        SendButtonColour(panel, i, colour);
        WriteColourSlot(p, i, colour);
    }
}

void SelectButton(int panel, int button) {
    if (DriverMode != IFMODE_TXRX || !IsPanelNumber(panel)) return;
    PanelRecord& p = Panels[panel];
    for (int i = 1; i <= p.ButtonCount && i < kButtonSlots; ++i) {
        if (p.Buttons[i].Colour != 4) continue;
        p.Buttons[i].Colour = 1;
        SendButtonColour(panel, i, 1);
        WriteColourSlot(p, i, 1);
    }
    if (button >= 1 && button <= p.ButtonCount && button < kButtonSlots) {
        p.Buttons[button].Colour = 2;
        SendButtonColour(panel, button, 2);
        WriteColourSlot(p, button, 2);
    }
}

}  // namespace vorn
