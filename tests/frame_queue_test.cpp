// The output queue's coalescing rules, on frames as the senders build them.

#include "protocol/frame_queue.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "protocol/panel_frames.h"

namespace vorn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const PanelFrame& f) { return Bytes(f.Data(), f.Data() + f.Length()); }
Bytes Text(int button, const char* text) { return B(BuildTextFrame(1, button, text, TextForm::Long10)); }
Bytes Colour(int button, int colour) { return B(BuildColourFrame(1, button, colour)); }

void Push(FrameQueue& q, const Bytes& f, bool coalesce = true) { ASSERT_TRUE(q.Push(f, coalesce)); }

// Everything that waits, frame by frame, as the line would get it.
std::vector<Bytes> Drain(FrameQueue& q) {
    std::vector<Bytes> out;
    q.Consume(q.Bytes(), [&](std::span<const uint8_t> f) { out.emplace_back(f.begin(), f.end()); });
    return out;
}

TEST(FrameQueueTest, NewerFrameOfTheSameThingReplacesTheWaitingOneAtTheBack) {
    FrameQueue q;
    for (int i = 0; i < 1000; ++i) Push(q, Text(1, std::to_string(i).c_str()));
    EXPECT_EQ(q.Frames(), 1u) << "a burst to one button leaves one waiting frame";

    // Different buttons keep their order; the replaced frame moves to the
    // back, so what waits is the pushes in push order, newest of each.
    Push(q, Text(2, "two"));
    Push(q, Text(1, "last"));
    // A lamp, a colour and a label of one button are kept apart; a graphic
    // is the button's label.
    Push(q, B(BuildLampOnFrame(1, 2)));
    Push(q, Colour(2, 5));
    Push(q, B(BuildGraphicFrame(1, 2, 7)));
    EXPECT_EQ(Drain(q), (std::vector<Bytes>{Text(1, "last"), B(BuildLampOnFrame(1, 2)), Colour(2, 5),
                                            B(BuildGraphicFrame(1, 2, 7))}));
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.Bytes(), 0u);
}

TEST(FrameQueueTest, ClearSupersedesWaitingFacesButNotLampsOrPolls) {
    FrameQueue q;
    Push(q, Text(1, "a"));
    Push(q, Colour(1, 3));
    Push(q, B(BuildGraphicFrame(1, 2, 4)));
    Push(q, B(BuildLampOffFrame(1, 3)));
    Push(q, B(BuildPollFrame(1)));
    Push(q, B(BuildClearFrame(1)));
    Push(q, Text(4, "after"));
    Push(q, B(BuildClearFrame(1)));  // a second clear supersedes the first and the label before it
    Push(q, Colour(5, 1));
    EXPECT_EQ(Drain(q), (std::vector<Bytes>{B(BuildLampOffFrame(1, 3)), B(BuildPollFrame(1)),
                                            B(BuildClearFrame(1)), Colour(5, 1)}));
}

TEST(FrameQueueTest, UncoalescedFramesWaitAllUntilCoalesced) {
    FrameQueue q;
    Push(q, Text(1, "a"), false);
    Push(q, Text(2, "b"), false);
    Push(q, Text(1, "c"), false);
    Push(q, B(BuildClearFrame(1)), false);
    Push(q, Text(2, "d"), false);
    EXPECT_EQ(q.Frames(), 5u);
    q.Coalesce();
    EXPECT_EQ(Drain(q), (std::vector<Bytes>{B(BuildClearFrame(1)), Text(2, "d")}));
}

TEST(FrameQueueTest, StartedFrameIsNeverReplacedOrCut) {
    FrameQueue q;
    Push(q, Text(1, "started"));
    Push(q, Text(2, "x"));
    std::vector<Bytes> done;
    q.Consume(4, [&](std::span<const uint8_t> f) { done.emplace_back(f.begin(), f.end()); });
    EXPECT_TRUE(done.empty());
    Push(q, Text(1, "newer"));
    Push(q, B(BuildClearFrame(1)));
    q.Coalesce();
    // The rest of the started frame comes first, whole.
    uint8_t rest[64];
    ASSERT_EQ(q.Gather(rest, sizeof rest), 11u + 3u);
    const Bytes started = Text(1, "started");
    EXPECT_EQ(Bytes(rest, rest + 11), Bytes(started.begin() + 4, started.end()));
    EXPECT_EQ(Drain(q), (std::vector<Bytes>{Text(1, "started"), B(BuildClearFrame(1))}));
}

TEST(FrameQueueTest, BoundedByThePanelAndFullOnlyWithoutCoalescing) {
    FrameQueue q;
    std::mt19937 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const int b = static_cast<int>(rng() % 256);
        Push(q, i % 3 == 0 ? Text(b, "t") : i % 3 == 1 ? Colour(b, i % 10) : B(BuildLampOnFrame(1, b)));
    }
    EXPECT_LE(q.Frames(), 3u * 256u);
    q.Clear();
    for (size_t i = 0; i < FrameQueue::kCapacity; ++i) Push(q, Colour(1, 1), false);
    EXPECT_TRUE(q.Full());
    EXPECT_FALSE(q.Push(Colour(1, 2), false));
    EXPECT_FALSE(q.Push(Bytes(16, 142), true)) << "longer than any frame";
}

// What a panel shows after a sequence of frames: per button and attribute
// the last one, labels and colours wiped by a clear.
struct PanelState {
    std::map<std::pair<int, int>, Bytes> shown;
    void Apply(const Bytes& f) {
        if (f[0] == MSG_PANEL) {
            if (f[2] == PANEL_CLEAR) std::erase_if(shown, [](const auto& e) { return e.first.first < 2; });
            return;
        }
        const int attr = f[0] == MSG_BUTTON ? 2 : (f[0] == MSG_ATTRIBUTE && f[2] == ATTR_COLOUR) ? 1 : 0;
        const int button = f[0] == MSG_ATTRIBUTE ? (f[2] == ATTR_COLOUR ? f[3] : f[4]) : f.back();
        shown[{attr, button}] = f;
    }
};

// Whatever the line takes and whenever, the panel ends as if it had got
// every frame pushed.
TEST(FrameQueueTest, PanelEndsInTheLastStateWhateverTheLineTakes) {
    std::mt19937 rng(11);
    for (int run = 0; run < 200; ++run) {
        FrameQueue q;
        PanelState want, got;
        bool coalescing = false;
        for (int i = 0; i < 300; ++i) {
            const int b = static_cast<int>(rng() % 6) + 1;
            Bytes f;
            switch (rng() % 6) {
                case 0: f = Text(b, std::to_string(i).c_str()); break;
                case 1: f = Colour(b, i % 10); break;
                case 2: f = B(BuildGraphicFrame(1, b, i % 14)); break;
                case 3: f = B(i % 2 ? BuildLampOnFrame(1, b) : BuildLampOffFrame(1, b)); break;
                case 4: f = B(BuildClearFrame(1)); break;
                default: f = B(BuildPollFrame(1)); break;
            }
            want.Apply(f);
            Push(q, f, coalescing);
            if (rng() % 4 == 0) {
                q.Consume(rng() % 40, [&](std::span<const uint8_t> s) { got.Apply(Bytes(s.begin(), s.end())); });
                coalescing = !q.Empty();
                if (coalescing) q.Coalesce();
            }
        }
        for (const Bytes& f : Drain(q)) got.Apply(f);
        ASSERT_EQ(got.shown, want.shown) << "run " << run;
    }
}

}  // namespace
}  // namespace vorn
