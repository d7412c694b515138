#include "panel_type.h"

#include <array>
#include <cctype>

namespace vorn::sim {

namespace {

constexpr std::array<PanelType, 6> kTypes{{
    {"CP-1000E", 16, false},
    {"CP-2032E", 32, false},
    {"CP-2048E", 48, false},
    {"CP-3201E", 40, true},
    {"CP-6401E", 80, true},
    {"CP-1604", 20, true},
}};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// "CP-2048E" -> "2048"; "CP-1604" -> "1604".
std::string_view ModelNumber(std::string_view name) { return name.substr(3, 4); }

}  // namespace

std::span<const PanelType> AllPanelTypes() { return kTypes; }

std::optional<PanelType> FindPanelType(std::string_view text) {
    for (const PanelType& t : kTypes) {
        if (EqualNoCase(text, t.name) || text == ModelNumber(t.name)) return t;
    }
    return std::nullopt;
}

}  // namespace vorn::sim
