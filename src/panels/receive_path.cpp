#include "panels/receive_path.h"

#include <array>
#include <cstdio>
#include <span>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "panels/panel_table.h"
#include "panels/slot_mapping.h"
#include "protocol/hex_dump.h"
#include "protocol/message_cutter.h"
#include "protocol/panel_frames.h"
#include "panels/panel_senders.h"
#include "protocol/traffic_count.h"
#include "transport/extinfo.h"
#include "transport/net_port.h"
#include "transport/serial_port.h"

namespace vorn {

namespace {

// Joystick states end below the identity slots; a larger n would overwrite
// them or the next panel's block.
constexpr int kJoystickMax = kJoystickLastOffset - kJoystickOffset;

// Line error flags that drop a serial block: receive overflow, overrun,
// parity, framing, break, transmit queue full, I/O error.
constexpr uint32_t kSerialErrorMask =
    kCeRxOver | kCeOverrun | kCeRxParity | kCeFrame | kCeBreak | kCeTxFull | kCeIoError;

// Re-entry guards, one per handler form. Everything runs on the one GUI
// thread, so a plain flag suffices: a handler entered again while it runs
// (a nested event loop, or a callback raised from inside it) gives up at once
// instead of waiting for itself.
bool NetEventBusy = false;
bool SerialEventBusy = false;

class ReentryGuard {
public:
    explicit ReentryGuard(bool& flag) : flag_(flag), entered_(!flag) {
        if (entered_) flag_ = true;
    }
    ~ReentryGuard() {
        if (entered_) flag_ = false;
    }
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;
    bool Entered() const { return entered_; }

private:
    bool& flag_;
    bool entered_;
};

// The configured panel that owns this port object, or -1. Looking the panel
// up by the port itself (not by its address text) keeps panels on similar
// addresses, or on one address with different ports, apart.
int PanelOfNetPort(const NetPort* port) {
    if (port == nullptr) return -1;
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].NetPortObject.get() == port) return n;
    }
    return -1;
}

int PanelOfSerialPort(const SerialPort* port) {
    if (port == nullptr) return -1;
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].SerialPortObject.get() == port) return n;
    }
    return -1;
}

// Alive message (130, CommsId, code). A TCP panel proves it is alive only
// with code 125; a serial panel's code is not examined.
void OnAlive(int panel, uint8_t code) {
    PanelRecord& p = Panels[panel];
    const bool counts = p.NetPortObject ? code == PANEL_ALIVE : p.SerialPortObject != nullptr;
    if (counts) {
        ExtInfo.updateslot(PanelStatusSlot(p), "1");
        if (p.Connected == 0) {
            p.Connected = 1;
            if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
        }
    }
    if (ShowAllMessages) DebugMessage("Alive message from panel %d", panel);
    if (p.RefreshPending == 1) {
        DebugMessage("Reconnected - refreshing panel %d ", panel);
        p.RefreshPending = 0;
        RefreshPanel(panel);
    }
}

// Button press (action 1) or release (0 or 5). setslot always writes, so
// every press and release reaches the Infodriver even if the text repeats.
void OnButton(int panel, uint8_t action, uint8_t button) {
    PanelRecord& p = Panels[panel];
    // Offsets 1..50 hold button states (or nothing), so any button there is
    // written as it comes, also on a panel whose configured type has fewer
    // buttons than the hardware. Above that lie this block's labels, colours
    // and commands: only a panel that really has that many buttons (an
    // 80-button lamp panel) writes there.
    if (button < 1 || (button > kLabelOffset && button > p.ButtonCount)) {
        DebugMessage("Warning-  button %d out of range from panel %d ", button, panel);
        return;
    }
    const int slot = p.SlotOffset + button;
    if (action == ACTION_PRESS) {
        ExtInfo.setslot(slot, "1");
        if (ShowAllMessages) DebugMessage("Pressed Button %d from panel %d", button, panel);
    } else {
        ExtInfo.setslot(slot, "0");
        if (ShowAllMessages) DebugMessage("Released Button %d from panel %d", button, panel);
    }
    p.LastButton = button;
    if (panel == ChosenPanel) GetSeam().SetFieldNumber(kFieldLastButton, static_cast<unsigned>(p.LastButton));
}

// Joystick action (1) or release (5); n is the joystick's number.
void OnJoystick(int panel, uint8_t action, uint8_t n) {
    PanelRecord& p = Panels[panel];
    if (n > kJoystickMax) {
        DebugMessage("Warning-  joystick %d out of range from panel %d ", n, panel);
        return;
    }
    const int slot = p.SlotOffset + kJoystickOffset + n;
    if (action == ACTION_PRESS) {
        ExtInfo.setslot(slot, "1");
        if (ShowAllMessages) DebugMessage("Joystick Action %d from panel %d", n, panel);
    } else {
        ExtInfo.setslot(slot, "0");
        if (ShowAllMessages) DebugMessage("Joystick Released %d from panel %d", n, panel);
    }
    if (panel == ChosenPanel) {
        char text[16];  // "J-" and at most three digits
        std::snprintf(text, sizeof text, "J-%d", n);
        GetSeam().SetField(kFieldLastButton, text);
    }
}

