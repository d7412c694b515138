#include "panel_input.h"

#include "protocol/panel_frames.h"

namespace vorn::bench {

void PanelInputCutter::Feed(const uint8_t* data, size_t size, std::vector<PanelInput>* out) {
    carry_.insert(carry_.end(), data, data + size);
    size_t pos = 0;
    // Each turn consumes at least one byte or stops at an incomplete message.
    while (pos < carry_.size()) {
        const uint8_t type = carry_[pos];
        const size_t need = type == MSG_PANEL ? 3 : type == MSG_BUTTON ? 4 : 0;
        if (need == 0) {
            ++skipped_;
            ++pos;
            continue;
        }
        if (carry_.size() - pos < need) break;
        PanelInput in;
        in.kind = type == MSG_PANEL ? PanelInput::Kind::Panel : PanelInput::Kind::Button;
        in.address = carry_[pos + 1];
        in.action = carry_[pos + 2];
        if (need == 4) in.number = carry_[pos + 3];
        out->push_back(in);
        pos += need;
    }
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace vorn::bench
