#include "panels/receive_path.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdio>
#include <span>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/service_events.h"
#include "panels/info_client.h"
#include "core/traffic_ring.h"
#include "panels/panel_connection_state.h"
#include "panels/panel_table.h"
#include "panels/slot_mapping.h"
#include "protocol/hex_dump.h"
#include "protocol/message_cutter.h"
#include "protocol/panel_frames.h"
#include "panels/panel_senders.h"
#include "protocol/traffic_count.h"
#include "transport/extinfo.h"
#include "transport/serial_panel_link.h"
#include "transport/tcp_panel_link.h"

namespace vorn {

namespace {

// Joystick states end below the identity slots; a larger n would overwrite
// them or the next panel's block.
constexpr int kJoystickMax = kJoystickLastOffset - kJoystickOffset;

// Line error flags that drop a serial block: receive overflow, overrun,
// parity, framing, break, transmit queue full, I/O error.
constexpr uint32_t kSerialErrorMask =
    kCeRxOver | kCeOverrun | kCeRxParity | kCeFrame | kCeBreak | kCeTxFull | kCeIoError;

// Blocks read per data event at most (4 KiB of TCP, 16 KiB of serial data);
// what remains is read when the level-triggered watch fires again, so a
// babbling panel cannot keep the GUI thread to itself.
constexpr int kBlocksPerEvent = 64;

static_assert(TcpPanelLink::kBlockSize == static_cast<int>(kTcpBlockMax));
static_assert(SerialPanelLink::kBlockSize == static_cast<int>(kSerialBlockMax));

// Re-entry guard of the handler. Everything runs on the one GUI thread, so a
// plain flag suffices: the handler entered again while it runs (a callback
// raised from inside it) gives up at once instead of waiting for itself.
bool NetEventBusy = false;

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

// The configured panel that owns this link, or -1. Looking the panel up by
// the link itself (not by its address text) keeps panels on similar
// addresses, or on one address with different ports, apart.
int PanelOfLink(const PanelLink* link) {
    if (link == nullptr) return -1;
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].Link.get() == link) return n;
    }
    return -1;
}

bool IsTcp(const PanelRecord& p) { return p.Link && p.Link->Kind() == LinkKind::kTcp; }

// Alive message (130, CommsId, code). A TCP panel proves it is alive only
// with code 125; a serial panel's code is not examined. One that counts makes
// the panel heard from (panel_connection_state.h); a panel that was taken as
// down (silent, or a line that took nothing) is connected again and, with
// RefreshOnConnection, repainted at once: it may have been switched off and
// on meanwhile.
void OnAlive(int panel, uint8_t code) {
    PanelRecord& p = Panels[panel];
    const bool counts = p.Link != nullptr && (!IsTcp(p) || code == PANEL_ALIVE);
    if (counts) {
        p.AliveSeen = 1;
        p.SendsAlive = 1;
        if (p.Connected == 0) {
            p.Connected = 1;
            if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
        }
        PublishPanelConnection(panel);
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
        Info().setslot(slot, "1");
        CountPanelPress(panel);
        if (ShowAllMessages) DebugMessage("Pressed Button %d from panel %d", button, panel);
    } else {
        Info().setslot(slot, "0");
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
        Info().setslot(slot, "1");
        if (ShowAllMessages) DebugMessage("Joystick Action %d from panel %d", n, panel);
    } else {
        Info().setslot(slot, "0");
        if (ShowAllMessages) DebugMessage("Joystick Released %d from panel %d", n, panel);
    }
    if (panel == ChosenPanel) {
        char text[16];  // "J-" and at most three digits
        std::snprintf(text, sizeof text, "J-%d", n);
        GetSeam().SetField(kFieldLastButton, text);
    }
}

void OnTcpConnect(PanelLink& link, int panel, int error) {
    PanelRecord& p = Panels[panel];
    // The address the port was connected with, as the log lines show it.
    const std::string address = link.Address().substr(0, kIpAddressMax);
    // Bytes of an earlier connection never join the new one.
    p.RxTail.Clear();
    p.AliveSeen = 0;
    if (error != 0) {
        DebugMessage("Failed to connect to panel %d - %s", panel, address.c_str());
        p.Connected = 0;
    } else {
        DebugMessage("Connect OK to panel %d - addr %s", panel, address.c_str());
        p.Connected = 1;
        p.HeardAt = GetSeam().Now();  // a panel that sends alive messages has until the timeout to do so
        CountPanelLinkUp(panel);
        if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
    }
    PublishPanelConnection(panel);
}

// The line went away: a TCP close event, or a serial hang-up or read error.
// A serial port is closed here (it stays open otherwise); the 3-second poll
// opens it again, like an unconnected TCP panel.
void OnLinkClosed(PanelLink& link, int panel, int error) {
    PanelRecord& p = Panels[panel];
    p.RxTail.Clear();
    if (link.Kind() == LinkKind::kTcp) {
        DebugMessage("**** Connection CLOSED to panel %d - %s - code %ld", panel,
                     link.Address().substr(0, kIpAddressMax).c_str(), static_cast<long>(error));
    } else {
        DebugMessage("**** Serial line CLOSED to panel %d - COM%d - %s ", panel, link.ComPort(),
                     error != 0 ? std::strerror(error) : "end of input");
        link.Close();
    }
    p.Connected = 0;
    p.AliveSeen = 0;
    PublishPanelConnection(panel);
}

