#include "panel_spec.h"

#include <charconv>
#include <vector>

namespace vorn::sim {

namespace {

// Splits at ':' keeping a bracketed IPv6 address ("[::1]") whole.
std::vector<std::string_view> SplitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    bool inBracket = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '[') inBracket = true;
        if (text[i] == ']') inBracket = false;
        if (text[i] == ':' && !inBracket) {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    fields.push_back(text.substr(start));
    return fields;
}

bool ParseDecimal(std::string_view text, int min, int max, int& out) {
    if (text.empty()) return false;
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc{} || end != text.data() + text.size() || value < min || value > max) return false;
    out = value;
    return true;
}

bool ParseHexId(std::string_view text, uint8_t& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 2) return false;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc{} || end != text.data() + text.size()) return false;
    out = static_cast<uint8_t>(value);
    return true;
}

bool IsComName(std::string_view name) {
    int n = 0;
    return name.size() > 3 && name.substr(0, 3) == "COM" && ParseDecimal(name.substr(3), 1, 9999, n);
}

}  // namespace

bool ParsePanelSpec(std::string_view text, PanelSpec& spec, std::string& error) {
    spec = PanelSpec{};
    const std::vector<std::string_view> fields = SplitFields(text);
    std::size_t next = 1;
    if (fields[0] == "tcp") {
        spec.transport = PanelSpec::Transport::Tcp;
        if (fields.size() < 3) {
            error = "tcp needs HOST:PORT, as in tcp:127.0.0.1:2001:type=CP-2048E:id=01";
            return false;
        }
        std::string_view host = fields[1];
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (host.empty()) {
            error = "empty host in '" + std::string(text) + "'";
            return false;
        }
        spec.host = host;
        if (!ParseDecimal(fields[2], 0, 65535, spec.port)) {
            error = "bad port '" + std::string(fields[2]) + "' (0..65535)";
            return false;
        }
        next = 3;
    } else if (fields[0] == "pty") {
        spec.transport = PanelSpec::Transport::Pty;
        if (fields.size() > 1 && fields[1].find('=') == std::string_view::npos) {
            if (!IsComName(fields[1])) {
                error = "bad link name '" + std::string(fields[1]) + "' (COM1, COM2, ...)";
                return false;
            }
            spec.linkName = fields[1];
            next = 2;
        }
    } else {
        error = "unknown transport '" + std::string(fields[0]) + "' (tcp or pty)";
        return false;
    }

    bool haveType = false;
    bool haveId = false;
    for (std::size_t i = next; i < fields.size(); ++i) {
        const std::string_view f = fields[i];
        const std::size_t eq = f.find('=');
        const std::string_view key = f.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : f.substr(eq + 1);
        if (eq == std::string_view::npos) {
            error = "field '" + std::string(f) + "' is not KEY=VALUE";
            return false;
        }
        if (key == "type") {
            const auto type = FindPanelType(value);
            if (!type) {
                error = "unknown panel type '" + std::string(value) + "'";
                return false;
            }
            spec.type = *type;
            haveType = true;
        } else if (key == "id") {
            if (!ParseHexId(value, spec.commsId)) {
                error = "bad id '" + std::string(value) + "' (hex 00..FF)";
                return false;
            }
            haveId = true;
        } else if (key == "dir" && spec.transport == PanelSpec::Transport::Pty) {
            if (value.empty()) {
                error = "empty dir=";
                return false;
            }
            spec.linkDir = value;
        } else {
            error = "unknown field '" + std::string(key) + "'";
            return false;
        }
    }
    if (!spec.linkDir.empty() && spec.linkName.empty()) {
        error = "dir= needs a link name, as in pty:COM3:dir=/tmp/x:...";
        return false;
    }
    if (!haveType || !haveId) {
        error = std::string("missing ") + (haveType ? "id=" : "type=") + " in '" + std::string(text) + "'";
        return false;
    }
    return true;
}

std::string PanelSpecHelp() {
    std::string out =
        "PANELSPEC:\n"
        "  tcp:HOST:PORT:type=MODEL:id=HEX\n"
        "      listen on HOST:PORT for the driver's connection (PORT 0: a free\n"
        "      port; IPv6 as [::1]); a new connection replaces the old one\n"
        "  pty[:COMn][:dir=DIR]:type=MODEL:id=HEX\n"
        "      a pseudo-terminal; with COMn also the symlink DIR/COMn to it\n"
        "      (DIR defaults to $VORN_COM_DIR, else /dev/vorn; removed at exit)\n"
        "  MODEL: ";
    bool first = true;
    for (const PanelType& t : AllPanelTypes()) {
        if (!first) out += ", ";
        first = false;
        out += std::string(t.name) + " (" + std::to_string(t.buttons) + (t.lamps ? " lamps)" : " text)");
    }
    out +=
        "\n"
        "         (the number alone, e.g. 2048, also works)\n"
        "  HEX:   the address byte, as the driver's Panel_Comms_ID (00..40; up to FF)\n"
        "  e.g.   tcp:127.0.0.1:2001:type=CP-2048E:id=01\n"
        "         pty:COM3:dir=/tmp/x:type=CP-3201E:id=02\n";
    return out;
}

}  // namespace vorn::sim
