#include "panels/panel_section.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/settings.h"

namespace vorn {

namespace {

constexpr int kMaxCommsId = 64;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// "0x" + value read with base 16, as strtol reads it (no digits give 0).
// Values that do not fit count as out of range.
int ParseCommsId(const std::string& converted) {
    errno = 0;
    long long v = std::strtoll(converted.c_str(), nullptr, 16);
    if (errno == ERANGE || v < 0 || v > kMaxCommsId) return -1;
    return static_cast<int>(v);
}

bool IsHexText(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
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

}  // namespace

PanelSectionDecision DecidePanelSection(const SettingReader& read, PanelRecord& p,
                                        std::vector<SettingNote>* notes) {
    PanelSectionDecision d;
    p.PanelId = read("Panel_ID", "-- instance name of Panel --");
    p.Location = read("Panel_Location", "-- string to describe Panel --");
    d.typeText = read("Panel_Type", "CP-1000E");
    d.typeKnown = ApplyPanelType(p, d.typeText);
    if (!d.typeKnown) {
        AddSettingNote(notes, "Panel_Type", false,
                       Quoted(d.typeText) +
                           " names no known model (CP-1000E, CP-2032E, CP-2048E, CP-3201E, CP-6401E, CP-1604): "
                           "a panel without buttons");
    }

    const std::string comms = read("Panel_Comms_ID", "00");
    d.commsText = "0x" + comms;
    p.CommsId = ParseCommsId(d.commsText);
    if (p.CommsId < 0) {
        AddSettingNote(notes, "Panel_Comms_ID", true,
                       Quoted(comms) + " is outside 00..40: the panel's frames carry address FF");
    } else if (!IsHexText(comms)) {
        char used[8];
        std::snprintf(used, sizeof used, "%02X", p.CommsId);
        AddSettingNote(notes, "Panel_Comms_ID", false, Quoted(comms) + " is not a hexadecimal number: " + used + " used");
    }

    const std::string comText = read("Serial_ComPort", "0");
    p.ComPort = AtoiText(comText);

    std::string address = read("TCPIP_Address", "0.0.0.0");
    d.addressCut = address.size() > static_cast<std::size_t>(kIpAddressMax);
    if (d.addressCut) address.resize(kIpAddressMax);
    p.IpAddress = address;
    d.portText = read("TCPIP_Port", "2001");
    const int port = ParseTcpPort(d.portText);
    p.Port = port < 0 ? 0 : port;

    if (IsRealIpAddress(p.IpAddress)) {
        if (d.addressCut) {
            AddSettingNote(notes, "TCPIP_Address", false,
                           "longer than " + std::to_string(kIpAddressMax) + " characters: cut to " + Quoted(p.IpAddress));
        }
        if (p.ComPort >= 1) {
            AddSettingNote(notes, "Serial_ComPort", false,
                           std::to_string(p.ComPort) + " not used: TCPIP_Address makes this a TCP panel");
        }
        if (p.Port == 0) {
            d.use = PanelUse::kBadTcpPort;
            AddSettingNote(notes, "TCPIP_Port", true, Quoted(d.portText) + " is not a port 1..65535: panel not used");
        } else {
            d.use = PanelUse::kTcp;
        }
    } else {
        DecideWholeNumber("Serial_ComPort", comText, notes);  // the note only: the value is p.ComPort
    }
    if (d.use == PanelUse::kNone && p.ComPort >= 1) {
        d.use = PanelUse::kSerial;
        if (p.ComPort > kHighestComPortNumber) {
            AddSettingNote(notes, "Serial_ComPort", true,
                           "COM" + std::to_string(p.ComPort) + " is outside 1.." +
                               std::to_string(kHighestComPortNumber) + ": the line never opens");
        }
    }
    return d;
}

}  // namespace vorn
