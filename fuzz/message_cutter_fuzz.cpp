// The message cutter: cutting a stream block by block, with the carry
// threaded through, gives the items and the carry of cutting it whole; the
// carry stays within its bound and is always the stream's own tail, an
// incomplete message start; a final flush gives what cutting the whole
// stream without keeping a tail gives.

#include <algorithm>

#include "fuzz_support.h"
#include "protocol/message_cutter.h"
#include "protocol/panel_frames.h"

namespace {

using vorn::CutPanelMessages;
using vorn::CutResult;
using vorn::RxCarry;
using vorn::RxItem;
using vorn::RxItemKind;

constexpr int kPanel = 7;

void CheckCarry(const RxCarry& carry, const vorn::fuzz::Bytes& stream, std::size_t consumed) {
    FUZZ_CHECK(carry.Size() <= RxCarry::kMaxBytes);
    if (carry.Empty()) return;
    // The bytes are the last ones received, and an unfinished message.
    FUZZ_CHECK(carry.Size() <= consumed);
    FUZZ_CHECK(std::equal(carry.Bytes().begin(), carry.Bytes().end(),
                          stream.begin() + static_cast<std::ptrdiff_t>(consumed - carry.Size())));
    const uint8_t type = carry.Bytes()[0];
    FUZZ_CHECK(type == vorn::MSG_PANEL || type == vorn::MSG_BUTTON);
    FUZZ_CHECK(carry.Size() < (type == vorn::MSG_PANEL ? 3u : 4u));
}

void CheckItems(const std::vector<RxItem>& items) {
    for (const RxItem& item : items) {
        switch (item.kind) {
            case RxItemKind::Button:
                FUZZ_CHECK(item.action == vorn::ACTION_PRESS || item.action == vorn::ACTION_RELEASE ||
                           item.action == vorn::ACTION_RELEASE5);
                break;
            case RxItemKind::Joystick:
                FUZZ_CHECK(item.action == vorn::ACTION_PRESS || item.action == vorn::ACTION_RELEASE5);
                break;
            case RxItemKind::Alive:
                FUZZ_CHECK(item.number == 0);
                break;
            case RxItemKind::Log:
                FUZZ_CHECK(!item.text.empty() && item.text.size() < 128);
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Mostly a configurable address (00..40); sometimes any value at all.
    const int commsId =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 64) : in.ConsumeIntegral<int>();
    const vorn::fuzz::SplitStream s = vorn::fuzz::TakeSplitStream(in, 300);

    const CutResult whole = CutPanelMessages(RxCarry{}, s.stream, commsId, kPanel);
    CheckCarry(whole.carry, s.stream, s.stream.size());
    CheckItems(whole.items);
    FUZZ_CHECK(whole.items.size() <= s.stream.size());

    CutResult chunked;
    std::size_t consumed = 0;
    for (const vorn::fuzz::Bytes& block : s.blocks) {
        CutResult r = CutPanelMessages(chunked.carry, block, commsId, kPanel);
        consumed += block.size();
        CheckCarry(r.carry, s.stream, consumed);
        FUZZ_CHECK(r.items.size() <= chunked.carry.Size() + block.size());
        chunked.items.insert(chunked.items.end(), r.items.begin(), r.items.end());
        chunked.carry = r.carry;
    }
    FUZZ_CHECK(chunked.items == whole.items);
    FUZZ_CHECK(chunked.carry == whole.carry);

    // The last carry flushed (no tail kept) completes the picture.
    const CutResult flushed = CutPanelMessages(chunked.carry, {}, commsId, kPanel, false);
    FUZZ_CHECK(flushed.carry.Empty());
    chunked.items.insert(chunked.items.end(), flushed.items.begin(), flushed.items.end());
    const CutResult noTail = CutPanelMessages(RxCarry{}, s.stream, commsId, kPanel, false);
    FUZZ_CHECK(noTail.carry.Empty());
    FUZZ_CHECK(chunked.items == noTail.items);
    return 0;
}
