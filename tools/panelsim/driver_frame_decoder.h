#pragma once
// Decodes the bytes the driver sends to a panel into frames. Pure: no I/O,
// no globals; any thread.
//
// Frames the driver sends (id = the panel's address byte):
//   130, id, 0|4|6                        poll, clear, code 6
//   131, id, 2|3, button                  lamp on, lamp off
//   132, id, 64, button, colour           colour
//   132, id, 65, graphic, button          graphic
//   140, id, 32, 8 chars, 0, button       text, short form (13 bytes)
//   142, id, 32, 10 chars, 0, button      text, long form (15 bytes)
// A frame is taken when its type byte, its fixed selector/code byte and (for
// text) its zero byte are right; the address byte may be any value and is
// compared with the panel's id by the caller's view (DecodedFrame::foreign).
// Any other byte, and the first byte of a frame that breaks those rules, is
// junk: scanning goes on at the next byte, so a frame behind a damaged one
// is still found. Consecutive junk bytes are reported as one Junk frame.
//
// Frames split across reads: a type byte near the end of (carry + block)
// whose frame is not complete yet, but whose bytes so far are consistent, is
// returned as the new carry and decoded again in front of the next block.
// The carry is bounded by the longest frame less one byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vorn::sim {

enum class FrameKind : uint8_t {
    Poll,     // 130, id, 0
    Clear,    // 130, id, 4
    Code6,    // 130, id, 6
    LampOn,   // 131, id, 2, button
    LampOff,  // 131, id, 3, button
    Colour,   // 132, id, 64, button, colour
    Graphic,  // 132, id, 65, graphic, button
    Text10,   // 142, id, 32, ten chars, 0, button
    Text8,    // 140, id, 32, eight chars, 0, button
    Junk,     // bytes that form no frame
};

// Lower-case name of a kind for logs ("poll", "lamp-on", "junk", ...).
const char* FrameKindName(FrameKind kind);

struct DecodedFrame {
    FrameKind kind = FrameKind::Junk;
    uint8_t address = 0;   // byte 1 (not set for Junk)
    bool foreign = false;  // a well-formed frame whose address is not the panel's id
    uint8_t button = 0;    // lamp, colour, graphic and text frames
    uint8_t value = 0;     // Colour: the colour; Graphic: the graphic number
    std::string text;      // Text10/Text8: the label bytes as sent (10 or 8)
    std::vector<uint8_t> bytes;  // the frame as received; Junk: the skipped bytes

    bool operator==(const DecodedFrame&) const = default;
};

// The consistent start of a frame that the previous block ended in.
class DecodeCarry {
public:
    // The long text form is 15 bytes, so at most 14 can be pending.
    static constexpr std::size_t kMaxBytes = 14;

    void Clear() { size_ = 0; }
    bool Empty() const { return size_ == 0; }
    std::size_t Size() const { return size_; }
    std::span<const uint8_t> Bytes() const { return {bytes_.data(), size_}; }

    // Replaces the content; bytes beyond kMaxBytes are not kept (the decoder
    // never passes more).
    void Assign(std::span<const uint8_t> bytes);

private:
    std::array<uint8_t, kMaxBytes> bytes_{};
    std::size_t size_ = 0;
};

struct DecodeResult {
    std::vector<DecodedFrame> frames;  // in stream order, junk runs included
    DecodeCarry carry;                 // store for the next block of this panel
};

// A junk run longer than this is reported in pieces of this size, so one
// report line stays short whatever the driver sends.
constexpr std::size_t kMaxJunkRun = 64;

// Decodes carry followed by block for a panel whose address byte is
// panelId (0..255). The work is bounded by the total length; each loop turn
// consumes at least one byte.
DecodeResult DecodeDriverFrames(const DecodeCarry& carry, std::span<const uint8_t> block, uint8_t panelId);

}  // namespace vorn::sim
