#include "core/message_levels.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace vorn {

namespace {

constexpr MessageLevel E = MessageLevel::kError;
constexpr MessageLevel W = MessageLevel::kWarning;
constexpr MessageLevel S = MessageLevel::kStateChange;
constexpr MessageLevel I = MessageLevel::kInfo;
constexpr MessageLevel T = MessageLevel::kTrace;

// Grouped by the part of the driver that logs them. Errors: the driver or a
// panel cannot work as configured; warnings: something was refused, dropped
// or is retried; state changes: connects, drops, modes, start and stop.
constexpr MessageLevelEntry kTable[] = {
    // Pass-through of lines formatted elsewhere (the message cutter's).
    {"%s", MessageLevel::kOfText},

    // Settings and paths.
    {"LoadIni - serial params are %s", I},
    {"LoadIni - %s - driver stopped", E},
    {"%s - %s is larger than %zu bytes, not used", E},
    {"ReadIniSetting - cannot write [%s] %s back", W},
    {"WriteIniSetting - refused [%s] %s: name or value would break the file", W},
    {"ResolvePaths - log directory longer than %d characters, no log file", W},
    {"ReadIniSetting - path of %s longer than %d characters, default used for %s", E},
    {"WriteIniSetting - path of %s longer than %d characters, %s not written", E},

    // Start-up, shutdown and the menu.
    {"ERROR  - Connect failed to infodriver %d", E},
    {"ERROR  -  Driver not functioning", E},
    {"ERROR  - infodriver %d socket %s: permission denied", E},
    {"ERROR ERROR - Connect failed to infodriver, code %d", E},
    {"ERROR ERROR -  Driver not functioning", E},
    {"Connected OK to infodriver %d", S},
    {"CloseApp - driver shut down ", S},
    {"Forcing Driver into TXRX Mode", S},
    {" Trying to force driver into RXONLY mode", S},
    {" *** Now force the other Driver into TXRX mode to complete operation ***", S},
    {"Refreshing all panels ", I},
    {"Button Flash Timer terminated - as no buttons set any more", I},
    {"Driver ERROR in finding a Chosen panel -- report to VORN -- chosen %d", E},
    {"IN TESTING PANEL MODE - pls select after testing complete", W},
    {"StatusView - no field with id %d, text dropped ", W},
    {"Status page - StatusHttpPort %d is not a port (1..65535), page off", W},
    {"Status page - cannot listen on %s port %d: %s", E},
    {"Status page on %s%s", I},
    {"Status page off", S},
    {"Watchdog - event loop %ld ms late - not reported alive ", W},
    {"Status page - %s, page off", E},
    {"Status page - StatusHttpAddress %s is not a loopback address and StatusHttpToken is empty, page off", E},
    {"Status page - StatusHttpToken is shorter than 16 characters", W},
    {"Support - cannot write the traffic or status file in %s", W},

    // Mode tracking.
    {"Driver now MAIN -- so connecting to all hardware", S},
    {"Driver now RESERVE -- so disconnecting to all hardware", S},
    {"CheckInfoMode - no answer from the infodriver (%d in a row) - mode kept ", W},
    {"CheckInfoMode - no answer from the infodriver (%d in a row) - mode unknown ", W},
    {"CheckInfoMode- new mode %s(%d) different to current %s(%d) -- changing status", S},
    {"PELLAX_Panel driver running in  RXONLY  mode ", S},
    {"PELLAX_Panel driver running in  TXRX  mode ", S},
    {"PELLAX_Panel driver running in  UNKNOWN  mode ", W},

    // Panel loader and panel table.
    {"LoadAllInitialisationData -- Commencing", I},
    {"LoadAllData -- ERROR -- INVALID PANEL COMMS ID %s ( valid=00..40 hex )", E},
    {"LoadAll -- PellaxPanel %d - TCPIP_Port '%s' is not a port 1..65535 - panel not used ", E},
    {"LoadAll -- PellaxPanel %d - %s - ip:%s, port:%d ", I},
    {"LoadAll -- PellaxPanel %d - TCPIP_Address longer than %d characters - cut to '%s' ", W},
    {"LoadAll -- PellaxPanel %d - %s - SERIAL Comport:%d ", I},
    {"Panel %s (%d)  PanID=%d", I},
    {"LoadAll -- PellaxPanel %d - Panel_Type '%s' names no known model - no buttons ", W},
    {"LoadAll - loaded valid data for %d PellaxPanels ", I},
    {"DeterminePanel - warning - no match for %s ", W},

    // Reload of the settings file.
    {"Reload - %d added, %d changed, %d removed, %d unchanged ", S},
    {"Reload - driver settings changed: %s ", I},
    {"Reload - panel %d added ", S},
    {"Reload - panel %d changed: closed, set up again ", S},
    {"Reload - panel %d removed: closed ", S},
    {"Reload - settings file %s cannot be read: %s - running configuration kept ", E},
    {"Reload - line %d: %s", E},
    {"Reload - %d error(s) in %s - running configuration kept ", E},
    {"Reload - %d warning(s) in %s (pellax-panel --check-config %d lists them) ", W},
    {"Reload - asked for before the start-up load has run: done after it ", I},
    {"Reload - asked for while one runs: done once more after it ", I},
    {"DetermineWhichPanelFromComPort - warning - no match for %d ", W},

    // Panel connections.
    {"ConnectToPanel - NO NETPORT Class for panel %d ", E},
    {"ConnectToPanel - NO SERIAL Class for panel %d ", E},
    {"ConnectToPanel - invalid panel %d ", W},
    {"Connection opened OK to Panel %d=%s", S},
    {"Connection FAILED to Panel %d=%s", W},
    {"opened serial port %d, status %ld", I},
    {"Serial port %d ERROR - already open", E},
    {"Serial port %d ERROR - does not exist,or is already open", E},
    {"Serial port %d ERROR - in use by panel %d", E},
    {"Serial port %d now names another device or none - port closed ", S},
    {"Successfully opened serial port %d, speed %ld", S},
    {"Disconnecting from all panels ", S},
    {"PollPanel - invalid panel %d ", W},
    {"Poll - attempting to reconnect to panel %d ", I},
    {"Panel %d silent for %d s - connection closed ", S},
    {"Panel %d silent for %d s - marked not connected ", S},
    {"Panel %d took no output for %d s - connection closed ", S},
    {"Panel %d took no output for %d s - waiting output discarded ", S},

    // Receive path and the message cutter.
    {"Alive message from panel %d", T},
    {"Reconnected - refreshing panel %d ", I},
    {"Pressed Button %d from panel %d", T},
    {"Released Button %d from panel %d", T},
    {"Joystick Action %d from panel %d", T},
    {"Joystick Released %d from panel %d", T},
    {"Warning-  button %d out of range from panel %d ", W},
    {"Warning-  joystick %d out of range from panel %d ", W},
    {"Failed to connect to panel %d - %s", W},
    {"Connect OK to panel %d - addr %s", S},
    {"**** Connection CLOSED to panel %d - %s - code %ld", S},
    {"**** Serial line CLOSED to panel %d - COM%d - %s ", S},
    {"%s, Read %d bytes from port %d", T},
    {"%s, Read %d bytes from panel %d", T},
    {"*** Serial Com port %d ERROR \"%u\"", E},
    {"Main Panel %d---Read Error-2--", E},
    {"Main Panel %d ---Read Error-1--", E},
    {"NetEventMain - ERROR - timeout / fail to aquire netPort semaphore ", E},
    {"NetEventMain - ERROR - timeout / fail to aquire SerialPort semaphore ", E},
    {"ParsePanelData - invalid panel %d ", W},
    {"ERROR short alive message from panel %d ", E},
    {"ERROR short button message from panel %d ", E},
    {"Warning-  unrecognised panel id / alive message from panel %d ", W},
    {"Warning-  unrecognised button action message from panel %d ", W},
    {"Warning-  unrecognised joystick action message from panel %d ", W},
    {"Warning-  unrecognised message type from panel %d ", W},

    // Senders.
    {"Pellax_Panel - %d - no connection or button %d ", T},
    {"Pellax_Panel - %d - invalid button %d ", T},
    {"Pellax_Panel - %d -  NOT connected ", T},
    {"Pellax_Panel - %d - no connection ", T},
    {"TX-> Lamp ON for panel %d button %d ", T},
    {"TX-> SERIAL Lamp ON for panel %d button %d ", T},
    {"TX-> Lamp OFF for panel %d button %d ", T},
    {"TX-> SERIAL Lamp OFF for panel %d button %d ", T},
    {"TX-> %s to panel %d button %d ", T},
    {"TX-> SERIAL %s to panel %d button %d ", T},
    {"TX-> gfx %d to panel %d button %d ", T},
    {"TX-> SERIAL gfx %d to panel %d button %d ", T},
    {"TX-> col %d to panel %d button %d ", T},
    {"TX-> SERIAL col %d to panel %d button %d ", T},
    {"TX-> CLEAR panel ", T},
    {"TX-> SERIAL CLEAR panel ", T},
    {"ButtonLabel - gfx %d from %s ", T},
    {"Pellax_Panel - %d - graphic %d out of range 0..13 - button %d not sent ", W},
    {"SetFlashButton - invalid panel %d - button %d ignored ", W},
    {"RefreshPanel - invalid panel %d - nothing sent ", W},

    // Panel test.
    {"Driver in RXONLY or currently testing - so Test Panel ignored", W},
    {"StartPanelTest - invalid panel %d ", W},
    {"Panel %d -- going into test mode ", S},
    {"Panel-test timer error -- no chosen panel", E},

    // Slot mapping and the Infodriver.
    {"  --> slot %d %s %s - button %d %d ", T},
    {"  --> slot %d %s %d out of range 0..9 - button %d keeps %d ", W},
    {"  --> slot %d main text %s - button %d ", T},
    {"  --> slot %d alt text %s - button %d ", T},
    {"loading ALL infodrv data for panel %d %s", I},
    {"loading colour infodrv data only for panel %d %s", I},
    {"Infodriver %d has disconnected", W},
    {"Infodriver %d received request to go RX Only", S},
    {"InfoNotify - iStatus=%d", I},
    {"SlotChange function from device %d - invalid panel - slot %d - change ignored '%s'", W},
    {"SlotChange function for invalid device %d - invalid panel - %d ", W},
    {"SlotC -- slot %d calcs offset to be  %d for button %d ", T},
    {"extinfo - cannot create a socket: %s ", E},
    {"extinfo - no infodriver at %s: %s ", E},
    {"extinfo - infodriver %d did not accept the attach ", E},
    {"extinfo - no event loop: infodriver %d is heard only during calls ", W},
    {"extinfo - link to infodriver %d lost: %s ", W},
    {"extinfo - unknown message %u from infodriver %d ", E},
    {"extinfo - unexpected message %u from infodriver %d ignored ", W},
    {"extinfo - infodriver %d takes no data for %d ms - link dropped ", E},
    {"extinfo - no reply from infodriver %d ", W},
    {"extinfo - infodriver %d %s - call failed ", W},
    {"extinfo - slot mirror full at %zu slots - slot %d read when needed ", W},
    {"extinfo - slots %d..%d not followed ", W},
    {"extinfo - invalid slot %d - write dropped ", W},
    {"extinfo - setslot %d: text could not be formatted ", W},
    {"extinfo - updateslot %d: text could not be formatted ", W},

    // Serial ports.
    {"PortOpen - COM%d not opened: port number outside 1..256 ", E},
    {"PortOpen - COM%d not opened: bad settings, %s ", E},
    {"PortOpen - COM%d %s %s ", E},
    {"PortOpen - COM%d %s is not a serial device (%s) ", E},
    {"PortOpen - COM%d %s exclusive mode refused (%s) ", E},
    {"PortOpen - COM%d %s bad settings %d,%d,%d,%d (%s) ", E},
    {"PortOpen - COM%d %s bad settings, speed %d refused (%s) ", E},
    {"PortWrite - COM%d nothing written: bad buffer or length %d ", E},
    {"PortWrite - COM%d write failed (%s) ", E},
};

// Length of the conversion at format[0] == '%' (flags, width, precision,
// length modifier and the conversion character).
std::size_t ConversionLength(std::string_view format) {
    std::size_t i = 1;
    while (i < format.size() && std::strchr("-+ #0123456789.*hlLqjzt", format[i]) != nullptr) ++i;
    return i < format.size() ? i + 1 : i;
}

}  // namespace

