#pragma once
// The blocks one panel sent to the driver, read back from the driver's
// traffic text (protocol/traffic_text.h, as in a support bundle), for the
// simulator to send again with the same gaps. Qt-free; one thread.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::sim {

struct ReplayBlock {
    std::chrono::microseconds after{0};  // after the block before it (the first: 0)
    std::vector<uint8_t> bytes;
};

// The RX blocks of panel (0: the first panel that has any) in the file, in
// order. False with the reason when the file cannot be read, holds a line
// that is not traffic, or has no block of that panel. *panel gets the panel
// chosen. A gap that runs backwards counts as 0.
bool LoadReplay(const std::string& path, int* panel, std::vector<ReplayBlock>* blocks, std::string* error);

}  // namespace vorn::sim