void HandleTcpEvent(NetPort* port, int panel) {
    PanelRecord& p = Panels[panel];
    // The address the port was connected with, as the log lines show it.
    const std::string address = port->host.substr(0, kIpAddressMax);

    switch (port->event) {
        case NetPort::kFdRead: {
            if (port->error != 0) {
                DebugMessage("Main Panel %d---Read Error-2--", panel);
                return;
            }
            // One read per event, at most kTcpBlockMax bytes; the port raises
            // the read event again while more data waits.
            std::array<uint8_t, kTcpBlockMax> buffer{};
            const int n = port->Receive(buffer.data(), static_cast<int>(buffer.size()));
            // A negative count means the port has no socket: nothing was read.
            if (port->error != 0 || n < 0) {
                DebugMessage("Main Panel %d ---Read Error-1--", panel);
                return;
            }
            const size_t length = static_cast<size_t>(n) < buffer.size() ? static_cast<size_t>(n) : buffer.size();
            if (ShowAllMessages) {
                const std::string dump = RxHexDump({buffer.data(), length});
                DebugMessage("%s, Read %d bytes from panel %d", dump.c_str(), static_cast<int>(length), panel);
            }
            ParsePanelData(buffer.data(), length, panel);
            return;
        }
        case NetPort::kFdConnect:
            // Bytes of an earlier connection never join the new one.
            p.RxTail.Clear();
            if (port->error != 0) {
                DebugMessage("Failed to connect to panel %d - %s", panel, address.c_str());
                p.Connected = 0;
                ExtInfo.updateslot(PanelStatusSlot(p), "0");
            } else {
                DebugMessage("Connect OK to panel %d - addr %s", panel, address.c_str());
                p.Connected = 1;
                if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
                ExtInfo.updateslot(PanelStatusSlot(p), "1");
            }
            return;
        case NetPort::kFdClose:
            p.RxTail.Clear();
            DebugMessage("**** Connection CLOSED to panel %d - %s - code %ld", panel, address.c_str(),
                         static_cast<long>(port->error));
            p.Connected = 0;
            ExtInfo.updateslot(PanelStatusSlot(p), "0");
            return;
        default:
            return;
    }
}

void HandleSerialData(SerialPort* port, int panel) {
    PanelRecord& p = Panels[panel];
    ComStat status;
    uint32_t errors = 0;
    port->GetStatus(&status, &errors);

    // One read per notification, at most kSerialBlockMax bytes; the library
    // notifies again while more data waits.
    std::array<uint8_t, kSerialBlockMax> buffer{};
    const int n = port->Read(buffer.data(), static_cast<int>(buffer.size()));
    const size_t length = n <= 0 ? 0 : (static_cast<size_t>(n) < buffer.size() ? static_cast<size_t>(n) : buffer.size());

    ShowInfodriverCounters();
    const int comPort = port->GetPort();
    if (ShowAllMessages) {
        const std::string dump = RxHexDump({buffer.data(), length});
        DebugMessage("%s, Read %d bytes from port %d", dump.c_str(), static_cast<int>(length), comPort);
    }

    // Any line error flag, alone or together with others, makes the block
    // untrustworthy: it is dropped, and so is a partial message carried from
    // before it, since the bytes between them may be lost.
    if ((errors & kSerialErrorMask) != 0) {
        DebugMessage("*** Serial Com port %d ERROR \"%u\"", comPort, static_cast<unsigned>(errors));
        p.RxTail.Clear();
        ExtInfo.updateslot(PanelStatusSlot(p), "0");
        return;
    }
    p.Connected = 1;
    ExtInfo.updateslot(PanelStatusSlot(p), "1");
    ParsePanelData(buffer.data(), length, panel);
}

}  // namespace

void NetEventMain(NetPort* port) {
    ReentryGuard guard(NetEventBusy);
    if (!guard.Entered()) {
        DebugMessage("NetEventMain - ERROR - timeout / fail to aquire netPort semaphore ");
        return;
    }
    const int panel = PanelOfNetPort(port);
    if (!IsPanelNumber(panel) || Panels[panel].InUse == 0) return;
    HandleTcpEvent(port, panel);
}

void NetEventMain(SerialPort* port) {
    ReentryGuard guard(SerialEventBusy);
    if (!guard.Entered()) {
        DebugMessage("NetEventMain - ERROR - timeout / fail to aquire SerialPort semaphore ");
        return;
    }
    const int panel = PanelOfSerialPort(port);
    if (!IsPanelNumber(panel) || Panels[panel].InUse == 0) return;
    HandleSerialData(port, panel);
}

void ParsePanelData(const uint8_t* data, size_t length, int panel) {
    if (!IsPanelNumber(panel)) {
        DebugMessage("ParsePanelData - invalid panel %d ", panel);
        return;
    }
    if (data == nullptr) length = 0;
    PanelRecord& p = Panels[panel];
    CutResult cut = CutPanelMessages(p.RxTail, std::span<const uint8_t>(data, length), p.CommsId, panel);
    p.RxTail = cut.carry;
    // Items in stream order; their number is bounded by the block length.
    for (const RxItem& item : cut.items) {
        switch (item.kind) {
            case RxItemKind::Log:
                DebugMessage("%s", item.text.c_str());
                break;
            case RxItemKind::Alive:
                OnAlive(panel, item.action);
                break;
            case RxItemKind::Button:
                OnButton(panel, item.action, item.number);
                break;
            case RxItemKind::Joystick:
                OnJoystick(panel, item.action, item.number);
                break;
        }
    }
    CountTraffic(p.RxCount);  // one per block, never overflowing
}

}  // namespace vorn
