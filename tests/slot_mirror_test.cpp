// The slot mirror alone: what it follows, its bound, and how the order of
// the client's own writes and reads against announced changes decides
// whether a confirmation may be skipped.

#include <gtest/gtest.h>

#include <string>

#include "transport/slot_mirror.h"

namespace vorn {
namespace {

using Verdict = SlotMirror::Verdict;

TEST(SlotMirror, FollowsOnlyItsRangesWithinItsBound) {
    SlotMirror m(3);
    EXPECT_TRUE(m.Follow(1, 10));
    EXPECT_TRUE(m.Follow(1, 10));  // again: no second range
    EXPECT_FALSE(m.Follow(5, 4));
    for (int i = 0; i < static_cast<int>(SlotMirror::kMaxRanges) - 1; ++i) EXPECT_TRUE(m.Follow(100 + i, 100 + i));
    EXPECT_FALSE(m.Follow(200, 200));
    EXPECT_FALSE(m.Follows(200));

    EXPECT_TRUE(m.Changed(4001, "elsewhere"));  // not followed: nothing kept
    EXPECT_EQ(m.Compare(4001, "elsewhere"), Verdict::kUnknown);
    EXPECT_TRUE(m.Changed(1, "a"));
    EXPECT_TRUE(m.Read(2, "b", 1));
    EXPECT_TRUE(m.Wrote(3, "c", 2));
    EXPECT_FALSE(m.Changed(4, "d"));  // full: not stored, the owner reads it
    EXPECT_EQ(m.Size(), 3u);
    EXPECT_EQ(m.Compare(4, "d"), Verdict::kUnknown);
    EXPECT_TRUE(m.Changed(1, "a2"));  // a known slot is still followed at the bound
    EXPECT_EQ(*m.Text(1), "a2");
    m.Clear();
    EXPECT_EQ(m.Size(), 0u);
    EXPECT_EQ(m.Text(1), nullptr);
}

TEST(SlotMirror, KeepsWholeTexts) {
    SlotMirror m(10);
    m.Follow(1, 10);
    const std::string whole = std::string(300, 'L') + std::string(1, '\0') + "tail";
    m.Changed(5, whole);
    EXPECT_EQ(*m.Text(5), whole);
    EXPECT_EQ(m.Compare(5, whole), Verdict::kSame);
    EXPECT_EQ(m.Compare(5, std::string(300, 'L')), Verdict::kWrite);
    EXPECT_EQ(m.Compare(5, whole.substr(0, 255)), Verdict::kWrite);
}

// A change applied while the client's own write is unsettled may be older
// than the write: the slot is unsure and every confirmation writes, until
// the client writes again or a change comes after the write is settled.
TEST(SlotMirror, ChangeBeforeOwnWriteIsSettledMakesTheSlotUnsure) {
    SlotMirror m(10);
    m.Follow(1, 100);
    m.Changed(51, "old");
    m.Wrote(51, "ALL", 5);  // derived from a command
    EXPECT_EQ(m.Compare(51, "ALL"), Verdict::kSame);
    m.Changed(51, "X");     // the client's write, maybe before ours
    EXPECT_EQ(*m.Text(51), "X");
    EXPECT_EQ(m.Compare(51, "X"), Verdict::kWrite);
    m.Settle(6);
    EXPECT_EQ(m.Compare(51, "X"), Verdict::kWrite);  // settling alone does not tell which came last
    m.Wrote(51, "X", 7);
    EXPECT_EQ(m.Compare(51, "X"), Verdict::kSame);
    m.Settle(7);
    m.Changed(51, "Y");     // after the write is settled: newer, sure
    EXPECT_EQ(m.Compare(51, "Y"), Verdict::kSame);
    m.Settle(3);            // an older proof changes nothing
    m.Changed(51, "Z");
    EXPECT_EQ(m.Compare(51, "Z"), Verdict::kSame);
}

// Changes applied before a read is settled are older than what it returned.
TEST(SlotMirror, ChangeBeforeAReadIsSettledIsOlderThanTheRead) {
    SlotMirror m(10);
    m.Follow(101, 200);
    m.Read(101, "7", 9);
    m.Changed(101, "3");
    EXPECT_EQ(*m.Text(101), "7");
    EXPECT_EQ(m.Compare(101, "7"), Verdict::kSame);
    m.Wrote(101, "8", 10);  // after the read: the stale change still counts for nothing
    m.Changed(101, "4");
    EXPECT_EQ(*m.Text(101), "8");
    m.Settle(9);
    m.Changed(101, "5");    // between the read and our write: unsure
    EXPECT_EQ(m.Compare(101, "5"), Verdict::kWrite);
}

}  // namespace
}  // namespace vorn
