#include "panels/panel_connections.h"

#include <chrono>
#include <span>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/service_events.h"
#include "panels/info_client.h"
#include "core/traffic_ring.h"
#include "panels/panel_connection_state.h"
#include "panels/panel_table.h"
#include "protocol/panel_frames.h"
#include "panels/panel_senders.h"
#include "panels/receive_path.h"
#include "protocol/traffic_count.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

// The status number of a serial open as the log shows it.
int SerialOpenStatus(LinkOpen result) {
    switch (result) {
        case LinkOpen::kOpen: return 1;
        case LinkOpen::kInUse: return -2;
        default: return -1;
    }
}

// Identity slots, so that the control system sees which panel this block is.
void WriteNameSlots(const PanelRecord& p) {
    Info().updateslot(p.SlotOffset + kPanelIdOffset, "%s", p.PanelId.c_str());
    Info().updateslot(p.SlotOffset + kLocationOffset, "%s", p.Location.c_str());
    Info().updateslot(p.SlotOffset + kTypeNameOffset, "%s", p.TypeName.c_str());
}

void ConnectTcp(int n) {
    PanelRecord& p = Panels[n];
    WriteNameSlots(p);
    if (!p.Link || p.Link->Kind() != LinkKind::kTcp) {
        DebugMessage("ConnectToPanel - NO NETPORT Class for panel %d ", n);
        return;
    }
    // A new connection starts with no partial message. Open may report the
    // close of an old connection to NetEventMain before it returns.
    p.RxTail.Clear();
    if (p.Link->Open() == LinkOpen::kPending) {
        // Under way: the outcome arrives as a connect event in NetEventMain.
        DebugMessage("Connection opened OK to Panel %d=%s", n, p.PanelId.c_str());
        p.Connected = 1;
    } else {
        p.Connected = 0;
        DebugMessage("Connection FAILED to Panel %d=%s", n, p.PanelId.c_str());
        Info().setslot(PanelStatusSlot(p), "0");
    }
    p.RxCount = 0;
    p.TxCount = 0;
}

// Another configured panel of this driver whose open line is the device
// that panel n's COM port names now; 0 when none.
int PanelHoldingDeviceOf(int n) {
    for (int m = 1; m <= kMaxPanels; ++m) {
        if (m != n && Panels[m].InUse != 0 && Panels[m].Link && Panels[m].Link->HoldsDeviceOf(Panels[n].ComPort)) {
            return m;
        }
    }
    return 0;
}

void ConnectSerial(int n) {
    PanelRecord& p = Panels[n];
    if (p.ComPort < 1) return;  // not configured: nothing written, nothing logged
    WriteNameSlots(p);
    if (!p.Link || p.Link->Kind() != LinkKind::kSerial) {
        DebugMessage("ConnectToPanel - NO SERIAL Class for panel %d ", n);
        return;
    }
    // Held by a panel of this driver: say which, rather than letting the
    // open report another program.
    if (const int holder = PanelHoldingDeviceOf(n); holder != 0) {
        DebugMessage("Serial port %d ERROR - in use by panel %d", p.ComPort, holder);
        return;  // the next poll tries again
    }
    p.RxTail.Clear();
    const int status = SerialOpenStatus(p.Link->Open());
    DebugMessage("opened serial port %d, status %ld", p.ComPort, static_cast<long>(status));
    if (status == -2) {
        DebugMessage("Serial port %d ERROR - already open", p.ComPort);
    } else if (status == -1) {
        DebugMessage("Serial port %d ERROR - does not exist,or is already open", p.ComPort);
    }
    if (status < 0) return;  // stays unconnected; the next poll tries again
    DebugMessage("Successfully opened serial port %d, speed %ld", p.ComPort, static_cast<long>(Settings.Speed));
    p.Connected = 1;
    p.AliveSeen = 0;
    CountPanelLinkUp(n);
    // A serial line has no connect event: the transport is open now, so the
    // panel's first alive message sends it its whole content, as a TCP panel
    // gets after its connect. Without this a serial panel would show nothing
    // the control system set before the driver became main.
    if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
    // Open, but not heard from: "0" until its first alive message, also over
    // a "1" that an earlier driver left.
    PublishPanelConnection(n);
}

// Every frame that leaves the driver for a panel passes here, once its
// last byte has been handed to the kernel: counted, and kept in the panel's
// traffic ring (a frame that a newer one replaced while it waited never
// left, and is in neither).
void OnFrameSent(PanelLink& link, std::span<const uint8_t> frame) {
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].Link.get() != &link) continue;
        CountTraffic(Panels[n].TxCount);  // a poll every 3 s for years must not overflow
        PanelTraffic(n).Record(TrafficDirection::kSent, frame.data(), frame.size());
        return;
    }
}

}  // namespace

void InstallPanelLink(int panel, std::unique_ptr<PanelLink> link) {
    if (!IsPanelNumber(panel)) return;
    if (link) {
        link->SetHandler(&NetEventMain);
        link->SetSentHandler(&OnFrameSent);
    }
    Panels[panel].Link = std::move(link);
}

