#pragma once
// How the seven keys of a "Pellax_Panel_%d" section become a panel table
// record and whether the section describes a panel. One pure function,
// shared by the panel loader (reading with write-back) and the configuration
// check (reading without writing, keeping the notes).

#include <string>
#include <vector>

#include "core/settings_rules.h"
#include "panels/panel_table.h"

namespace vorn {

enum class PanelUse {
    kNone,       // no real TCPIP_Address and Serial_ComPort below 1: no panel
    kTcp,        // a TCP panel
    kSerial,     // a panel on a serial COM port
    kBadTcpPort, // a TCP address with a TCPIP_Port that is no port: not used
};

struct PanelSectionDecision {
    PanelUse use = PanelUse::kNone;
    std::string typeText;   // Panel_Type as read
    bool typeKnown = false; // it names one of the models
    std::string commsText;  // "0x" + Panel_Comms_ID, as converted
    std::string portText;   // TCPIP_Port as read
    bool addressCut = false;  // TCPIP_Address was longer than kIpAddressMax
};

// Highest COM port number that SerialPort::Open takes.
constexpr int kHighestComPortNumber = 256;

// Reads the keys Panel_ID, Panel_Location, Panel_Type, Panel_Comms_ID,
// Serial_ComPort, TCPIP_Address and TCPIP_Port (in this order) through
// `read` into the record: PanelId, Location, the type fields (ApplyPanelType),
// CommsId (-1 when outside 00..40), ComPort, IpAddress (cut to
// kIpAddressMax) and Port (0 when TCPIP_Port is no port 1..65535). InUse and
// the link are left alone. Notes (when not null) get what the driver makes
// of texts it does not take as written, and why a panel is not used; they
// are meant for sections that describe a panel.
PanelSectionDecision DecidePanelSection(const SettingReader& read, PanelRecord& record,
                                        std::vector<SettingNote>* notes);

}  // namespace vorn
