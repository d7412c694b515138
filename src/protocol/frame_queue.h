#pragma once
// The frames waiting for one panel's line, and the rules that keep them few.
// Pure: no I/O, no clock; one thread.
//
// A frame "sets" one thing when its bytes say what: the label of a button
// (a text frame of either form or a graphic frame: the later one is what the
// panel shows), its colour, its lamp (on and off), or one of the panel
// commands poll, clear and code 6. While frames wait, a newer frame that sets
// the same thing makes the waiting one redundant, and a clear makes every
// waiting label and colour frame redundant (the panel is wiped before they
// would show). Coalescing removes those; the newer frame goes to the back.
// So the queue is always a subsequence of the frames pushed, in push order,
// holding the newest frame of everything set: frames of different buttons
// keep their order, and the panel ends in the last values pushed. A frame
// whose bytes set nothing known (none is built today) is never removed.
//
// A frame whose first bytes have been handed over (Consume) is never removed
// or replaced: what follows it on the line must be the rest of it.
//
// Bound: coalesced, the queue holds at most one frame per button (0..255)
// and attribute plus one per panel command, 771 in all, below kCapacity. Only
// frames pushed without coalescing, or frames that set nothing known, can
// fill it; at kCapacity Push refuses the frame (the owner writes or coalesces
// first, see PanelLink).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn {

class FrameQueue {
public:
    static constexpr std::size_t kMaxFrame = 15;     // the long text form
    static constexpr std::size_t kCapacity = 1024;   // frames

    FrameQueue();

    // Appends a frame of 1..kMaxFrame bytes. With coalesce, the waiting
    // frames it makes redundant go first. False, and nothing changes, for a
    // frame of another length or a full queue.
    bool Push(std::span<const uint8_t> frame, bool coalesce);
    // Removes every waiting frame that a later one makes redundant, as if
    // each had been pushed with coalesce.
    void Coalesce();

    bool Empty() const { return count_ == 0; }
    bool Full() const { return count_ == kCapacity; }
    std::size_t Frames() const { return count_; }
    // Bytes not handed over yet (the rest of a started frame included).
    std::size_t Bytes() const { return bytes_; }

    // Copies up to max bytes not handed over yet, from the front, into out.
    std::size_t Gather(uint8_t* out, std::size_t max) const;
    // The first n bytes that Gather gives have been handed over. Calls
    // done(frame bytes) for every frame whose last byte was among them, in
    // order, and drops it. n beyond Bytes() is taken as Bytes().
    template <typename Done>
    void Consume(std::size_t n, Done&& done) {
        while (n > 0 && head_ != kNone) {
            const Node& h = nodes_[head_];
            const std::size_t rest = h.length - headSent_;
            if (n < rest) {
                headSent_ += n;
                bytes_ -= n;
                return;
            }
            n -= rest;
            // Dropped before done() runs, so that done may use the queue.
            const std::array<uint8_t, kMaxFrame> sent = h.data;
            const std::size_t length = h.length;
            Remove(head_);
            done(std::span<const uint8_t>(sent.data(), length));
        }
    }

    void Clear();

private:
    static constexpr int16_t kNone = -1;
    // Keys: label, colour and lamp of buttons 0..255, then poll, clear, code 6.
    static constexpr int kKeys = 3 * 256 + 3;

    // Fields are set when a node is taken: the nodes stay untouched memory
    // until a panel falls behind far enough to need them (a panel that keeps
    // up uses a few), so twelve queues cost their pages only when used.
    struct Node {
        std::array<uint8_t, kMaxFrame> data;
        uint8_t length;
        int16_t key;
        int16_t prev;
        int16_t next;
    };

    static int16_t KeyOf(std::span<const uint8_t> frame);
    static bool IsFace(int16_t key);  // label or colour: what a clear wipes
    bool Pinned(int16_t node) const { return node == head_ && headSent_ > 0; }
    void Remove(int16_t node);

    std::array<Node, kCapacity> nodes_;
    std::array<int16_t, kKeys> newest_;  // key -> its newest waiting frame
    int16_t head_ = kNone;
    int16_t tail_ = kNone;
    int16_t free_ = kNone;  // nodes given back, linked through next
    int16_t fresh_ = 0;     // nodes_[fresh_..] have never been taken since Clear
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
    std::size_t headSent_ = 0;  // bytes of the head frame handed over
};

}  // namespace vorn
