#include "panels/panel_senders.h"

#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/settings.h"
#include "panels/info_client.h"
#include "panels/panel_table.h"
#include "protocol/panel_frames.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

constexpr int kMaxGraphic = 13;        // graphics 0..13 exist on the panels
constexpr int kMaxWireButton = 99;     // lamp senders accept any button up to this
constexpr int kFlashPeriodMs = 250;

// The record of a panel number 1..12, or null for any other number (panel 0
// exists in the table but is never addressed).
PanelRecord* PanelOf(int panel) {
    if (!IsPanelNumber(panel)) return nullptr;
    return &Panels[panel];
}

bool ValidButton(const PanelRecord& p, int button) {
    return button >= 1 && button <= p.ButtonCount && button < kButtonSlots;
}

bool HasPort(const PanelRecord& p) { return p.Link != nullptr; }

// Hands a whole frame to the panel's link, which queues it for the line;
// TxCount counts it once its last byte has gone (OnFrameSent). The caller
// has checked that a link exists. Returns true when it went to a TCP link
// (for the choice of trace text). A driver whose Infodriver link is gone
// (cut off as hung, or the Infodriver left) is about to end and sends
// nothing more: the other driver may be main by now.
bool WriteFrame(PanelRecord& p, const PanelFrame& frame) {
    if (Info().linklost()) return p.Link->Kind() == LinkKind::kTcp;
    p.Link->Send(frame.Data(), frame.Length());  // result not examined
    return p.Link->Kind() == LinkKind::kTcp;
}

void LogNoConnectionOrButton(int panel, int button) {
    if (ShowAllMessages) DebugMessage("Pellax_Panel - %d - no connection or button %d ", panel, button);
}

void LogInvalidButton(int panel, int button) {
    if (ShowAllMessages) DebugMessage("Pellax_Panel - %d - invalid button %d ", panel, button);
}

// Shared part of the text, graphic and colour senders: a bad button (or panel
// number) is refused with the verbose line; a disconnected panel or one
// without a port is refused silently.
PanelRecord* TextPanelReady(int panel, int button) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogNoConnectionOrButton(panel, button);
        return nullptr;
    }
    if (p->Connected != 1 || !HasPort(*p)) return nullptr;
    return p;
}

// Lamp senders test the connection and the wire button range together.
PanelRecord* LampPanelReady(int panel, int button) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || p->Connected != 1 || button < 1 || button > kMaxWireButton) {
        LogNoConnectionOrButton(panel, button);
        return nullptr;
    }
    if (!HasPort(*p)) return nullptr;
    return p;
}

SendResult SendLamp(int panel, int button, bool on) {
    PanelRecord* p = LampPanelReady(panel, button);
    if (p == nullptr) return SendResult::kRefused;
    const PanelFrame frame = on ? BuildLampOnFrame(p->CommsId, button) : BuildLampOffFrame(p->CommsId, button);
    const bool tcp = WriteFrame(*p, frame);
    p->Buttons[button].LampState = on ? 1 : 0;  // button <= 99 < kButtonSlots
    if (ShowAllMessages) {
        if (on) {
            DebugMessage(tcp ? "TX-> Lamp ON for panel %d button %d " : "TX-> SERIAL Lamp ON for panel %d button %d ",
                         panel, button);
        } else {
            DebugMessage(tcp ? "TX-> Lamp OFF for panel %d button %d "
                             : "TX-> SERIAL Lamp OFF for panel %d button %d ",
                         panel, button);
        }
    }
    return SendResult::kDone;
}

// One face of a button: its label (text, or graphic when the label holds
// "#>" and names a graphic 0..13), then its colour.
void ShowFace(int panel, int button, const std::string& label, int colour) {
    if (IsGraphicLabel(label)) {
        const int graphic = GraphicNumber(label);
        if (graphic >= 0 && graphic <= kMaxGraphic) SendButtonGraphic(panel, button, graphic);
    } else {
        SendButtonText(panel, button, label);
    }
    SendButtonColour(panel, button, colour);
}

// True when the panel's flash slot (251) holds this button's number.
bool FlashSlotNames(const PanelRecord& p, int button) {
    char text[kSlotTextMax + 1];
    Info().getslot(p.SlotOffset + kCmdFlashOffset, text);  // from the client's mirror
    return AtoiText(text) == button;
}

