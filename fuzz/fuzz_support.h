#pragma once
// Shared by the fuzz targets: the failure check, and a byte stream cut into
// blocks at places chosen by the fuzz input.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// A broken property: says which and aborts, which libFuzzer records as a
// crash together with the input.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace vorn::fuzz {

using Bytes = std::vector<uint8_t>;

struct SplitStream {
    Bytes stream;                // the whole stream
    std::vector<Bytes> blocks;   // the same bytes in order, each block its own heap copy
};

// Takes up to 32 block lengths (0..maxBlock, from the end of the input),
// then the rest of the input as the stream, and cuts the stream into blocks
// of those lengths in turn, cycling. Zero lengths give empty blocks (an
// event that read nothing); after 16 of them the rest is one block. Each
// block is an exact-size copy, so a read past one is caught by ASan.
inline SplitStream TakeSplitStream(FuzzedDataProvider& in, std::size_t maxBlock) {
    std::vector<std::size_t> lengths(in.ConsumeIntegralInRange<std::size_t>(0, 32));
    for (std::size_t& n : lengths) n = in.ConsumeIntegralInRange<std::size_t>(0, maxBlock);
    SplitStream s;
    s.stream = in.ConsumeRemainingBytes<uint8_t>();
    if (lengths.empty()) lengths.push_back(maxBlock);
    std::size_t pos = 0;
    int empties = 0;
    // Every turn takes at least one byte, except at most 16 empty blocks.
    for (std::size_t i = 0; pos < s.stream.size(); ++i) {
        std::size_t n = lengths[i % lengths.size()];
        if (n == 0 && ++empties > 16) n = s.stream.size() - pos;
        if (n > s.stream.size() - pos) n = s.stream.size() - pos;
        s.blocks.emplace_back(s.stream.begin() + static_cast<std::ptrdiff_t>(pos),
                              s.stream.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
    }
    return s;
}

}  // namespace vorn::fuzz
