// The traffic rings kept per panel and their text form: the bounds, the
// order of the two directions, and lines that read back to the same bytes.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/traffic_ring.h"
#include "protocol/traffic_text.h"

namespace vorn {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TrafficRingTest, KeepsTheLastRecordsOfEachDirectionInOrderWithinItsBounds) {
    TrafficRing ring;
    EXPECT_EQ(ring.size(), 0u);
    // 1500 frames sent, with a received block after every 100th: the sent
    // side keeps its last 1000, the received side all 15, merged in order.
    for (int i = 0; i < 1500; ++i) {
        const Bytes frame = {0x84, 0x01, 0x40, static_cast<std::uint8_t>(i % 48 + 1), static_cast<std::uint8_t>(i % 10)};
        ring.Record(TrafficDirection::kSent, frame.data(), frame.size(), 1000 + i * 10);
        if (i % 100 == 99) {
            const Bytes block = {0x82, 0x01, 0x7D, static_cast<std::uint8_t>(i / 100)};
            ring.Record(TrafficDirection::kReceived, block.data(), block.size(), 1000 + i * 10);  // same time
        }
    }
    const std::vector<TrafficRecord> records = ring.Records();
    ASSERT_EQ(records.size(), 1015u);
    for (std::size_t i = 1; i < records.size(); ++i) ASSERT_LT(records[i - 1].timeUs, records[i].timeUs) << i;
    // Blocks 0..4 are older than the oldest frame kept (500).
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(records[i].bytes, (Bytes{0x82, 0x01, 0x7D, static_cast<std::uint8_t>(i)}));
    EXPECT_EQ(records[5].direction, TrafficDirection::kSent);
    EXPECT_EQ(records[5].bytes[3], 500 % 48 + 1);
    EXPECT_EQ(records.back().direction, TrafficDirection::kReceived);
    EXPECT_EQ(records[records.size() - 2].bytes[4], 1499 % 10);

    // Long blocks: the received side is bounded by bytes before entries,
    // and a block over the record limit keeps its start.
    TrafficRing big;
    const Bytes block(300, 0x55);
    for (int i = 0; i < 200; ++i) big.Record(TrafficDirection::kReceived, block.data(), block.size(), i);
    EXPECT_EQ(big.size(), TrafficRing::kReceivedBytes / TrafficRing::kRecordMax);
    EXPECT_EQ(big.Records().back().bytes.size(), TrafficRing::kRecordMax);
    big.Record(TrafficDirection::kSent, block.data(), 0);
    EXPECT_EQ(big.size(), TrafficRing::kReceivedBytes / TrafficRing::kRecordMax) << "nothing recorded for no bytes";
}

TEST(TrafficTextTest, LinesReadBackToTheirBytesAndSayWhatTheyMean) {
    const struct {
        bool sent;
        Bytes bytes;
        const char* meaning;
    } cases[] = {
        {true, {0x8E, 0x01, 0x20, 'C', 'A', 'M', ' ', '"', ' ', ' ', ' ', ' ', ' ', 0x00, 0x07}, "text \"CAM \\x22\" button 7"},
        {true, {0x8C, 0x02, 0x20, 'A', 'B', ' ', ' ', ' ', ' ', ' ', ' ', 0x00, 0x03}, "text \"AB\" button 3"},
        {true, {0x84, 0x01, 0x40, 0x07, 0x03}, "colour 3 button 7"},
        {true, {0x84, 0x01, 0x41, 0x03, 0x07}, "graphic 3 button 7"},
        {true, {0x83, 0x02, 0x03, 0x28}, "lamp off 40"},
        {true, {0x82, 0x01, 0x00}, "poll"},
        {false, {0x05, 0x82, 0x01, 0x7D, 0x83, 0x01, 0x01, 0x05, 0x83, 0x41, 0x05, 0x02}, "alive; press 5; joystick release 2; 1 other byte"},
    };
    const std::int64_t t = 1796765103123456;  // 2026-12-08T21:25:03.123456Z
    EXPECT_EQ(TrafficTime(t), "2026-12-08T21:25:03.123456Z");
    for (const auto& c : cases) {
        const TrafficLine line{3, t, c.sent, c.bytes};
        const std::string text = FormatTrafficLine(line);
        EXPECT_EQ(text.rfind(std::string("P03 2026-12-08T21:25:03.123456Z ") + (c.sent ? "TX " : "RX "), 0), 0u) << text;
        EXPECT_EQ(text.substr(text.find(" | ") + 3), c.meaning);
        TrafficLine back;
        std::string error;
        ASSERT_TRUE(ParseTrafficLine(text + "\r\n", &back, &error)) << text << ": " << error;
        EXPECT_EQ(back.panel, 3);
        EXPECT_EQ(back.timeUs, t);
        EXPECT_EQ(back.sent, c.sent);
        EXPECT_EQ(back.bytes, c.bytes);
    }
    TrafficLine line;
    std::string error;
    for (const char* text : {"# a comment", "   ", ""}) {
        EXPECT_FALSE(ParseTrafficLine(text, &line, &error));
        EXPECT_EQ(error, "") << text;
    }
    for (const char* text : {"P01 2026-12-08T21:25:03Z RX 82", "P01 2026-12-08T21:25:03.123456Z XX 82",
                             "P01 2026-12-08T21:25:03.123456Z RX 8", "P01 2026-12-08T21:25:03.123456Z RX 8G 01",
                             "P01 2026-12-08T21:25:03.123456Z RX", "Q01 2026-12-08T21:25:03.123456Z RX 82"}) {
        EXPECT_FALSE(ParseTrafficLine(text, &line, &error)) << text;
        EXPECT_NE(error, "") << text;
    }
}

}  // namespace
}  // namespace vorn