// True while any configured panel has a flashing button.
bool AnyPanelFlashing() {
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].InUse != 0 && Panels[n].FlashButton > 0) return true;
    }
    return false;
}

}  // namespace

bool IsGraphicLabel(const std::string& text) { return text.find("#>") != std::string::npos; }

int GraphicNumber(const std::string& text) {
    // From the third character on, as atoi reads it (clamped, never undefined).
    if (text.size() <= 2) return 0;
    return AtoiText(text.substr(2));
}

SendResult SendButtonText(int panel, int button, const std::string& text) {
    PanelRecord* p = TextPanelReady(panel, button);
    if (p == nullptr) return SendResult::kRefused;
    // The builder copies at most ten (or eight) characters of text and pads a
    // shorter text with blanks: nothing beyond the text reaches the wire.
    const bool tcp = WriteFrame(*p, BuildTextFrame(p->CommsId, button, text, TextFormFor(p->ComPort)));
    if (ShowAllMessages) {
        DebugMessage(tcp ? "TX-> %s to panel %d button %d " : "TX-> SERIAL %s to panel %d button %d ", text.c_str(),
                     panel, button);
    }
    return SendResult::kDone;
}

SendResult SendButtonGraphic(int panel, int button, int graphic) {
    PanelRecord* p = TextPanelReady(panel, button);
    if (p == nullptr) return SendResult::kRefused;
    if (graphic < 0 || graphic > kMaxGraphic) {
        // Callers test the range; a stray number is never put on the wire.
        DebugMessage("Pellax_Panel - %d - graphic %d out of range 0..13 - button %d not sent ", panel, graphic,
                     button);
        return SendResult::kRefused;
    }
    const bool tcp = WriteFrame(*p, BuildGraphicFrame(p->CommsId, button, graphic));
    if (ShowAllMessages) {
        DebugMessage(tcp ? "TX-> gfx %d to panel %d button %d " : "TX-> SERIAL gfx %d to panel %d button %d ",
                     graphic, panel, button);
    }
    return SendResult::kDone;
}

SendResult SendButtonColour(int panel, int button, int colour) {
    PanelRecord* p = TextPanelReady(panel, button);
    if (p == nullptr) return SendResult::kRefused;
    const bool tcp = WriteFrame(*p, BuildColourFrame(p->CommsId, button, colour));
    if (ShowAllMessages) {
        DebugMessage(tcp ? "TX-> col %d to panel %d button %d " : "TX-> SERIAL col %d to panel %d button %d ",
                     colour, panel, button);
    }
    return SendResult::kDone;
}

SendResult SendLampOn(int panel, int button) { return SendLamp(panel, button, true); }

SendResult SendLampOff(int panel, int button) { return SendLamp(panel, button, false); }

SendResult SendClearPanel(int panel) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || p->Connected != 1) {
        if (ShowAllMessages) DebugMessage("Pellax_Panel - %d -  NOT connected ", panel);
        return SendResult::kRefused;
    }
    if (!HasPort(*p)) return SendResult::kDone;  // connected without a port object: nothing to write
    const bool tcp = WriteFrame(*p, BuildClearFrame(p->CommsId));
    if (ShowAllMessages) DebugMessage(tcp ? "TX-> CLEAR panel " : "TX-> SERIAL CLEAR panel ");
    return SendResult::kDone;
}

SendResult SendPanelCode6(int panel) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || p->Connected != 1) {
        if (ShowAllMessages) DebugMessage("Pellax_Panel - %d - no connection ", panel);
        return SendResult::kRefused;
    }
    if (!HasPort(*p)) return SendResult::kDone;
    WriteFrame(*p, BuildPanelCode6Frame(p->CommsId));
    return SendResult::kDone;
}

void ShowButtonMain(int panel, int button) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogInvalidButton(panel, button);
        return;
    }
    const ButtonRecord& b = p->Buttons[button];
    ShowFace(panel, button, b.MainText, b.Colour);
}

void ShowButtonAlt(int panel, int button) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogInvalidButton(panel, button);
        return;
    }
    const ButtonRecord& b = p->Buttons[button];
    ShowFace(panel, button, b.AltText, b.AltColour);
}

