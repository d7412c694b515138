#include "protocol/hex_dump.h"

namespace vorn {

std::string RxHexDump(std::span<const uint8_t> block) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "RX-> ";
    text.reserve(text.size() + 3 * block.size());
    for (uint8_t b : block) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
        text.push_back(' ');
    }
    return text;
}

}  // namespace vorn
