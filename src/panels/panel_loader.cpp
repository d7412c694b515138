#include "panels/panel_loader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "core/settings.h"
#include "panels/panel_connections.h"
#include "panels/panel_table.h"
#include "transport/serial_panel_link.h"
#include "transport/tcp_panel_link.h"

namespace vorn {

namespace {

constexpr int kMaxCommsId = 64;

// "0x" + value read with base 16, as strtol reads it (no digits give 0).
// Values that do not fit count as out of range.
int ParseCommsId(const std::string& converted) {
    errno = 0;
    long long v = std::strtoll(converted.c_str(), nullptr, 16);
    if (errno == ERANGE || v < 0 || v > kMaxCommsId) return -1;
    return static_cast<int>(v);
}

// atoi semantics without overflow into undefined behaviour.
int AtoiClamped(const std::string& text) {
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// A TCP port as written in the settings: decimal digits only (the reader
// has trimmed the blanks), 1..65535. -1 for anything else: "2001x" or "-1"
// is a typing error, and taking its leading digits or wrapping it into range
// would connect to some other service.
int ParseTcpPort(const std::string& text) {
    if (text.empty()) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > 65535) return -1;  // also bounds the loop's arithmetic
    }
    return value >= 1 ? static_cast<int>(value) : -1;
}

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

        p.PanelId = ReadIniSetting(file, section, "Panel_ID", "-- instance name of Panel --", 1);
        p.Location = ReadIniSetting(file, section, "Panel_Location", "-- string to describe Panel --", 1);
        const std::string type = ReadIniSetting(file, section, "Panel_Type", "CP-1000E", 1);
        const bool typeKnown = ApplyPanelType(p, type);
        const std::string commsText = "0x" + ReadIniSetting(file, section, "Panel_Comms_ID", "00", 1);
        p.CommsId = ParseCommsId(commsText);
        if (p.CommsId < 0) {
            DebugMessage("LoadAllData -- ERROR -- INVALID PANEL COMMS ID %s ( valid=00..40 hex )",
                         commsText.c_str());
        }
        p.ComPort = AtoiClamped(ReadIniSetting(file, section, "Serial_ComPort", "0", 1));
        std::string address = ReadIniSetting(file, section, "TCPIP_Address", "0.0.0.0", 1);
        const bool addressTooLong = address.size() > static_cast<size_t>(kIpAddressMax);
        if (addressTooLong) address.resize(kIpAddressMax);
        p.IpAddress = address;
        const std::string portText = ReadIniSetting(file, section, "TCPIP_Port", "2001", 1);
        p.Port = std::max(0, ParseTcpPort(portText));

        if (IsRealIpAddress(p.IpAddress)) {
            if (p.Port == 0) {
                // A configuration error: the panel stays out (not listed, no
                // link) rather than being dialled at a port nobody meant.
                DebugMessage("LoadAll -- PellaxPanel %d - TCPIP_Port '%s' is not a port 1..65535 - panel not used ",
                             n, portText.c_str());
                continue;
            }
            AddToList(n, p);
            InstallPanelLink(n, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port));
            DebugMessage("LoadAll -- PellaxPanel %d - %s - ip:%s, port:%d ", n, p.Location.c_str(),
                         p.IpAddress.c_str(), p.Port);
            if (addressTooLong) {
                DebugMessage("LoadAll -- PellaxPanel %d - TCPIP_Address longer than %d characters - cut to '%s' ",
                             n, kIpAddressMax, p.IpAddress.c_str());
            }
        } else if (p.ComPort >= 1) {
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
        if (!typeKnown) {
            DebugMessage("LoadAll -- PellaxPanel %d - Panel_Type '%s' names no known model - no buttons ", n,
                         type.c_str());
        }
    }
    DebugMessage("LoadAll - loaded valid data for %d PellaxPanels ", PanelCount);
    GetSeam().SetFieldNumber(kFieldPanelCount, static_cast<unsigned>(PanelCount));
    GetSeam().SetField(kFieldIdentity, Settings.Driver_Identity);
}

}  // namespace vorn
