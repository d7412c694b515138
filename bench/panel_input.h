#pragma once
// Cuts the bytes a panel sends into its two messages: alive/panel codes
// (130, id, code) and buttons (131, id, action, number). Bytes that start
// neither are skipped one at a time; a message split across reads is held
// until its last byte arrives. Pure: no I/O.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::bench {

struct PanelInput {
    enum class Kind : uint8_t { Panel, Button };
    Kind kind = Kind::Panel;
    uint8_t address = 0;
    uint8_t action = 0;  // Panel: the code (125 alive); Button: 1 press, 0/5 release
    uint8_t number = 0;  // Button: the button number
    bool operator==(const PanelInput&) const = default;
};

class PanelInputCutter {
public:
    // Appends the complete messages found in carry + data to out.
    void Feed(const uint8_t* data, size_t size, std::vector<PanelInput>* out);
    size_t Skipped() const { return skipped_; }
    void Reset() { carry_.clear(); }

private:
    std::vector<uint8_t> carry_;
    size_t skipped_ = 0;
};

}  // namespace vorn::bench