std::span<const MessageLevelEntry> MessageLevelTable() { return kTable; }

bool MatchesFormat(std::string_view format, std::string_view text) {
    // Backtracking over the conversions; formats hold a few and lines are at
    // most 160 characters, so the search stays small.
    while (!format.empty()) {
        if (format[0] != '%') {
            if (text.empty() || text[0] != format[0]) return false;
            format.remove_prefix(1);
            text.remove_prefix(1);
            continue;
        }
        if (format.size() > 1 && format[1] == '%') {
            if (text.empty() || text[0] != '%') return false;
            format.remove_prefix(2);
            text.remove_prefix(1);
            continue;
        }
        format.remove_prefix(ConversionLength(format));
        for (std::size_t taken = 0; taken <= text.size(); ++taken) {
            if (MatchesFormat(format, text.substr(taken))) return true;
        }
        return false;
    }
    return text.empty();
}

MessageLevel LevelOfLine(std::string_view format, std::string_view text) {
    static const std::unordered_map<std::string_view, MessageLevel> byFormat = [] {
        std::unordered_map<std::string_view, MessageLevel> map;
        for (const MessageLevelEntry& entry : kTable) map.emplace(entry.format, entry.level);
        return map;
    }();
    auto found = byFormat.find(format);
    if (found == byFormat.end()) return MessageLevel::kInfo;
    if (found->second != MessageLevel::kOfText) return found->second;
    for (const MessageLevelEntry& entry : kTable) {
        if (entry.level != MessageLevel::kOfText && MatchesFormat(entry.format, text)) return entry.level;
    }
    return MessageLevel::kInfo;
}

}  // namespace vorn
