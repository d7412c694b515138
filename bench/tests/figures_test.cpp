// The bench's arithmetic: percentiles and medians, the order check that
// turns frames at a panel into lost/reordered/extra counts, and the stale
// count of read-back slots.

#include <gtest/gtest.h>

#include "figures.h"

namespace vorn::bench {
namespace {

TEST(Percentile, NearestRankOverUnsortedSamples) {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i) v.push_back(i);
    EXPECT_EQ(Percentile(v, 50), 50);
    EXPECT_EQ(Percentile(v, 99), 99);
    EXPECT_EQ(Percentile(v, 100), 100);
    EXPECT_EQ(Percentile({7, 3, 5}, 99), 7) << "a small sample's p99 is its maximum";
    EXPECT_EQ(Percentile({4}, 50), 4);
    EXPECT_FALSE(Percentile({}, 50));
}

TEST(Median, OddAndEvenCounts) {
    EXPECT_EQ(Median({3, 1, 2}), 2);
    EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
    EXPECT_FALSE(Median({}));
}

OrderCheck Labels(std::initializer_list<const char*> keys) {
    OrderCheck c;
    for (const char* k : keys) c.Expect(k);
    return c;
}

TEST(OrderCheck, AllInOrderIsComplete) {
    OrderCheck c = Labels({"a", "b", "c"});
    for (const char* k : {"a", "b", "c"}) c.Receive(k);
    EXPECT_TRUE(c.Complete());
    EXPECT_EQ(c.Lost(), 0u);
    EXPECT_EQ(c.Reordered(), 0u);
    EXPECT_EQ(c.Extra(), 0u);
}

TEST(OrderCheck, NotYetArrivedCountsAsLost) {
    OrderCheck c = Labels({"a", "b", "c", "d"});
    c.Receive("a");
    c.Receive("c");
    EXPECT_EQ(c.Lost(), 2u) << "b passed over, d not reached";
    EXPECT_FALSE(c.Complete());
}

TEST(OrderCheck, LateArrivalIsReorderedNotLost) {
    OrderCheck c = Labels({"a", "b", "c"});
    c.Receive("a");
    c.Receive("c");
    c.Receive("b");
    EXPECT_TRUE(c.Complete());
    EXPECT_EQ(c.Lost(), 0u);
    EXPECT_EQ(c.Reordered(), 1u);
}

TEST(OrderCheck, RepeatsAndUnknownFramesAreExtra) {
    OrderCheck c = Labels({"a", "b"});
    c.Receive("a");
    c.Receive("a");
    c.Receive("zz");
    c.Receive("b");
    EXPECT_TRUE(c.Complete());
    EXPECT_EQ(c.Extra(), 2u);
    EXPECT_EQ(c.Reordered(), 0u);
}

// Colours repeat every ten changes; the window keeps a match from jumping a
// whole cycle ahead.
TEST(OrderCheck, CyclicKeysWithWindow) {
    OrderCheck c(9);
    std::vector<std::string> sent;
    for (int i = 1; i <= 25; ++i) {
        sent.push_back(std::to_string(i % 10));
        c.Expect(sent.back());
    }
    for (size_t i = 0; i < sent.size(); ++i) {
        if (i != 12) c.Receive(sent[i]);  // one colour lost in the second cycle
    }
    EXPECT_EQ(c.Lost(), 1u);
    EXPECT_EQ(c.Reordered(), 0u);
    EXPECT_EQ(c.Extra(), 0u);
    c.Receive(sent[12]);
    EXPECT_EQ(c.Lost(), 0u) << "the lost one arrived after all";
    EXPECT_EQ(c.Reordered(), 1u);
}

TEST(OrderCheck, StaleRewriteAtTheEndShowsAsReordered) {
    // The panel sees the last label, then an older one again: the older is
    // matched late only if it was passed over; a second copy is extra.
    OrderCheck c = Labels({"x1", "x2", "x3"});
    c.Receive("x1");
    c.Receive("x3");
    c.Receive("x2");
    c.Receive("x2");
    EXPECT_EQ(c.Reordered(), 1u);
    EXPECT_EQ(c.Extra(), 1u);
}

TEST(CountStale, OlderTextOrNoTextIsStale) {
    const std::map<int, std::string> written{{51, "B1-000009"}, {52, "B1-000010"}, {101, "4"}};
    EXPECT_EQ(CountStale(written, {{51, "B1-000009"}, {52, "B1-000010"}, {101, "4"}}), 0u);
    EXPECT_EQ(CountStale(written, {{51, "B1-000001"}, {52, "B1-000010"}, {101, "3"}}), 2u);
    EXPECT_EQ(CountStale(written, {{51, "B1-000009"}}), 2u) << "slots not read back";
}

}  // namespace
}  // namespace vorn::bench