void ConnectToPanel(int panel) {
    if (!IsPanelNumber(panel)) {
        DebugMessage("ConnectToPanel - invalid panel %d ", panel);
        return;
    }
    if (Info().linklost()) return;  // ending: the panels belong to the other driver now
    if (Panels[panel].Connected != 0) return;
    if (IsRealIpAddress(Panels[panel].IpAddress)) {
        ConnectTcp(panel);
    } else {
        ConnectSerial(panel);
    }
}

void DisconnectAllPanels() {
    DebugMessage("Disconnecting from all panels ");
    for (int n = 1; n <= kMaxPanels; ++n) {
        PanelRecord& p = Panels[n];
        if (p.InUse == 0) continue;
        // Only a panel this driver had open gets "0": a starting reserve
        // must not write over the status of the main's live panels.
        const bool hadOpen = p.Connected != 0 || (p.Link && p.Link->LineIsUp());
        // Closing a TCP link reports the close to NetEventMain at once.
        if (p.Link) p.Link->Close();
        p.Connected = 0;
        p.AliveSeen = 0;
        p.RxTail.Clear();
        if (hadOpen) PublishPanelConnection(n);
    }
}

void PollPanel(int panel) {
    if (!IsPanelNumber(panel)) {
        DebugMessage("PollPanel - invalid panel %d ", panel);
        return;
    }
    PanelRecord& p = Panels[panel];
    if (Info().linklost()) return;  // ending: the panels belong to the other driver now
    const bool serial = p.Link && p.Link->Kind() == LinkKind::kSerial;
    if (serial && p.Link->LineIsUp()) {
        // Serial panels are not polled. An open line stays open, also while
        // its panel is silent or its output was given up: the panel is back
        // when it is heard from (the receive path), not when reopened. Unless
        // the COM port names another device now (a link moved to another
        // adapter) or none: then the line held is not this COM port's any
        // more, and is closed and opened again on whatever the name gives.
        if (p.Link->HoldsDeviceOf(p.ComPort)) return;
        DebugMessage("Serial port %d now names another device or none - port closed ", p.ComPort);
        p.Link->Close();
        p.Connected = 0;
        p.AliveSeen = 0;
        p.RxTail.Clear();
        PublishPanelConnection(panel);
    } else if (p.Connected == 1) {
        if (!serial && p.Link) {
            const PanelFrame frame = BuildPollFrame(p.CommsId);
            p.Link->Send(frame.Data(), frame.Length());  // counted once it has gone
        }
        return;
    }
    DebugMessage("Poll - attempting to reconnect to panel %d ", panel);
    ConnectToPanel(panel);
}

void CheckPanelSilence() {
    const int limit = Settings.PanelSilenceTimeout;
    if (limit <= 0) return;
    const auto now = GetSeam().Now();
    for (int n = 1; n <= kMaxPanels; ++n) {
        PanelRecord& p = Panels[n];
        if (p.InUse == 0 || p.Connected != 1 || !p.Link) continue;
        const bool tcp = p.Link->Kind() == LinkKind::kTcp;
        // A line that has taken no byte for the limit while frames wait for
        // it. A TCP panel is closed and reconnected by the poll; a serial
        // panel loses what waits and counts as not connected until it is
        // heard from again, which refreshes it.
        const auto stalled = std::chrono::duration_cast<std::chrono::seconds>(p.Link->OutputStalledFor());
        if (stalled.count() >= limit) {
            if (tcp) {
                DebugMessage("Panel %d took no output for %d s - connection closed ", n,
                             static_cast<int>(stalled.count()));
                p.AliveSeen = 0;
                p.Link->Close();  // reports the close: "0" in the status slot
                p.Connected = 0;
            } else {
                DebugMessage("Panel %d took no output for %d s - waiting output discarded ", n,
                             static_cast<int>(stalled.count()));
                p.Link->DiscardOutput();
                if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
                p.Connected = 0;
                p.AliveSeen = 0;
                PublishPanelConnection(n);
            }
            continue;
        }
        // Watched: a panel heard from on its line, and a TCP panel that sent
        // alive messages before, from its connect on.
        if (p.AliveSeen == 0 && !(tcp && p.SendsAlive != 0 && p.Link->LineIsUp())) continue;
        const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - p.HeardAt);
        if (silent.count() < limit) continue;
        if (tcp) {
            DebugMessage("Panel %d silent for %d s - connection closed ", n, static_cast<int>(silent.count()));
            p.AliveSeen = 0;
            p.Link->Close();  // reports the close: "0" in the status slot
            p.Connected = 0;
            continue;
        }
        // A serial panel that fell silent keeps its port: it may be switched
        // off, or its cable now carries another panel. Its next alive message
        // makes it connected again and (with RefreshOnConnection) repaints it,
        // as it may have been switched off and on without the line noticing.
        DebugMessage("Panel %d silent for %d s - marked not connected ", n, static_cast<int>(silent.count()));
        p.AliveSeen = 0;
        p.Connected = 0;
        p.Link->DiscardOutput();
        if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
        PublishPanelConnection(n);
    }
}

void PollAllPanels() {
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].InUse != 0) PollPanel(n);
    }
}

void RefreshAllPanels() {
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].InUse != 0) RefreshPanel(n);
    }
}

}  // namespace vorn
