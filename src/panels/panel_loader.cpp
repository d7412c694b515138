#include "panels/panel_loader.h"

#include <cstdio>
#include <memory>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/settings.h"
#include "panels/panel_connections.h"
#include "transport/serial_panel_link.h"
#include "transport/tcp_panel_link.h"

namespace vorn {

PanelSectionDecision ReadPanelSection(int n, const SettingReader& read) {
    PanelRecord& p = Panels[n];
    const PanelSectionDecision d = DecidePanelSection(read, p, nullptr);
    if (p.CommsId < 0) {
        DebugMessage("LoadAllData -- ERROR -- INVALID PANEL COMMS ID %s ( valid=00..40 hex )", d.commsText.c_str());
    }
    return d;
}

bool SetUpPanel(int n, const PanelSectionDecision& d) {
    PanelRecord& p = Panels[n];
    if (d.use == PanelUse::kBadTcpPort) {
        // A configuration error: the panel stays out (not listed, no
        // link) rather than being dialled at a port nobody meant.
        DebugMessage("LoadAll -- PellaxPanel %d - TCPIP_Port '%s' is not a port 1..65535 - panel not used ", n,
                     d.portText.c_str());
        return false;
    }
    if (d.use == PanelUse::kTcp) {
        p.InUse = 1;
        InstallPanelLink(n, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port));
        DebugMessage("LoadAll -- PellaxPanel %d - %s - ip:%s, port:%d ", n, p.Location.c_str(), p.IpAddress.c_str(),
                     p.Port);
        if (d.addressCut) {
            DebugMessage("LoadAll -- PellaxPanel %d - TCPIP_Address longer than %d characters - cut to '%s' ", n,
                         kIpAddressMax, p.IpAddress.c_str());
        }
    } else if (d.use == PanelUse::kSerial) {
        p.InUse = 1;
        auto port = std::make_unique<SerialPort>();
        port->SetBaud(Settings.Speed);
        port->SetByteSize(Settings.DataBits);
        port->SetStopBits(Settings.StopBits);
        port->SetParity(Settings.Parity);
        InstallPanelLink(n, std::make_unique<SerialPanelLink>(p.ComPort, std::move(port)));
        DebugMessage("LoadAll -- PellaxPanel %d - %s - SERIAL Comport:%d ", n, p.Location.c_str(), p.ComPort);
    } else {
        return false;  // no panel in this section: nothing logged, no object
    }
    DebugMessage("Panel %s (%d)  PanID=%d", p.TypeName.c_str(), p.ButtonCount, p.CommsId);
    if (!d.typeKnown) {
        DebugMessage("LoadAll -- PellaxPanel %d - Panel_Type '%s' names no known model - no buttons ", n,
                     d.typeText.c_str());
    }
    return true;
}

void RebuildPanelList() {
    Seam& seam = GetSeam();
    seam.PanelListClear();
    PanelCount = 0;
    for (int n = 1; n <= kMaxPanels; ++n) {
        PanelRecord& p = Panels[n];
        if (p.InUse == 0) {
            p.ListIndex = -1;
            continue;
        }
        char line[300];
        std::snprintf(line, sizeof line, " %d.   %s", n, p.PanelId.c_str());
        seam.PanelListAdd(line);
        p.ListIndex = ++PanelCount;
    }
}

bool SameLoadedValues(const PanelRecord& a, const PanelRecord& b) {
    return a.PanelId == b.PanelId && a.Location == b.Location && a.TypeCode == b.TypeCode &&
           a.TypeName == b.TypeName && a.ButtonCount == b.ButtonCount && a.CommsId == b.CommsId &&
           a.ComPort == b.ComPort && a.IpAddress == b.IpAddress && a.Port == b.Port;
}

void LoadAll() {
    DebugMessage("LoadAllInitialisationData -- Commencing");
    const std::string file = SettingsFileName(DeviceNumber);
    for (int n = 1; n <= kMaxPanels; ++n) {
        char section[32];
        std::snprintf(section, sizeof section, "Pellax_Panel_%d", n);
        const PanelSectionDecision d = ReadPanelSection(n, [&](const char* key, const char* defaultText) {
            return ReadIniSetting(file, section, key, defaultText, 1);
        });
        SetUpPanel(n, d);
    }
    RebuildPanelList();
    DebugMessage("LoadAll - loaded valid data for %d PellaxPanels ", PanelCount);
    GetSeam().SetFieldNumber(kFieldPanelCount, static_cast<unsigned>(PanelCount));
    GetSeam().SetField(kFieldIdentity, Settings.Driver_Identity);
}

}  // namespace vorn
