// Cutting received blocks into panel messages, the carry of split messages
// between blocks, and the receive trace text.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol/hex_dump.h"
#include "protocol/message_cutter.h"

namespace vorn {
namespace {

using Bytes = std::vector<uint8_t>;
using Items = std::vector<RxItem>;

RxItem Alive(uint8_t code) { return {RxItemKind::Alive, code, 0, {}}; }
RxItem Button(uint8_t action, uint8_t button) { return {RxItemKind::Button, action, button, {}}; }
RxItem Joystick(uint8_t action, uint8_t n) { return {RxItemKind::Joystick, action, n, {}}; }
RxItem Log(std::string text) { return {RxItemKind::Log, 0, 0, std::move(text)}; }

// Cuts one block with no carry in front of it.
CutResult Cut(const Bytes& block, int commsId = 1, int panel = 1, bool keepTail = true) {
    return CutPanelMessages(RxCarry{}, block, commsId, panel, keepTail);
}

// Cuts the blocks in turn, threading the carry through; the blocks are heap
// copies of exact size, so a read past any of them is a heap overflow that
// a sanitizer build reports.
CutResult CutChain(const std::vector<Bytes>& blocks, int commsId = 1) {
    CutResult all;
    for (const Bytes& b : blocks) {
        const Bytes exact(b);
        CutResult r = CutPanelMessages(all.carry, exact, commsId, 1);
        EXPECT_LE(r.carry.Size(), RxCarry::kMaxBytes);
        all.items.insert(all.items.end(), r.items.begin(), r.items.end());
        all.carry = r.carry;
    }
    return all;
}

std::string Short(const char* what, int panel) {
    return std::string("ERROR short ") + what + " message from panel " + std::to_string(panel) + " ";
}

TEST(MessageCutterTest, AliveThenPress) {
    const CutResult r = Cut({130, 1, 125, 131, 1, 1, 7});
    EXPECT_EQ(r.items, (Items{Alive(125), Button(1, 7)}));
    EXPECT_TRUE(r.carry.Empty());
}

TEST(MessageCutterTest, LeadingNoiseIsSkippedSilently) {
    EXPECT_EQ(Cut({5, 9, 130, 1, 125}).items, (Items{Alive(125)}));
    EXPECT_EQ(Cut({0, 125, 200, 255, 132, 1, 64}).items, Items{});
}

TEST(MessageCutterTest, AliveCodeIsNotExaminedByTheCutter) {
    EXPECT_EQ(Cut({130, 1, 124}).items, (Items{Alive(124)}));
}

TEST(MessageCutterTest, ReleasesAndPresses) {
    EXPECT_EQ(Cut({131, 2, 0, 9, 131, 2, 5, 9, 131, 2, 1, 255}, 2).items,
              (Items{Button(0, 9), Button(5, 9), Button(1, 255)}));
}

TEST(MessageCutterTest, EmptyBlockYieldsNothing) {
    const CutResult r = Cut({});
    EXPECT_TRUE(r.items.empty());
    EXPECT_TRUE(r.carry.Empty());
}

TEST(MessageCutterTest, WrongAliveIdCostsOneByte) {
    // 2 and 125 are then skipped silently; the panel number is in the line.
    EXPECT_EQ(Cut({130, 2, 125}, 1, 7).items,
              (Items{Log("Warning-  unrecognised panel id / alive message from panel 7 ")}));
}

TEST(MessageCutterTest, JoystickActionAndRejectedJoystickAction) {
    EXPECT_EQ(Cut({131, 65, 1, 4}).items, (Items{Joystick(1, 4)}));
    EXPECT_EQ(Cut({131, 65, 5, 4}).items, (Items{Joystick(5, 4)}));
    // Action 0 is no joystick release.
    EXPECT_EQ(Cut({131, 65, 0, 4}, 1, 3).items,
              (Items{Log("Warning-  unrecognised joystick action message from panel 3 ")}));
}

TEST(MessageCutterTest, RejectedMessageIsRescannedFromItsSecondByte) {
    // Action 7 is unknown: only 131 is spent, and the press hidden behind the
    // rest of the bad message is still found.
    EXPECT_EQ(Cut({131, 1, 7, 131, 1, 1, 9}).items,
              (Items{Log("Warning-  unrecognised button action message from panel 1 "), Button(1, 9)}));
    // A bad address spends one byte; the alive that starts at byte 2 is taken.
    EXPECT_EQ(Cut({131, 9, 130, 1, 125}).items,
              (Items{Log("Warning-  unrecognised message type from panel 1 "), Alive(125)}));
}

TEST(MessageCutterTest, AddressIsComparedWithWholeCommsId) {
    // CommsId -1: nothing matches 255, but 63 is its joystick address.
    EXPECT_EQ(Cut({130, 255, 125}, -1).items,
              (Items{Log("Warning-  unrecognised panel id / alive message from panel 1 ")}));
    EXPECT_EQ(Cut({131, 255, 1, 3}, -1).items,
              (Items{Log("Warning-  unrecognised message type from panel 1 ")}));
    EXPECT_EQ(Cut({131, 63, 1, 2}, -1).items, (Items{Joystick(1, 2)}));
    EXPECT_EQ(Cut({131, 128, 1, 2}, 64).items, (Items{Joystick(1, 2)}));
    // No CommsId overflows the joystick address (checked under -fsanitize=undefined).
    EXPECT_EQ(Cut({131, 63, 1, 2}, INT_MAX).items,
              (Items{Log("Warning-  unrecognised message type from panel 1 ")}));
}

TEST(MessageCutterTest, ShortTailIsCarriedNotLogged) {
    const CutResult r = Cut({131, 1, 1});
    EXPECT_TRUE(r.items.empty());
    EXPECT_EQ(r.carry.Bytes().size(), 3u);
    EXPECT_EQ(Bytes(r.carry.Bytes().begin(), r.carry.Bytes().end()), (Bytes{131, 1, 1}));
}

TEST(MessageCutterTest, FlushWithoutCarryLogsShortMessages) {
    // The bytes after the short type byte are skipped silently.
    CutResult r = Cut({131, 1, 1}, 1, 4, false);
    EXPECT_EQ(r.items, (Items{Log(Short("button", 4))}));
    EXPECT_TRUE(r.carry.Empty());
    r = Cut({130, 1}, 1, 4, false);
    EXPECT_EQ(r.items, (Items{Log(Short("alive", 4))}));
    // A stored carry is flushed the same way.
    RxCarry carry;
    const Bytes tail{131, 130};
    carry.Assign(tail);
    r = CutPanelMessages(carry, {}, 1, 2, false);
    EXPECT_EQ(r.items, (Items{Log(Short("button", 2)), Log(Short("alive", 2))}));
    EXPECT_TRUE(r.carry.Empty());
}

TEST(MessageCutterTest, NothingIsReadPastTheBlock) {
    // The byte after the span would complete the press; it must not be seen.
    const Bytes buffer{131, 1, 1, 7};
    const CutResult r = CutPanelMessages(RxCarry{}, std::span(buffer).first(3), 1, 1);
    EXPECT_TRUE(r.items.empty());
    EXPECT_EQ(r.carry.Size(), 3u);
}

TEST(MessageCutterTest, PressSplitAtEveryPoint) {
    for (std::size_t k = 1; k < 4; ++k) {
        const Bytes press{131, 1, 1, 7};
        const Bytes first(press.begin(), press.begin() + k);
        const Bytes second(press.begin() + k, press.end());
        const CutResult a = Cut(first);
        EXPECT_TRUE(a.items.empty()) << k;
        EXPECT_EQ(a.carry.Size(), k);
        const CutResult b = CutPanelMessages(a.carry, second, 1, 1);
        EXPECT_EQ(b.items, (Items{Button(1, 7)})) << k;
        EXPECT_TRUE(b.carry.Empty());
    }
}

TEST(MessageCutterTest, CarryGrowsOverSeveralTinyBlocks) {
    EXPECT_EQ(CutChain({{131}, {}, {1}, {1}, {7, 130}, {1}, {125}}).items, (Items{Button(1, 7), Alive(125)}));
}

TEST(MessageCutterTest, FullTcpBlockEndingMidMessage) {
    Bytes block{0};
    for (int i = 0; i < 20; ++i) block.insert(block.end(), {130, 1, 125});
    block.insert(block.end(), {131, 1, 1});
    ASSERT_EQ(block.size(), kTcpBlockMax);
    const CutResult a = Cut(block);
    EXPECT_EQ(a.items, Items(20, Alive(125)));
    const CutResult b = CutPanelMessages(a.carry, Bytes{7, 130, 1, 125}, 1, 1);
    EXPECT_EQ(b.items, (Items{Button(1, 7), Alive(125)}));
}

TEST(MessageCutterTest, CarriedTailThatTurnsOutInvalidIsRejectedByteWise) {
    // 131, 130, 1 is carried; completed by 125 the 131 has a bad address,
    // costs one byte, and 130, 1, 125 is an alive message.
    const CutResult a = Cut({5, 131, 130, 1});
    EXPECT_EQ(a.carry.Size(), 3u);
    const CutResult b = CutPanelMessages(a.carry, Bytes{125}, 1, 1);
    EXPECT_EQ(b.items, (Items{Log("Warning-  unrecognised message type from panel 1 "), Alive(125)}));
    EXPECT_TRUE(b.carry.Empty());
}

TEST(MessageCutterTest, ClearedCarryIsDiscarded) {
    CutResult a = Cut({131, 1, 1});
    a.carry.Clear();
    EXPECT_TRUE(a.carry.Empty());
    EXPECT_TRUE(CutPanelMessages(a.carry, Bytes{7}, 1, 1).items.empty());
}

// Random bytes with many type bytes and address bytes among them.
Bytes RandomBytes(std::mt19937& rng, std::size_t n) {
    static constexpr uint8_t kHot[] = {130, 131, 1, 65, 0, 1, 5, 125, 63, 255};
    Bytes out(n);
    for (auto& b : out) {
        b = (rng() % 2) ? kHot[rng() % std::size(kHot)] : static_cast<uint8_t>(rng());
    }
    return out;
}

TEST(MessageCutterTest, RandomBlocksMatchTheUncutStream) {
    std::mt19937 rng(12345);
    for (int commsId : {1, -1, 0, 64}) {
        std::vector<Bytes> blocks;
        Bytes stream;
        for (int i = 0; i < 3000; ++i) {
            blocks.push_back(RandomBytes(rng, rng() % 301));
            stream.insert(stream.end(), blocks.back().begin(), blocks.back().end());
        }
        const CutResult chained = CutChain(blocks, commsId);
        const CutResult whole = CutPanelMessages(RxCarry{}, stream, commsId, 1);
        EXPECT_EQ(chained.items, whole.items) << commsId;
        EXPECT_EQ(chained.carry, whole.carry) << commsId;
        EXPECT_LE(chained.carry.Size(), RxCarry::kMaxBytes);
    }
}

TEST(MessageCutterTest, ValidStreamCutAnywhereGivesTheSameMessages) {
    std::mt19937 rng(777);
    Bytes stream;
    Items expected;
    for (int i = 0; i < 60; ++i) {
        const uint8_t n = static_cast<uint8_t>(rng());
        switch (rng() % 5) {
        case 0: stream.insert(stream.end(), {130, 1, 125}); expected.push_back(Alive(125)); break;
        case 1: stream.insert(stream.end(), {131, 1, 1, n}); expected.push_back(Button(1, n)); break;
        case 2: stream.insert(stream.end(), {131, 1, 5, n}); expected.push_back(Button(5, n)); break;
        case 3: stream.insert(stream.end(), {131, 65, 1, n}); expected.push_back(Joystick(1, n)); break;
        default: stream.insert(stream.end(), {131, 65, 5, n}); expected.push_back(Joystick(5, n)); break;
        }
    }
    ASSERT_EQ(Cut(stream).items, expected);
    // Every two-way cut.
    for (std::size_t k = 0; k <= stream.size(); ++k) {
        const CutResult r = CutChain({Bytes(stream.begin(), stream.begin() + k), Bytes(stream.begin() + k, stream.end())});
        ASSERT_EQ(r.items, expected) << "cut at " << k;
        ASSERT_TRUE(r.carry.Empty());
    }
    // Many random multi-way cuts, blocks of 0..300 bytes.
    for (int round = 0; round < 2000; ++round) {
        std::vector<Bytes> blocks;
        for (std::size_t pos = 0; pos < stream.size();) {
            const std::size_t len = std::min<std::size_t>(rng() % (round % 2 ? 301 : 6), stream.size() - pos);
            blocks.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
            pos += len;
        }
        ASSERT_EQ(CutChain(blocks).items, expected) << "round " << round;
    }
}

TEST(HexDumpTest, TwoUpperCaseDigitsAndABlankPerByte) {
    EXPECT_EQ(RxHexDump(Bytes{130, 1, 125}), "RX-> 82 01 7D ");
    EXPECT_EQ(RxHexDump(Bytes{0x0A, 0xFF, 0x00}), "RX-> 0A FF 00 ");
    EXPECT_EQ(RxHexDump(Bytes{}), "RX-> ");
    EXPECT_EQ(RxHexDump(Bytes(kSerialBlockMax, 0xAB)).size(), 5 + 3 * kSerialBlockMax);
}

}  // namespace
}  // namespace vorn
