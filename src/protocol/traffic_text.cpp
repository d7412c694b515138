#include "protocol/traffic_text.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "protocol/panel_frames.h"

namespace vorn {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Label characters as text: printable ASCII as it is, anything else as \xNN;
// trailing blanks dropped (the padding).
std::string Label(std::span<const std::uint8_t> chars) {
    std::size_t n = chars.size();
    while (n > 0 && chars[n - 1] == ' ') --n;
    std::string out = "\"";
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = chars[i];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out + "\"";
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::string TrafficTime(std::int64_t timeUs) {
    std::int64_t seconds = timeUs / 1000000;
    std::int64_t micros = timeUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(micros));
    return text;
}

bool ParseTrafficTime(std::string_view text, std::int64_t* timeUs) {
    // YYYY-MM-DDTHH:MM:SS.uuuuuuZ
    if (text.size() != 27 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[26] != 'Z') {
        return false;
    }
    const auto number = [&](std::size_t at, std::size_t n, std::int64_t* out) {
        std::int64_t v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            v = v * 10 + (text[i] - '0');
        }
        *out = v;
        return true;
    };
    std::int64_t y, mo, d, h, mi, s, us;
    if (!number(0, 4, &y) || !number(5, 2, &mo) || !number(8, 2, &d) || !number(11, 2, &h) ||
        !number(14, 2, &mi) || !number(17, 2, &s) || !number(20, 6, &us)) {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    const std::int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    *timeUs = ((days * 24 + h) * 60 + mi) * 60 * 1000000 + s * 1000000 + us;
    return true;
}

std::string DescribeSentFrame(std::span<const std::uint8_t> f) {
    const std::size_t n = f.size();
    if (n >= 3 && f[0] == MSG_PANEL) {
        switch (f[2]) {
            case PANEL_POLL: return "poll";
            case PANEL_CLEAR: return "clear panel";
            case PANEL_CODE6: return "panel code 6";
            default: break;
        }
    }
    if (n >= 4 && f[0] == MSG_BUTTON && (f[2] == ACTION_LAMP_ON || f[2] == ACTION_LAMP_OFF)) {
        return std::string(f[2] == ACTION_LAMP_ON ? "lamp on " : "lamp off ") + std::to_string(f[3]);
    }
    if (n >= 5 && f[0] == MSG_ATTRIBUTE && f[2] == ATTR_COLOUR) {
        return "colour " + std::to_string(f[4]) + " button " + std::to_string(f[3]);
    }
    if (n >= 5 && f[0] == MSG_ATTRIBUTE && f[2] == ATTR_GRAPHIC) {
        return "graphic " + std::to_string(f[3]) + " button " + std::to_string(f[4]);
    }
    const std::size_t chars = f.empty() ? 0 : f[0] == MSG_TEXT10 ? kTextLongChars : f[0] == MSG_TEXT8 ? kTextShortChars : 0;
    if (chars > 0 && n == chars + 5) {
        return "text " + Label(f.subspan(3, chars)) + " button " + std::to_string(f[n - 1]);
    }
    return "?";
}

std::string DescribeReceivedBlock(std::span<const std::uint8_t> b) {
    std::string out;
    const auto add = [&](const std::string& what) { out += (out.empty() ? "" : "; ") + what; };
    std::size_t i = 0;
    std::size_t skipped = 0;
    while (i < b.size()) {
        if (b[i] == MSG_PANEL && i + 3 <= b.size()) {
            add(b[i + 2] == PANEL_ALIVE ? "alive" : "alive code " + std::to_string(b[i + 2]));
            i += 3;
        } else if (b[i] == MSG_BUTTON && i + 4 <= b.size()) {
            const bool joystick = b[i + 1] >= kJoystickAddressOffset;
            const std::uint8_t action = b[i + 2];
            const char* verb = action == ACTION_PRESS ? "press " : (action == ACTION_RELEASE || action == ACTION_RELEASE5) ? "release " : "action ";
            add(std::string(joystick ? "joystick " : "") + verb + std::to_string(b[i + 3]));
            i += 4;
        } else {
            ++skipped;
            ++i;
        }
    }
    if (skipped > 0) add(std::to_string(skipped) + (skipped == 1 ? " other byte" : " other bytes"));
    return out;
}

std::string FormatTrafficLine(const TrafficLine& line) {
    char head[64];
    std::snprintf(head, sizeof head, "P%02d %s %s", line.panel, TrafficTime(line.timeUs).c_str(),
                  line.sent ? "TX" : "RX");
    std::string out = head;
    out.reserve(out.size() + line.bytes.size() * 3 + 40);
    static const char kHex[] = "0123456789ABCDEF";
    for (std::uint8_t byte : line.bytes) {
        out += ' ';
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
    out += " | ";
    out += line.sent ? DescribeSentFrame(line.bytes) : DescribeReceivedBlock(line.bytes);
    return out;
}

bool ParseTrafficLine(std::string_view text, TrafficLine* line, std::string* error) {
    const auto fail = [&](const char* why) {
        if (error != nullptr) *error = why;
        return false;
    };
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::size_t lead = 0;
    while (lead < text.size() && (text[lead] == ' ' || text[lead] == '\t')) ++lead;
    if (lead == text.size() || text[lead] == '#') return fail("");
    if (const std::size_t bar = text.find(" |"); bar != std::string_view::npos) text = text.substr(0, bar);
    // P<nn> <time> TX|RX <hex>...
    if (text.size() < 4 || text[0] != 'P') return fail("not a traffic line (P<panel> <time> TX|RX <bytes>)");
    std::size_t at = 1;
    int panel = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && panel < 1000) panel = panel * 10 + (text[at++] - '0');
    if (at == 1 || at >= text.size() || text[at] != ' ') return fail("bad panel number");
    ++at;
    const std::size_t timeEnd = text.find(' ', at);
    if (timeEnd == std::string_view::npos) return fail("no direction");
    TrafficLine out;
    out.panel = panel;
    if (!ParseTrafficTime(text.substr(at, timeEnd - at), &out.timeUs)) return fail("bad time");
    at = timeEnd + 1;
    const std::string_view direction = text.substr(at, 2);
    if (direction == "TX") {
        out.sent = true;
    } else if (direction != "RX") {
        return fail("direction is neither TX nor RX");
    }
    at += 2;
    while (at < text.size()) {
        if (text[at] == ' ') {
            ++at;
            continue;
        }
        if (at + 1 >= text.size()) return fail("odd hex digit");
        const int hi = HexDigit(text[at]);
        const int lo = HexDigit(text[at + 1]);
        if (hi < 0 || lo < 0 || (at + 2 < text.size() && text[at + 2] != ' ')) return fail("bad hex byte");
        out.bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        at += 2;
    }
    if (out.bytes.empty()) return fail("no bytes");
    *line = std::move(out);
    return true;
}

}  // namespace vorn