SendResult ButtonLabel(int panel, int button, const std::string& text) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogInvalidButton(panel, button);
        return SendResult::kRefused;
    }
    ButtonRecord& b = p->Buttons[button];
    if (IsGraphicLabel(text)) {
        const int graphic = GraphicNumber(text);
        if (ShowAllMessages) DebugMessage("ButtonLabel - gfx %d from %s ", graphic, text.c_str());
        if (graphic >= 0 && graphic <= kMaxGraphic) {
            b.MainText = text.substr(0, kLabelMax);
            SendButtonGraphic(panel, button, graphic);
        }
    } else {
        b.MainText = PadLabel10(text);
        SendButtonText(panel, button, b.MainText);
    }
    // Echo the text as received; the label is data, never a format.
    Info().updateslot(p->SlotOffset + kLabelOffset + button, "%s", text.c_str());
    return SendResult::kDone;
}

SendResult SetButtonColour(int panel, int button, int colour) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogNoConnectionOrButton(panel, button);
        return SendResult::kRefused;
    }
    p->Buttons[button].Colour = colour;
    SendButtonColour(panel, button, colour);  // stored even when it cannot go out
    return SendResult::kDone;
}

SendResult SetButtonAltLabel(int panel, int button, const std::string& text) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogNoConnectionOrButton(panel, button);
        return SendResult::kRefused;
    }
    p->Buttons[button].AltText = PadLabel10(text);
    return SendResult::kDone;
}

SendResult SetButtonAltColour(int panel, int button, int colour) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr || !ValidButton(*p, button)) {
        LogNoConnectionOrButton(panel, button);
        return SendResult::kRefused;
    }
    p->Buttons[button].AltColour = colour;
    return SendResult::kDone;
}

SendResult SetFlashButton(int panel, int button) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr) {
        DebugMessage("SetFlashButton - invalid panel %d - button %d ignored ", panel, button);
        return SendResult::kRefused;
    }
    if (!ValidButton(*p, button)) {
        // Stop flashing: the old button gets its main face back (for none,
        // ShowButtonMain only logs the verbose invalid-button line).
        const int old = p->FlashButton;
        ShowButtonMain(panel, old);
        if (old >= 0 && old < kButtonSlots) p->Buttons[old].LampState = 1;
        p->FlashButton = 0;
        if (FlashTimerRunning == 1 && !AnyPanelFlashing()) {
            FlashTimerRunning = 0;
            GetSeam().StopTimer(kFlashTimer);
        }
        return SendResult::kRefused;
    }
    if (p->FlashButton > 0) {
        ShowButtonMain(panel, p->FlashButton);
        if (p->FlashButton < kButtonSlots) p->Buttons[p->FlashButton].LampState = 1;
    }
    p->FlashButton = button;
    p->Buttons[button].LampState = 0;
    ShowButtonAlt(panel, button);
    if (FlashTimerRunning == 0) {
        GetSeam().StartTimer(kFlashTimer, kFlashPeriodMs);
        FlashTimerRunning = 1;
    }
    return SendResult::kRefused;
}

SendResult RefreshPanel(int panel) {
    PanelRecord* p = PanelOf(panel);
    if (p == nullptr) {
        DebugMessage("RefreshPanel - invalid panel %d - nothing sent ", panel);
        return SendResult::kDone;
    }
    const int flashing = p->FlashButton;
    // ButtonCount is at most 99 for every known type (-1 without a type).
    if (IsTextPanelType(p->TypeCode)) {
        SendClearPanel(panel);
        p->FlashButton = 0;
        for (int b = 1; b <= p->ButtonCount && b < kButtonSlots; ++b) ShowButtonMain(panel, b);
    } else if (IsLampPanelType(p->TypeCode)) {
        p->FlashButton = 0;
        for (int b = 1; b <= p->ButtonCount && b < kButtonSlots; ++b) {
            if (p->Buttons[b].Colour < 1) {
                SendLampOff(panel, b);
            } else {
                SendLampOn(panel, b);
            }
        }
    }
    // The refresh shows every main face; a button that slot 251 still names
    // goes on flashing (the control system has not stopped it).
    if (flashing > 0 && p->FlashButton == 0 && FlashSlotNames(*p, flashing)) SetFlashButton(panel, flashing);
    return SendResult::kDone;
}

}  // namespace vorn
