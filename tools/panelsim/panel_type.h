#pragma once
// The panel models the simulator can play: name, button count and whether
// the buttons carry text (labels, graphics, colours) or only lamps. Pure
// data; any thread.

#include <optional>
#include <span>
#include <string_view>

namespace vorn::sim {

struct PanelType {
    std::string_view name;  // model name as printed, e.g. "CP-2048E"
    int buttons = 0;        // buttons 1..buttons
    bool lamps = false;     // true: lamp panel; false: text panel
};

// All six models, in the order shown by --help.
std::span<const PanelType> AllPanelTypes();

// The model whose name matches text without regard to case; the bare
// number ("2048", "1604") is accepted too. nullopt for anything else.
std::optional<PanelType> FindPanelType(std::string_view text);

}  // namespace vorn::sim
