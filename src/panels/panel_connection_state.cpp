#include "panels/panel_connection_state.h"

#include <cstdio>

#include "panels/info_client.h"
#include "panels/panel_table.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

std::string HexId(int commsId) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(commsId) & 0xFFu);
    return text;
}

}  // namespace

PanelConnection PanelConnectionOf(int panel) {
    PanelConnection c;
    if (!IsPanelNumber(panel) || Panels[panel].InUse == 0) return c;
    const PanelRecord& p = Panels[panel];
    // The loader's rule: a real TCP address makes a TCP panel.
    const bool tcp = IsRealIpAddress(p.IpAddress);
    const bool lineUp = p.Link && p.Link->LineIsUp();
    const std::string where = tcp ? p.IpAddress + ":" + std::to_string(p.Port)
                                  : "COM" + std::to_string(p.ComPort);
    if (tcp && p.Connected == 1 && !lineUp) {
        c.state = PanelLinkState::kConnecting;
        c.why = "connecting to " + where;
    } else if (!lineUp || (tcp && p.Connected != 1)) {
        c.state = PanelLinkState::kDown;
        c.why = tcp ? "no connection to " + where : where + " is not open";
    } else if (p.Connected == 1 && p.AliveSeen == 1) {
        c.state = PanelLinkState::kHeard;
        c.connected = true;
        c.words = "Connected OK";
    } else {
        c.state = PanelLinkState::kUnheard;
        // A TCP connection shows a peer, unless the panel is one that sends
        // alive messages (it did before) and has sent none on this one yet.
        // An open port shows nothing.
        c.connected = tcp && p.SendsAlive == 0;
        c.words = "No Response yet";
        c.why = tcp ? "connected, no alive message yet"
                    : where + " open, no alive message from panel id " + HexId(p.CommsId);
    }
    return c;
}

void PublishPanelConnection(int panel) {
    if (!IsPanelNumber(panel) || Panels[panel].InUse == 0) return;
    Info().updateslot(PanelStatusSlot(Panels[panel]), "%s", PanelConnectionOf(panel).connected ? "1" : "0");
}

int ConnectedPanelCount() {
    int n = 0;
    for (int i = 1; i <= kMaxPanels; ++i) n += PanelConnectionOf(i).connected ? 1 : 0;
    return n;
}

}  // namespace vorn
