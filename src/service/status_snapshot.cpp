#include "service/status_snapshot.h"

#include <string>

#include "core/driver_state.h"
#include "core/loop_lag.h"
#include "core/seam.h"
#include "core/service_events.h"
#include "core/version_info.h"
#include "panels/info_client.h"
#include "panels/panel_connection_state.h"
#include "panels/panel_table.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

// A counter of the driver (an int that wraps to 1) as an unsigned value.
std::uint64_t Count(int value) { return value > 0 ? static_cast<std::uint64_t>(value) : 0; }

// The field's text when there is one, else the fallback.
std::string FieldOr(const FieldTextFn& fieldText, int controlId, std::string fallback) {
    if (fieldText) {
        std::string text = fieldText(controlId);
        if (!text.empty()) return text;
    }
    return fallback;
}

// Attached to the Infodriver: the client's own word on its link, not the
// last status code it was told (which a notification may have overwritten).
bool InfodriverAttached() {
    const extinfo* client = BoundInfoClient();
    return client != nullptr && client->isattached();
}

PanelSnapshot PanelOf(int n) {
    const PanelRecord& p = Panels[n];
    PanelSnapshot s;
    s.number = n;
    s.id = p.PanelId;
    s.location = p.Location;
    s.type = p.TypeName;
    s.buttons = p.ButtonCount > 0 ? p.ButtonCount : 0;
    // The loader's rule: a real TCP address makes a TCP panel, else a COM
    // port of 1 or more a serial one.
    if (IsRealIpAddress(p.IpAddress)) {
        s.link = "tcp";
        s.address = p.IpAddress + ":" + std::to_string(p.Port);
    } else if (p.ComPort >= 1) {
        s.link = "serial";
        s.address = "COM" + std::to_string(p.ComPort) + " " + Settings.SerialParams;
    } else {
        s.link = "none";
    }
    const PanelConnection state = PanelConnectionOf(n);
    s.connected = state.connected;
    s.heard = state.state == PanelLinkState::kHeard;
    s.connection = state.words;  // the status view's words for the chosen panel
    s.why = state.why;
    s.rx = Count(p.RxCount);
    s.tx = Count(p.TxCount);
    s.lastButton = p.LastButton;
    s.presses = PanelCounters(n).presses;
    s.reconnects = PanelCounters(n).reconnects();
    s.typeCode = p.TypeCode;
    s.flashButton = p.FlashButton;
    s.labelChars = p.ComPort > 0 ? 8 : 10;
    s.keys.reserve(static_cast<std::size_t>(s.buttons));
    for (int b = 1; b <= s.buttons && b < kButtonSlots; ++b) {
        const ButtonRecord& r = p.Buttons[b];
        s.keys.push_back({r.MainText, r.AltText, r.Colour, r.AltColour, r.LampState != 0});
    }
    return s;
}

}  // namespace

StatusSnapshot TakeStatusSnapshot(const FieldTextFn& fieldText) {
    StatusSnapshot snap;
    StatusSnapshot::Driver& d = snap.driver;
    d.device = DeviceNumber;
    d.version = FieldOr(fieldText, kFieldVersion, DottedProductVersion());
    d.identity = Settings.Driver_Identity;
    d.statusCode = DriverStatus;
    const char* statusWords = DriverStatus == 0 ? "Running OK" : DriverStatus == 2 ? "FAILED" : "Initialising";
    d.status = FieldOr(fieldText, kFieldDriverStatus, statusWords);
    d.mode = DriverMode == IFMODE_TXRX ? 2 : DriverMode == IFMODE_RXONLY ? 1 : 0;
    d.modeName = d.mode == 2 ? "main" : d.mode == 1 ? "reserve" : "unknown";
    d.panelCount = PanelCount;
    d.commsCode = CommsSummary;
    d.comms = FieldOr(fieldText, kFieldCommsSummary, "");
    d.loopLagSeconds =
        std::chrono::duration<double>(DriverLoopLag().Longest(std::chrono::steady_clock::now())).count();

    StatusSnapshot::Infodriver& info = snap.infodriver;
    info.connected = InfodriverAttached();
    info.status = FieldOr(fieldText, kFieldInfoStatus, info.connected ? "Connected" : "Not connected");
    info.rx = Count(InfodriverRxCount);
    info.tx = Count(InfodriverTxCount);

    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].InUse != 0) snap.panels.push_back(PanelOf(n));
    }
    return snap;
}

std::string ServiceStatusLine(const StatusSnapshot& snapshot) {
    const StatusSnapshot::Driver& d = snapshot.driver;
    std::string line = d.modeName;
    if (d.statusCode == 2) return line + ": driver failed";
    if (d.statusCode == 1) return line + ": loading";
    if (d.mode == 1) return line + ": panels disconnected";
    int connected = 0;
    for (const PanelSnapshot& p : snapshot.panels) connected += p.connected ? 1 : 0;
    return line + ": " + std::to_string(connected) + "/" + std::to_string(snapshot.panels.size()) +
           " panels connected";
}

}  // namespace vorn
