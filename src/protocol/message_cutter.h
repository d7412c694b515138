#pragma once
// Cuts the bytes a panel sends into messages. Pure: no I/O, no globals; the
// caller (the receive path) acts on the result on its own thread.
//
// The stream is unframed: a message starts at a type byte (130 alive,
// 131 button/joystick) and has a fixed length (3 or 4). A rejected message
// costs one byte: scanning goes on at the next byte, so the rest of a bad
// message is examined as possible message starts. Bytes of any other value
// are skipped silently.
//
// Messages split across reads are put together again: a type byte at the
// very end of (carry + block) whose message is not complete yet is returned
// as the new carry and scanned again, from its first byte and by the same
// rules, in front of the next block. Cutting a stream block by block with
// the carry threaded through therefore gives exactly the items of cutting
// the whole stream at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vorn {

// Largest block the receive path reads per event.
constexpr std::size_t kTcpBlockMax = 64;
constexpr std::size_t kSerialBlockMax = 256;

// The incomplete tail of the previous block of one panel. A small value the
// owner keeps per panel; Clear() it whenever the panel's transport opens or
// closes so that bytes of an old connection never join a new one.
class RxCarry {
public:
    // A button message is 4 bytes, so at most 3 of them can be pending.
    static constexpr std::size_t kMaxBytes = 3;

    void Clear() { size_ = 0; }
    bool Empty() const { return size_ == 0; }
    std::size_t Size() const { return size_; }
    std::span<const uint8_t> Bytes() const { return {bytes_.data(), size_}; }

    // Replaces the content; bytes beyond kMaxBytes are not kept (the cutter
    // never passes more).
    void Assign(std::span<const uint8_t> bytes);

    bool operator==(const RxCarry& other) const;

private:
    std::array<uint8_t, kMaxBytes> bytes_{};
    std::size_t size_ = 0;
};

enum class RxItemKind : uint8_t {
    Alive,     // 130, CommsId, code
    Button,    // 131, CommsId, action 1 / 0 / 5, button
    Joystick,  // 131, CommsId + 64, action 1 / 5, n
    Log,       // a line for DebugMessage, always logged (not verbose)
};

// One thing the cutter found, in stream order.
struct RxItem {
    RxItemKind kind = RxItemKind::Log;
    uint8_t action = 0;  // Alive: the code byte; Button/Joystick: the action byte
    uint8_t number = 0;  // Button: the button number; Joystick: n; else 0
    std::string text;    // Log: the exact line (pass as DebugMessage("%s", ...))

    bool operator==(const RxItem&) const = default;
};

struct CutResult {
    std::vector<RxItem> items;  // messages and log lines, interleaved in order
    RxCarry carry;              // store for the next block of this panel
};

// Cuts carry followed by block for the panel with the given CommsId; panel
// is the panel number used in the log lines. Addresses are compared with
// the whole CommsId value (so CommsId -1 matches no alive or button
// message, and joystick address 63 matches it).
//
// keepTail true: an incomplete message at the end becomes the new carry.
// keepTail false: nothing is carried; an incomplete message is logged
// ("ERROR short ... message") and skipped byte by byte, as a final flush.
//
// Reads only inside carry and block; the work is bounded by their total
// length (one step of at least one byte per loop turn). The caller counts
// RxCount itself, one per block.
CutResult CutPanelMessages(const RxCarry& carry, std::span<const uint8_t> block, int commsId,
                           int panel, bool keepTail = true);

}  // namespace vorn
