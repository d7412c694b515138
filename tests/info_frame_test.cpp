// Link frames: round trip, split delivery, and malformed lengths.

#include <gtest/gtest.h>

#include <random>

#include "transport/info_frame.h"

namespace vorn {
namespace {

TEST(InfoFrame, roundTrip_survivesAnySplitOfTheByteStream) {
    InfoFrame a{XOV_SLOTCHANGED, 0, 0, 351, -7, "Label %d\xff"};
    InfoFrame b{XOV_SLOTREAD, 42, kInfoFlagReply, 1, 0, ""};
    std::string wire = EncodeInfoFrame(a) + EncodeInfoFrame(b);
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        InfoFrameReader reader;
        reader.Append(wire.data(), cut);
        std::vector<InfoFrame> got;
        InfoFrame f;
        while (reader.Next(f) == InfoFrameReader::Result::kFrame) got.push_back(f);
        reader.Append(wire.data() + cut, wire.size() - cut);
        while (reader.Next(f) == InfoFrameReader::Result::kFrame) got.push_back(f);
        ASSERT_EQ(got.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(got[0].message, XOV_SLOTCHANGED);
        EXPECT_EQ(got[0].wParam, 351);
        EXPECT_EQ(got[0].lParam, -7);
        EXPECT_EQ(got[0].text, a.text);
        EXPECT_TRUE(got[1].IsReply());
        EXPECT_EQ(got[1].id, 42u);
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

TEST(InfoFrame, oversizedOrUndersizedLength_failsForGood) {
    for (uint32_t length : {0u, 19u, static_cast<uint32_t>(kInfoFrameMaxPayload + 1), 0xFFFFFFFFu}) {
        InfoFrameReader reader;
        char bytes[4] = {static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                         static_cast<char>((length >> 16) & 0xFF), static_cast<char>(length >> 24)};
        reader.Append(bytes, 4);
        InfoFrame f;
        EXPECT_EQ(reader.Next(f), InfoFrameReader::Result::kError);
        std::string good = EncodeInfoFrame(InfoFrame{XOV_GETMODE, 1, 0, 0, 0, ""});
        reader.Append(good.data(), good.size());
        EXPECT_EQ(reader.Next(f), InfoFrameReader::Result::kError);
    }
}

TEST(InfoFrame, longText_isCutToTheFrameLimit) {
    InfoFrame big{XOV_SLOTWRITE, 0, 0, 1, 0, std::string(100000, 'x')};
    std::string wire = EncodeInfoFrame(big);
    EXPECT_EQ(wire.size(), 4 + kInfoFrameMaxPayload);
    InfoFrameReader reader;
    reader.Append(wire.data(), wire.size());
    InfoFrame f;
    ASSERT_EQ(reader.Next(f), InfoFrameReader::Result::kFrame);
    EXPECT_EQ(f.text.size(), kInfoFrameMaxPayload - kInfoFrameFixed);
}

TEST(InfoFrame, randomJunk_neverCrashesAndStaysBounded) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        InfoFrameReader reader;
        std::string junk(rng() % 200, '\0');
        for (auto& c : junk) c = static_cast<char>(rng());
        reader.Append(junk.data(), junk.size());
        InfoFrame f;
        for (int i = 0; i < 50 && reader.Next(f) == InfoFrameReader::Result::kFrame; ++i) {
        }
        EXPECT_LE(reader.Buffered(), junk.size());
    }
}

TEST(InfoFrame, socketPath_followsEnvironmentPrecedence) {
    setenv("VORN_INFODRIVER_DIR", "/x/y", 1);
    EXPECT_EQ(InfoSocketPath(7), "/x/y/infodriver-7.sock");
    unsetenv("VORN_INFODRIVER_DIR");
    setenv("XDG_RUNTIME_DIR", "/run/user/5", 1);
    EXPECT_EQ(InfoSocketDirectory(), "/run/user/5/vorn");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(InfoSocketDirectory(), "/tmp/vorn-" + std::to_string(getuid()));
}

}  // namespace
}  // namespace vorn
