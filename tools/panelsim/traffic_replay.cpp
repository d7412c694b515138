#include "traffic_replay.h"

#include <algorithm>
#include <fstream>

#include "protocol/traffic_text.h"

namespace vorn::sim {

bool LoadReplay(const std::string& path, int* panel, std::vector<ReplayBlock>* blocks, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    blocks->clear();
    std::string text;
    int lineNumber = 0;
    std::int64_t lastUs = 0;
    while (std::getline(in, text)) {
        ++lineNumber;
        TrafficLine line;
        std::string why;
        if (!ParseTrafficLine(text, &line, &why)) {
            if (why.empty()) continue;  // a comment or a blank line
            *error = path + " line " + std::to_string(lineNumber) + ": " + why;
            return false;
        }
        if (line.sent) continue;
        if (*panel == 0) *panel = line.panel;
        if (line.panel != *panel) continue;
        const std::int64_t gap = blocks->empty() ? 0 : std::max<std::int64_t>(0, line.timeUs - lastUs);
        lastUs = line.timeUs;
        blocks->push_back({std::chrono::microseconds(gap), std::move(line.bytes)});
    }
    if (blocks->empty()) {
        *error = path + ": no block received from panel " + std::to_string(*panel);
        return false;
    }
    return true;
}

}  // namespace vorn::sim
