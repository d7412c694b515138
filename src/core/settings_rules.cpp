#include "core/settings_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/settings.h"

namespace vorn {

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// strtoll with the atol rules; *overflow when the number does not fit long
// long (the result is then clamped to LLONG_MIN/MAX).
long long AtollText(const std::string& text, bool* overflow) {
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    *overflow = errno == ERANGE;
    return value;
}

bool IsNumericAddressText(const std::string& address) {
    in6_addr any{};
    return inet_pton(AF_INET, address.c_str(), &any) == 1 || inet_pton(AF_INET6, address.c_str(), &any) == 1;
}

}  // namespace

std::string StatusTokenProblem(const std::string& token) {
    for (char c : token) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::strchr("-._~+/=", c) != nullptr;
        if (!ok || c == '\0') return "StatusHttpToken may hold only letters, digits and - . _ ~ + / =";
    }
    return "";
}

bool IsLoopbackAddressText(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

void AddSettingNote(std::vector<SettingNote>* notes, const char* key, bool error, std::string text) {
    if (notes != nullptr) notes->push_back({key, error, std::move(text)});
}

bool IsWholeNumberText(const std::string& text) {
    std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int DecideWholeNumber(const char* key, const std::string& text, std::vector<SettingNote>* notes) {
    const int value = AtoiText(text);
    bool overflow = false;
    if (!IsWholeNumberText(text)) {
        AddSettingNote(notes, key, false, Quoted(text) + " is not a whole number: " + std::to_string(value) + " used");
    } else if (AtollText(text, &overflow) != value || overflow) {
        AddSettingNote(notes, key, false, Quoted(text) + " is out of range: " + std::to_string(value) + " used");
    }
    return value;
}

DriverSettings DecideDriverSettings(const SettingReader& read, std::vector<SettingNote>* notes) {
    DriverSettings s;
    // One note per key: *clean is false when the text already got one (no
    // whole number), so the rule of the key adds none of its own then.
    auto whole = [&](const char* key, const char* defaultText, bool* clean) {
        const std::string text = read(key, defaultText);
        const std::size_t before = notes != nullptr ? notes->size() : 0;
        const int value = DecideWholeNumber(key, text, notes);
        *clean = notes == nullptr || notes->size() == before;
        return std::make_pair(text, value);
    };
    bool clean = true;

    s.DebugMode = whole("DebugMode", "1", &clean).second;
    s.DebugHidden = s.DebugMode == 0 ? 1 : 0;
    s.LogMode = whole("LogMode", "0", &clean).second;

    auto [refreshText, refresh] = whole("RefreshOnConnection", "1", &clean);
    s.RefreshOnConnection = refresh == 1 ? 1 : 0;
    if (clean && refresh != 0 && refresh != 1) {
        AddSettingNote(notes, "RefreshOnConnection", false, Quoted(refreshText) + " is not 0 or 1: 0 (off) used");
    }

    s.Driver_Identity = read("Driver_Identity", "--String to distinguish driver--");

    auto [silenceText, silence] = whole("PanelSilenceTimeout", "10", &clean);
    s.PanelSilenceTimeout = silence < 0 ? 0 : silence;
    if (clean && silence < 0) {
        AddSettingNote(notes, "PanelSilenceTimeout", false, Quoted(silenceText) + " is below 0: 0 (off) used");
    }

    s.Speed = whole("Speed", "38400", &clean).second;
    s.DataBits = whole("DataBits", "8", &clean).second;
    auto [stopText, stop] = whole("StopBits", "1", &clean);
    s.StopBits = stop == 2 ? 2 : 0;
    if (clean && stop != 1 && stop != 2) {
        AddSettingNote(notes, "StopBits", false, Quoted(stopText) + " is not 1 or 2: 1 used");
    }

    const std::string parityText = read("Parity", "E");
    s.ParityText = parityText.substr(0, 14);
    // Compared without regard to case, in this order; anything else is none.
    static const struct {
        char letter;
        int code;
    } kParities[] = {{'E', 2}, {'M', 3}, {'N', 0}, {'O', 1}};
    s.Parity = 0;
    bool parityKnown = false;
    for (const auto& parity : kParities) {
        if (s.ParityText.size() == 1 && Upper(s.ParityText[0]) == parity.letter) {
            s.Parity = parity.code;
            parityKnown = true;
            break;
        }
    }
    if (!parityKnown) {
        AddSettingNote(notes, "Parity", false, Quoted(parityText) + " is not E, O, N or M: N (none) used");
    }

    // StopBits is 0 or 2 and Parity 0..3, so both table reads are in range.
    static const char kStopLetters[] = "152";
    static const char kParityLetters[] = "NOEMS";
    char params[64];
    std::snprintf(params, sizeof params, "%d,%d,%c,%c", s.Speed, s.DataBits, kStopLetters[s.StopBits],
                  kParityLetters[s.Parity]);
    s.SerialParams = params;

    // The status page takes 1..65535 and is off for anything else.
    auto [portText, port] = whole("StatusHttpPort", "0", &clean);
    s.StatusHttpPort = port;
    if (clean && (port < 0 || port > 65535)) {
        AddSettingNote(notes, "StatusHttpPort", false, Quoted(portText) + " is not a port 1..65535: no status page");
    }
    s.StatusHttpAddress = read("StatusHttpAddress", "127.0.0.1");
    s.StatusHttpToken = read("StatusHttpToken", "");
    s.StatusHttpHosts = read("StatusHttpHosts", "");
    // The page's own refusals, so that the check names them before a start
    // or a reload does (the token itself never appears in a note).
    if (s.StatusHttpPort >= 1 && s.StatusHttpPort <= 65535) {
        if (const std::string problem = StatusTokenProblem(s.StatusHttpToken); !problem.empty()) {
            AddSettingNote(notes, "StatusHttpToken", false, problem + ": no status page");
        } else if (s.StatusHttpToken.empty() && IsNumericAddressText(s.StatusHttpAddress) &&
                   !IsLoopbackAddressText(s.StatusHttpAddress)) {
            AddSettingNote(notes, "StatusHttpAddress",
                           false, Quoted(s.StatusHttpAddress) +
                               " is not a loopback address and StatusHttpToken is empty: no status page");
        }
    }

    auto [keepText, keep] = whole("LogKeepDays", "30", &clean);
    s.LogKeepDays = keep < 0 ? 0 : keep;
    if (clean && keep < 0) {
        AddSettingNote(notes, "LogKeepDays", false, Quoted(keepText) + " is below 0: 0 (keep every file) used");
    }

    const std::string capText = read("LogMaxDayBytes", "67108864");
    bool overflow = false;
    const long long cap = AtollText(capText, &overflow);
    s.LogMaxDayBytes = cap < 0 ? 0 : cap;
    if (!IsWholeNumberText(capText) || overflow) {
        AddSettingNote(notes, "LogMaxDayBytes", false,
                       Quoted(capText) + " is not a whole number of bytes: " + std::to_string(s.LogMaxDayBytes) +
                           " used");
    } else if (cap < 0) {
        AddSettingNote(notes, "LogMaxDayBytes", false, Quoted(capText) + " is below 0: 0 (no limit) used");
    }
    return s;
}

}  // namespace vorn
