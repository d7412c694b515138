// The simulator's decoder of the driver's frames: decoding a stream block by
// block, with the carry threaded through, gives the frames and the carry of
// decoding it whole (junk runs compared merged, since a block end may cut a
// run in two); the frames' bytes and the carry are the stream, byte for
// byte; every frame is well formed for its kind; the carry stays within its
// bound and junk runs within theirs.

#include <algorithm>
#include <vector>

#include "driver_frame_decoder.h"
#include "fuzz_support.h"

namespace {

using vorn::sim::DecodeCarry;
using vorn::sim::DecodedFrame;
using vorn::sim::DecodeDriverFrames;
using vorn::sim::DecodeResult;
using vorn::sim::FrameKind;

size_t LengthOf(FrameKind kind) {
    switch (kind) {
        case FrameKind::Poll: case FrameKind::Clear: case FrameKind::Code6: return 3;
        case FrameKind::LampOn: case FrameKind::LampOff: return 4;
        case FrameKind::Colour: case FrameKind::Graphic: return 5;
        case FrameKind::Text8: return 13;
        case FrameKind::Text10: return 15;
        case FrameKind::Junk: return 0;
    }
    return 0;
}

void CheckFrames(const std::vector<DecodedFrame>& frames, uint8_t panelId) {
    for (const DecodedFrame& f : frames) {
        if (f.kind == FrameKind::Junk) {
            FUZZ_CHECK(!f.bytes.empty() && f.bytes.size() <= vorn::sim::kMaxJunkRun);
            continue;
        }
        FUZZ_CHECK(f.bytes.size() == LengthOf(f.kind));
        FUZZ_CHECK(f.address == f.bytes[1]);
        FUZZ_CHECK(f.foreign == (f.bytes[1] != panelId));
        if (f.kind == FrameKind::Text10) FUZZ_CHECK(f.text.size() == 10 && f.bytes[13] == 0);
        if (f.kind == FrameKind::Text8) FUZZ_CHECK(f.text.size() == 8 && f.bytes[11] == 0);
    }
}

// Adjacent junk runs joined into one.
std::vector<DecodedFrame> MergeJunk(const std::vector<DecodedFrame>& frames) {
    std::vector<DecodedFrame> out;
    for (const DecodedFrame& f : frames) {
        if (f.kind == FrameKind::Junk && !out.empty() && out.back().kind == FrameKind::Junk) {
            out.back().bytes.insert(out.back().bytes.end(), f.bytes.begin(), f.bytes.end());
        } else {
            out.push_back(f);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t panelId = in.ConsumeIntegral<uint8_t>();
    const vorn::fuzz::SplitStream s = vorn::fuzz::TakeSplitStream(in, 300);

    const DecodeResult whole = DecodeDriverFrames(DecodeCarry{}, s.stream, panelId);
    CheckFrames(whole.frames, panelId);
    FUZZ_CHECK(whole.carry.Size() <= DecodeCarry::kMaxBytes);

    // Nothing lost, nothing made up: frames then carry are the stream.
    vorn::fuzz::Bytes joined;
    for (const DecodedFrame& f : whole.frames) joined.insert(joined.end(), f.bytes.begin(), f.bytes.end());
    joined.insert(joined.end(), whole.carry.Bytes().begin(), whole.carry.Bytes().end());
    FUZZ_CHECK(joined == s.stream);

    DecodeResult chunked;
    for (const vorn::fuzz::Bytes& block : s.blocks) {
        DecodeResult r = DecodeDriverFrames(chunked.carry, block, panelId);
        CheckFrames(r.frames, panelId);
        FUZZ_CHECK(r.carry.Size() <= DecodeCarry::kMaxBytes);
        chunked.frames.insert(chunked.frames.end(), r.frames.begin(), r.frames.end());
        chunked.carry = r.carry;
    }
    FUZZ_CHECK(MergeJunk(chunked.frames) == MergeJunk(whole.frames));
    FUZZ_CHECK(std::equal(chunked.carry.Bytes().begin(), chunked.carry.Bytes().end(), whole.carry.Bytes().begin(),
                          whole.carry.Bytes().end()));
    return 0;
}
