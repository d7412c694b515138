// Frames of the Infodriver link: a stream read in blocks split anywhere
// gives the frames, the end state and the buffered rest of reading it whole;
// what the reader holds after taking every complete frame stays below one
// frame; every frame read encodes back to its own bytes; a frame built from
// the input survives encoding and decoding (its text cut to the limit).

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "transport/info_frame.h"

namespace {

using vorn::InfoFrame;
using vorn::InfoFrameReader;

bool Same(const InfoFrame& a, const InfoFrame& b) {
    return a.message == b.message && a.id == b.id && a.flags == b.flags && a.wParam == b.wParam &&
           a.lParam == b.lParam && a.text == b.text;
}

bool Same(const std::vector<InfoFrame>& a, const std::vector<InfoFrame>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!Same(a[i], b[i])) return false;
    }
    return true;
}

struct Outcome {
    std::vector<InfoFrame> frames;
    InfoFrameReader::Result last = InfoFrameReader::Result::kNeedMore;
    size_t buffered = 0;
};

// Takes every complete frame; stops at kNeedMore or kError.
void TakeAll(InfoFrameReader& reader, Outcome& out) {
    InfoFrame f;
    for (;;) {
        InfoFrameReader::Result r = reader.Next(f);
        if (r != InfoFrameReader::Result::kFrame) {
            out.last = r;
            break;
        }
        out.frames.push_back(f);
    }
    if (out.last == InfoFrameReader::Result::kNeedMore) {
        // Only an incomplete frame remains: its prefix and less than its payload.
        FUZZ_CHECK(reader.Buffered() < 4 + vorn::kInfoFrameMaxPayload);
    }
    out.buffered = reader.Buffered();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);

    // A frame from the input, text up to a little over the limit.
    InfoFrame built;
    built.message = in.ConsumeIntegral<uint32_t>();
    built.id = in.ConsumeIntegral<uint32_t>();
    built.flags = in.ConsumeIntegral<uint32_t>();
    built.wParam = in.ConsumeIntegral<int32_t>();
    built.lParam = in.ConsumeIntegral<int32_t>();
    const size_t textSize = in.ConsumeIntegralInRange<size_t>(0, vorn::kInfoFrameMaxPayload + 40);
    built.text.assign(textSize, static_cast<char>(in.ConsumeIntegral<uint8_t>()));
    {
        const std::string bytes = vorn::EncodeInfoFrame(built);
        FUZZ_CHECK(bytes.size() <= 4 + vorn::kInfoFrameMaxPayload);
        InfoFrameReader reader;
        reader.Append(bytes.data(), bytes.size());
        InfoFrame back;
        FUZZ_CHECK(reader.Next(back) == InfoFrameReader::Result::kFrame);
        InfoFrame expected = built;
        if (expected.text.size() > vorn::kInfoFrameMaxPayload - vorn::kInfoFrameFixed) {
            expected.text.resize(vorn::kInfoFrameMaxPayload - vorn::kInfoFrameFixed);
        }
        FUZZ_CHECK(Same(back, expected));
        FUZZ_CHECK(reader.Next(back) == InfoFrameReader::Result::kNeedMore && reader.Buffered() == 0);
    }

    const vorn::fuzz::SplitStream s = vorn::fuzz::TakeSplitStream(in, 200);
    const std::string stream(s.stream.begin(), s.stream.end());

    Outcome whole;
    {
        InfoFrameReader reader;
        reader.Append(stream.data(), stream.size());
        TakeAll(reader, whole);
        FUZZ_CHECK(reader.Failed() == (whole.last == InfoFrameReader::Result::kError));
    }

    Outcome chunked;
    {
        InfoFrameReader reader;
        for (const vorn::fuzz::Bytes& block : s.blocks) {
            reader.Append(reinterpret_cast<const char*>(block.data()), block.size());
            TakeAll(reader, chunked);
            if (chunked.last == InfoFrameReader::Result::kError) break;
        }
        if (s.blocks.empty()) TakeAll(reader, chunked);
    }
    FUZZ_CHECK(Same(chunked.frames, whole.frames));
    FUZZ_CHECK(chunked.last == whole.last);
    if (whole.last == InfoFrameReader::Result::kNeedMore) FUZZ_CHECK(chunked.buffered == whole.buffered);

    // Every frame read is exactly its bytes in the stream.
    std::string encoded;
    for (const InfoFrame& f : whole.frames) encoded += vorn::EncodeInfoFrame(f);
    FUZZ_CHECK(stream.compare(0, encoded.size(), encoded) == 0);
    if (whole.last == InfoFrameReader::Result::kNeedMore) {
        FUZZ_CHECK(encoded.size() + whole.buffered == stream.size());
    }
    return 0;
}
