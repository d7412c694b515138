// The relay's cutter of panel input: what it writes into slots depends on it.

#include <gtest/gtest.h>

#include "panel_input.h"

namespace vorn::bench {
namespace {

using Kind = PanelInput::Kind;

std::vector<PanelInput> Feed(PanelInputCutter& c, std::vector<uint8_t> bytes) {
    std::vector<PanelInput> out;
    c.Feed(bytes.data(), bytes.size(), &out);
    return out;
}

TEST(PanelInputCutter, AliveAndButtonsInOrder) {
    PanelInputCutter c;
    const auto got = Feed(c, {130, 3, 125, 131, 3, 1, 17, 131, 3, 0, 17, 131, 67, 5, 2});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], (PanelInput{Kind::Panel, 3, 125, 0}));
    EXPECT_EQ(got[1], (PanelInput{Kind::Button, 3, 1, 17}));
    EXPECT_EQ(got[2], (PanelInput{Kind::Button, 3, 0, 17}));
    EXPECT_EQ(got[3], (PanelInput{Kind::Button, 67, 5, 2})) << "joystick address passed on for the caller";
}

TEST(PanelInputCutter, MessageSplitAcrossReads) {
    PanelInputCutter c;
    EXPECT_TRUE(Feed(c, {131, 1}).empty());
    EXPECT_TRUE(Feed(c, {1}).empty());
    const auto got = Feed(c, {9, 130});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (PanelInput{Kind::Button, 1, 1, 9}));
    const auto alive = Feed(c, {1, 125});
    ASSERT_EQ(alive.size(), 1u);
    EXPECT_EQ(alive[0].action, 125);
}

TEST(PanelInputCutter, JunkIsSkippedByteByByte) {
    PanelInputCutter c;
    const auto got = Feed(c, {0, 7, 200, 131, 2, 1, 4});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (PanelInput{Kind::Button, 2, 1, 4}));
    EXPECT_EQ(c.Skipped(), 3u);
}

}  // namespace
}  // namespace vorn::bench