// One block of a serial line. Any line error flag, alone or together with
// others, makes the block untrustworthy: it is dropped, and so is a partial
// message carried from before it, since the bytes between them may be lost;
// the panel counts as not heard from until its next alive message. A block
// by itself makes no panel connected: only an alive message with the
// panel's own id does (what else is on the line may be another panel's).
void OnSerialBlock(PanelLink& link, int panel, std::span<const uint8_t> block, uint32_t errors) {
    PanelRecord& p = Panels[panel];
    ShowInfodriverCounters();
    const int comPort = link.ComPort();
    if (ShowAllMessages) {
        const std::string dump = RxHexDump(block);
        DebugMessage("%s, Read %d bytes from port %d", dump.c_str(), static_cast<int>(block.size()), comPort);
    }
    if ((errors & kSerialErrorMask) != 0) {
        DebugMessage("*** Serial Com port %d ERROR \"%u\"", comPort, static_cast<unsigned>(errors));
        p.RxTail.Clear();
        p.AliveSeen = 0;
        PublishPanelConnection(panel);
        return;
    }
    ParsePanelData(block.data(), block.size(), panel);
}

// Reads what waits, block by block (at most kBlocksPerEvent), handing each
// block to the parser. A block shorter than the link's block size means the
// line is empty for now, so no further read is made just to learn that. An
// event whose first read finds nothing still hands on one empty block (it
// counts as a block read, as every event did when it read once).
void OnDataWaiting(PanelLink& link, int panel, int error) {
    const bool tcp = link.Kind() == LinkKind::kTcp;
    if (tcp && error != 0) {
        DebugMessage("Main Panel %d---Read Error-2--", panel);
        return;
    }
    std::array<uint8_t, kSerialBlockMax> buffer{};
    const int size = std::min(link.BlockSize(), static_cast<int>(buffer.size()));
    for (int i = 0; i < kBlocksPerEvent; ++i) {
        const uint32_t lineErrors = tcp ? 0 : link.TakeLineErrors();
        int got = 0;
        int readError = 0;
        switch (link.Read(buffer.data(), size, &got, &readError)) {
            case LinkRead::kNothing:
                if (i > 0) return;
                got = 0;
                break;
            case LinkRead::kClosed:
            case LinkRead::kError:
                if (tcp) {
                    DebugMessage("Main Panel %d ---Read Error-1--", panel);
                } else {
                    OnLinkClosed(link, panel, readError);
                }
                return;
            case LinkRead::kData:
                break;
        }
        const std::span<const uint8_t> block(buffer.data(), static_cast<size_t>(got));
        PanelTraffic(panel).Record(TrafficDirection::kReceived, block.data(), block.size());
        if (tcp) {
            if (ShowAllMessages) {
                const std::string dump = RxHexDump(block);
                DebugMessage("%s, Read %d bytes from panel %d", dump.c_str(), got, panel);
            }
            ParsePanelData(block.data(), block.size(), panel);
        } else {
            OnSerialBlock(link, panel, block, lineErrors);
        }
        // The handlers above may have closed the link or replaced the table.
        if (Panels[panel].Link.get() != &link || got < size) return;
    }
}

}  // namespace

void NetEventMain(PanelLink& link, LinkEvent event, int error) {
    ReentryGuard guard(NetEventBusy);
    if (!guard.Entered()) {
        DebugMessage(link.Kind() == LinkKind::kTcp
                         ? "NetEventMain - ERROR - timeout / fail to aquire netPort semaphore "
                         : "NetEventMain - ERROR - timeout / fail to aquire SerialPort semaphore ");
        return;
    }
    const int panel = PanelOfLink(&link);
    if (!IsPanelNumber(panel) || Panels[panel].InUse == 0) return;
    switch (event) {
        case LinkEvent::kConnected:
        case LinkEvent::kConnectFailed:
            OnTcpConnect(link, panel, event == LinkEvent::kConnected ? 0 : (error != 0 ? error : -1));
            return;
        case LinkEvent::kClosed:
            OnLinkClosed(link, panel, error);
            return;
        case LinkEvent::kDataWaiting:
            OnDataWaiting(link, panel, error);
            return;
    }
}

void ParsePanelData(const uint8_t* data, size_t length, int panel) {
    if (!IsPanelNumber(panel)) {
        DebugMessage("ParsePanelData - invalid panel %d ", panel);
        return;
    }
    if (data == nullptr) length = 0;
    PanelRecord& p = Panels[panel];
    const auto heardAt = GetSeam().Now();
    CutResult cut = CutPanelMessages(p.RxTail, std::span<const uint8_t>(data, length), p.CommsId, panel);
    p.RxTail = cut.carry;
    // Items in stream order; their number is bounded by the block length.
    for (const RxItem& item : cut.items) {
        // Every item but a log line carries the panel's own id: the panel is
        // there. Bytes of other panels prove nothing.
        if (item.kind != RxItemKind::Log) p.HeardAt = heardAt;
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
