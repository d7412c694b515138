#include "panels/panel_loader.h"

#include <cstdio>
#include <memory>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/settings.h"
#include "panels/panel_connections.h"
#include "panels/panel_section.h"
#include "panels/panel_table.h"
#include "transport/serial_panel_link.h"
#include "transport/tcp_panel_link.h"

namespace vorn {

namespace {

void AddToList(int n, PanelRecord& p) {
    ++PanelCount;
    char line[300];
    std::snprintf(line, sizeof line, " %d.   %s", n, p.PanelId.c_str());
    GetSeam().PanelListAdd(line);
    p.InUse = 1;
    p.ListIndex = PanelCount;
}

}  // namespace

void LoadAll() {
    DebugMessage("LoadAllInitialisationData -- Commencing");
    const std::string file = SettingsFileName(DeviceNumber);
    for (int n = 1; n <= kMaxPanels; ++n) {
        PanelRecord& p = Panels[n];
        char section[32];
        std::snprintf(section, sizeof section, "Pellax_Panel_%d", n);

        const PanelSectionDecision d = DecidePanelSection(
            [&](const char* key, const char* defaultText) {
                return ReadIniSetting(file, section, key, defaultText, 1);
            },
            p, nullptr);
        if (p.CommsId < 0) {
            DebugMessage("LoadAllData -- ERROR -- INVALID PANEL COMMS ID %s ( valid=00..40 hex )",
                         d.commsText.c_str());
        }

        if (d.use == PanelUse::kBadTcpPort) {
            // A configuration error: the panel stays out (not listed, no
            // link) rather than being dialled at a port nobody meant.
            DebugMessage("LoadAll -- PellaxPanel %d - TCPIP_Port '%s' is not a port 1..65535 - panel not used ", n,
                         d.portText.c_str());
            continue;
        }
        if (d.use == PanelUse::kTcp) {
            AddToList(n, p);
            InstallPanelLink(n, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port));
            DebugMessage("LoadAll -- PellaxPanel %d - %s - ip:%s, port:%d ", n, p.Location.c_str(),
                         p.IpAddress.c_str(), p.Port);
            if (d.addressCut) {
                DebugMessage("LoadAll -- PellaxPanel %d - TCPIP_Address longer than %d characters - cut to '%s' ",
                             n, kIpAddressMax, p.IpAddress.c_str());
            }
        } else if (d.use == PanelUse::kSerial) {
            AddToList(n, p);
            auto port = std::make_unique<SerialPort>();
            port->SetBaud(Settings.Speed);
            port->SetByteSize(Settings.DataBits);
            port->SetStopBits(Settings.StopBits);
            port->SetParity(Settings.Parity);
            InstallPanelLink(n, std::make_unique<SerialPanelLink>(p.ComPort, std::move(port)));
            DebugMessage("LoadAll -- PellaxPanel %d - %s - SERIAL Comport:%d ", n, p.Location.c_str(), p.ComPort);
        } else {
            continue;  // no panel in this section: nothing logged, no object
        }
        DebugMessage("Panel %s (%d)  PanID=%d", p.TypeName.c_str(), p.ButtonCount, p.CommsId);
        if (!d.typeKnown) {
            DebugMessage("LoadAll -- PellaxPanel %d - Panel_Type '%s' names no known model - no buttons ", n,
                         d.typeText.c_str());
        }
    }
    DebugMessage("LoadAll - loaded valid data for %d PellaxPanels ", PanelCount);
    GetSeam().SetFieldNumber(kFieldPanelCount, static_cast<unsigned>(PanelCount));
    GetSeam().SetField(kFieldIdentity, Settings.Driver_Identity);
}

}  // namespace vorn
