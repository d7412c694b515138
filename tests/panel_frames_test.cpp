// Outgoing frames byte for byte.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/panel_frames.h"

namespace vorn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes V(const PanelFrame& f) {
    EXPECT_EQ(static_cast<std::size_t>(f.Length()), f.Bytes().size());
    return Bytes(f.Data(), f.Data() + f.Length());
}

TEST(PanelFramesTest, PanelCodeAndLampFrames) {
    EXPECT_EQ(V(BuildPollFrame(1)), (Bytes{130, 1, 0}));
    EXPECT_EQ(V(BuildClearFrame(1)), (Bytes{130, 1, 4}));
    EXPECT_EQ(V(BuildPanelCode6Frame(64)), (Bytes{130, 64, 6}));
    EXPECT_EQ(V(BuildLampOnFrame(3, 99)), (Bytes{131, 3, 2, 99}));
    EXPECT_EQ(V(BuildLampOffFrame(3, 1)), (Bytes{131, 3, 3, 1}));
}

TEST(PanelFramesTest, ColourAndGraphicCarryButtonAtOppositeOffsets) {
    EXPECT_EQ(V(BuildColourFrame(1, 7, 3)), (Bytes{132, 1, 64, 7, 3}));
    EXPECT_EQ(V(BuildGraphicFrame(1, 7, 3)), (Bytes{132, 1, 65, 3, 7}));
    EXPECT_EQ(V(BuildGraphicFrame(2, 16, 13)), (Bytes{132, 2, 65, 13, 16}));
}

TEST(PanelFramesTest, InvalidCommsIdGoesOutAsItsLowByte) {
    EXPECT_EQ(AddressByte(-1), 255);
    EXPECT_EQ(V(BuildPollFrame(-1)), (Bytes{130, 255, 0}));
    EXPECT_EQ(V(BuildLampOnFrame(-1, 5)), (Bytes{131, 255, 2, 5}));
    EXPECT_EQ(V(BuildColourFrame(-1, 5, 9)), (Bytes{132, 255, 64, 5, 9}));
    EXPECT_EQ(V(BuildTextFrame(-1, 5, "ABCDEFGHIJ", TextForm::Long10))[1], 255);
}

TEST(PanelFramesTest, TwoCharacterLabelIsPaddedWithBlanks) {
    EXPECT_EQ(V(BuildTextFrame(1, 4, "OK", TextForm::Long10)),
              (Bytes{142, 1, 32, 'O', 'K', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0, 4}));
    EXPECT_EQ(V(BuildTextFrame(1, 4, "OK", TextForm::Short8)),
              (Bytes{140, 1, 32, 'O', 'K', ' ', ' ', ' ', ' ', ' ', ' ', 0, 4}));
}

TEST(PanelFramesTest, LongLabelIsCutToTenOrEight) {
    const std::string label = "ABCDEFGHIJKL";  // twelve characters
    EXPECT_EQ(V(BuildTextFrame(2, 9, label, TextForm::Long10)),
              (Bytes{142, 2, 32, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 0, 9}));
    EXPECT_EQ(V(BuildTextFrame(2, 9, label, TextForm::Short8)),
              (Bytes{140, 2, 32, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0, 9}));
}

TEST(PanelFramesTest, TextCharactersAreCopiedAsTheyAre) {
    // An empty text is ten blanks; high bytes and an embedded zero pass
    // unchanged (the frame has no escaping).
    EXPECT_EQ(V(BuildTextFrame(1, 1, "", TextForm::Long10)),
              (Bytes{142, 1, 32, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0, 1}));
    const std::string odd("\xC4\x00\x82", 3);
    EXPECT_EQ(V(BuildTextFrame(1, 1, odd, TextForm::Short8)),
              (Bytes{140, 1, 32, 0xC4, 0x00, 0x82, ' ', ' ', ' ', ' ', ' ', 0, 1}));
}

TEST(PanelFramesTest, TextFormFollowsComPort) {
    EXPECT_EQ(TextFormFor(3), TextForm::Short8);
    EXPECT_EQ(TextFormFor(1), TextForm::Short8);
    EXPECT_EQ(TextFormFor(0), TextForm::Long10);
    EXPECT_EQ(TextFormFor(-1), TextForm::Long10);
}

}  // namespace
}  // namespace vorn
