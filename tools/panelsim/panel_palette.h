#pragma once
// The colours the simulator's window shows for colour numbers 0..9 and for
// lamps. The real panels' colours are not known to the simulator; this is
// its own choice, printed by --help. Qt-free data; any thread.

#include <array>
#include <string_view>

namespace vorn::sim {

struct PaletteEntry {
    std::string_view name;
    std::string_view rgb;  // "#rrggbb"
};

constexpr std::array<PaletteEntry, 10> kColourPalette{{
    {"off", "#3a3a3a"},
    {"red", "#d32f2f"},
    {"green", "#2e7d32"},
    {"amber", "#ffb300"},
    {"blue", "#1565c0"},
    {"white", "#f5f5f5"},
    {"cyan", "#00acc1"},
    {"magenta", "#c2185b"},
    {"orange", "#ef6c00"},
    {"yellow", "#fdd835"},
}};

// A colour number outside 0..9.
constexpr PaletteEntry kUnknownColour{"unknown", "#808080"};
// Lamp buttons.
constexpr PaletteEntry kLampOn{"lamp on", "#ffe082"};
constexpr PaletteEntry kLampOff{"lamp off", "#3a3a3a"};

inline const PaletteEntry& PaletteFor(int colour) {
    return colour >= 0 && colour < static_cast<int>(kColourPalette.size())
               ? kColourPalette[static_cast<std::size_t>(colour)]
               : kUnknownColour;
}

}  // namespace vorn::sim
