#include "input_lines.h"

namespace vorn::sim {

std::vector<InputLines::Line> InputLines::Feed(std::string_view data) {
    std::vector<Line> lines;
    for (char c : data) {
        if (c == '\n') {
            if (overlong_) {
                lines.push_back({{}, true});
            } else {
                if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
                lines.push_back({std::move(pending_), false});
            }
            pending_.clear();
            overlong_ = false;
        } else if (!overlong_) {
            if (pending_.size() < kMaxLine) {
                pending_ += c;
            } else {
                // At the bound the line is given up; its end is awaited.
                pending_.clear();
                overlong_ = true;
            }
        }
    }
    return lines;
}

std::vector<InputLines::Line> InputLines::Finish() {
    std::vector<Line> lines;
    if (overlong_ || !pending_.empty()) lines = Feed("\n");
    return lines;
}

}  // namespace vorn::sim
