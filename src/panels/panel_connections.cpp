#include "panels/panel_connections.h"

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "panels/panel_table.h"
#include "protocol/panel_frames.h"
#include "panels/panel_senders.h"
#include "panels/receive_path.h"
#include "protocol/traffic_count.h"
#include "transport/extinfo.h"
#include "transport/net_port.h"
#include "transport/serial_port.h"

namespace vorn {

namespace {

// Bytes the serial library collects before it notifies.
constexpr int kSerialNotifySize = 32;

// The two receive handlers, picked out of the overload set.
const NetPort::Callback kTcpHandler = static_cast<void (*)(NetPort*)>(&NetEventMain);
const SerialNotifyFn kSerialHandler = static_cast<void (*)(SerialPort*)>(&NetEventMain);

// Identity slots, so that the control system sees which panel this block is.
void WriteNameSlots(const PanelRecord& p) {
    ExtInfo.updateslot(p.SlotOffset + kPanelIdOffset, "%s", p.PanelId.c_str());
    ExtInfo.updateslot(p.SlotOffset + kLocationOffset, "%s", p.Location.c_str());
    ExtInfo.updateslot(p.SlotOffset + kTypeNameOffset, "%s", p.TypeName.c_str());
}

void ConnectTcp(int n) {
    PanelRecord& p = Panels[n];
    WriteNameSlots(p);
    if (!p.NetPortObject) {
        DebugMessage("ConnectToPanel - NO NETPORT Class for panel %d ", n);
        return;
    }
    // A new connection starts with no partial message. Connect may report
    // the close of an old socket to NetEventMain before it returns.
    p.RxTail.Clear();
    const int result = p.NetPortObject->Connect(p.IpAddress.c_str(), p.Port);
    if (result == 0) {
        // Under way: the outcome arrives as a connect event in NetEventMain.
        p.NetPortObject->SetNotify(kTcpHandler, NetPort::kFdRead);
        DebugMessage("Connection opened OK to Panel %d=%s", n, p.PanelId.c_str());
        p.Connected = 1;
    } else {
        p.Connected = 0;
        DebugMessage("Connection FAILED to Panel %d=%s", n, p.PanelId.c_str());
        ExtInfo.setslot(PanelStatusSlot(p), "0");
    }
    p.RxCount = 0;
    p.TxCount = 0;
}

void ConnectSerial(int n) {
    PanelRecord& p = Panels[n];
    if (p.ComPort < 1) return;  // not configured: nothing written, nothing logged
    WriteNameSlots(p);
    if (!p.SerialPortObject) {
        DebugMessage("ConnectToPanel - NO SERIAL Class for panel %d ", n);
        return;
    }
    p.RxTail.Clear();
    const int status = p.SerialPortObject->Open(p.ComPort);
    DebugMessage("opened serial port %d, status %ld", p.ComPort, static_cast<long>(status));
    if (status == -2) {
        DebugMessage("Serial port %d ERROR - already open", p.ComPort);
    } else if (status == -1) {
        DebugMessage("Serial port %d ERROR - does not exist,or is already open", p.ComPort);
    }
    if (status < 0) return;  // stays unconnected; the next poll tries again
    DebugMessage("Successfully opened serial port %d, speed %ld", p.ComPort, static_cast<long>(Settings.Speed));
    p.SerialPortObject->SetNotifyWindow(kSerialHandler, kSerialNotifySize);
    p.Connected = 1;
    // A serial line has no connect event: the transport is open now, so the
    // panel's first alive message sends it its whole content, as a TCP panel
    // gets after its connect. Without this a serial panel would show nothing
    // the control system set before the driver became main.
    if (Settings.RefreshOnConnection == 1) p.RefreshPending = 1;
}

}  // namespace

void ConnectToPanel(int panel) {
    if (!IsPanelNumber(panel)) {
        DebugMessage("ConnectToPanel - invalid panel %d ", panel);
        return;
    }
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
        // Closing a TCP port reports the close to NetEventMain at once.
        if (p.NetPortObject) {
            p.NetPortObject->Close();
        } else if (p.SerialPortObject) {
            p.SerialPortObject->Close();
        }
        p.Connected = 0;
        p.RxTail.Clear();
        ExtInfo.updateslot(PanelStatusSlot(p), "0");
    }
}

void PollPanel(int panel) {
    if (!IsPanelNumber(panel)) {
        DebugMessage("PollPanel - invalid panel %d ", panel);
        return;
    }
    PanelRecord& p = Panels[panel];
    if (p.Connected == 1) {
        // Serial panels are not polled; their data notifications keep them alive.
        if (p.NetPortObject) {
            const PanelFrame frame = BuildPollFrame(p.CommsId);
            p.NetPortObject->Send(frame.Data(), frame.Length());
            CountTraffic(p.TxCount);  // a poll every 3 s for years must not overflow
        }
        return;
    }
    DebugMessage("Poll - attempting to reconnect to panel %d ", panel);
    ConnectToPanel(panel);
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
