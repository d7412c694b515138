#include "driver_frame_decoder.h"

#include <algorithm>

#include "protocol/panel_frames.h"

namespace vorn::sim {

void DecodeCarry::Assign(std::span<const uint8_t> bytes) {
    size_ = std::min(bytes.size(), kMaxBytes);
    std::copy_n(bytes.begin(), size_, bytes_.begin());
}

const char* FrameKindName(FrameKind kind) {
    switch (kind) {
        case FrameKind::Poll: return "poll";
        case FrameKind::Clear: return "clear";
        case FrameKind::Code6: return "code6";
        case FrameKind::LampOn: return "lamp-on";
        case FrameKind::LampOff: return "lamp-off";
        case FrameKind::Colour: return "colour";
        case FrameKind::Graphic: return "graphic";
        case FrameKind::Text10: return "text10";
        case FrameKind::Text8: return "text8";
        case FrameKind::Junk: return "junk";
    }
    return "?";
}

namespace {

constexpr std::size_t kText8Length = 3 + kTextShortChars + 2;  // 13
constexpr std::size_t kText10Length = 3 + kTextLongChars + 2;  // 15
static_assert(kText10Length == DecodeCarry::kMaxBytes + 1);

// Length of the frame that starts with this type byte; 0: not a frame start.
std::size_t FrameLength(uint8_t type) {
    switch (type) {
        case MSG_PANEL: return 3;
        case MSG_BUTTON: return 4;
        case MSG_ATTRIBUTE: return 5;
        case MSG_TEXT8: return kText8Length;
        case MSG_TEXT10: return kText10Length;
        default: return 0;
    }
}

// Whether the n bytes present of a frame (n <= its length) break no rule.
bool PrefixConsistent(std::span<const uint8_t> f) {
    const std::size_t n = f.size();
    if (n < 3) return true;
    switch (f[0]) {
        case MSG_PANEL: return f[2] == PANEL_POLL || f[2] == PANEL_CLEAR || f[2] == PANEL_CODE6;
        case MSG_BUTTON: return f[2] == ACTION_LAMP_ON || f[2] == ACTION_LAMP_OFF;
        case MSG_ATTRIBUTE: return f[2] == ATTR_COLOUR || f[2] == ATTR_GRAPHIC;
        case MSG_TEXT8: return f[2] == TEXT_SELECTOR && (n < kText8Length - 1 || f[kText8Length - 2] == 0);
        case MSG_TEXT10: return f[2] == TEXT_SELECTOR && (n < kText10Length - 1 || f[kText10Length - 2] == 0);
        default: return false;
    }
}

// A complete, consistent frame.
DecodedFrame MakeFrame(std::span<const uint8_t> f, uint8_t panelId) {
    DecodedFrame d;
    d.address = f[1];
    d.foreign = f[1] != panelId;
    d.bytes.assign(f.begin(), f.end());
    switch (f[0]) {
        case MSG_PANEL:
            d.kind = f[2] == PANEL_POLL ? FrameKind::Poll : f[2] == PANEL_CLEAR ? FrameKind::Clear : FrameKind::Code6;
            break;
        case MSG_BUTTON:
            d.kind = f[2] == ACTION_LAMP_ON ? FrameKind::LampOn : FrameKind::LampOff;
            d.button = f[3];
            break;
        case MSG_ATTRIBUTE:
            if (f[2] == ATTR_COLOUR) {
                d.kind = FrameKind::Colour;
                d.button = f[3];
                d.value = f[4];
            } else {
                d.kind = FrameKind::Graphic;
                d.value = f[3];
                d.button = f[4];
            }
            break;
        case MSG_TEXT8:
            d.kind = FrameKind::Text8;
            d.text.assign(reinterpret_cast<const char*>(&f[3]), kTextShortChars);
            d.button = f[kText8Length - 1];
            break;
        default:  // MSG_TEXT10
            d.kind = FrameKind::Text10;
            d.text.assign(reinterpret_cast<const char*>(&f[3]), kTextLongChars);
            d.button = f[kText10Length - 1];
            break;
    }
    return d;
}

void FlushJunk(std::vector<uint8_t>& junk, std::vector<DecodedFrame>& out) {
    if (junk.empty()) return;
    DecodedFrame d;
    d.kind = FrameKind::Junk;
    d.bytes = std::move(junk);
    out.push_back(std::move(d));
    junk.clear();
}

}  // namespace

DecodeResult DecodeDriverFrames(const DecodeCarry& carry, std::span<const uint8_t> block, uint8_t panelId) {
    // carry + block in one buffer: the carry is at most 14 bytes and the
    // block is what one read returned, so the copy is bounded by the read.
    std::vector<uint8_t> buf;
    buf.reserve(carry.Size() + block.size());
    buf.insert(buf.end(), carry.Bytes().begin(), carry.Bytes().end());
    buf.insert(buf.end(), block.begin(), block.end());

    DecodeResult result;
    std::vector<uint8_t> junk;
    std::size_t pos = 0;
    while (pos < buf.size()) {
        const std::size_t length = FrameLength(buf[pos]);
        const std::size_t avail = buf.size() - pos;
        const std::span<const uint8_t> present(&buf[pos], std::min(avail, length));
        if (length == 0 || !PrefixConsistent(present)) {
            junk.push_back(buf[pos]);
            ++pos;
            // At the bound the run is reported and a new one begins.
            if (junk.size() == kMaxJunkRun) FlushJunk(junk, result.frames);
            continue;
        }
        FlushJunk(junk, result.frames);
        if (avail < length) {
            // avail < length <= 15, so this fits the carry.
            result.carry.Assign(present);
            break;
        }
        result.frames.push_back(MakeFrame(present, panelId));
        pos += length;
    }
    FlushJunk(junk, result.frames);
    return result;
}

}  // namespace vorn::sim
