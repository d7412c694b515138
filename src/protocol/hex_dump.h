#pragma once
// The trace text of a received block. Pure; any thread.

#include <cstdint>
#include <span>
#include <string>

namespace vorn {

// "RX-> " and, per byte, two upper-case hexadecimal digits and a blank:
// 130, 1, 125 gives "RX-> 82 01 7D ". The text is 5 + 3 * block.size()
// characters, so its size is bounded by the caller's read limit. Build it
// only while verbose tracing is on.
std::string RxHexDump(std::span<const uint8_t> block);

}  // namespace vorn
