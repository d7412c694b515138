#include "protocol/frame_queue.h"

#include <algorithm>
#include <bitset>
#include <cstring>

#include "protocol/panel_frames.h"

namespace vorn {

namespace {

constexpr int16_t kLabelKeys = 0;
constexpr int16_t kColourKeys = 256;
constexpr int16_t kLampKeys = 512;
constexpr int16_t kPollKey = 768;
constexpr int16_t kClearKey = 769;
constexpr int16_t kCode6Key = 770;

}  // namespace

FrameQueue::FrameQueue() { Clear(); }

int16_t FrameQueue::KeyOf(std::span<const uint8_t> f) {
    const size_t n = f.size();
    if (n < 3) return kNone;
    switch (f[0]) {
        case MSG_TEXT10:
            return n == 15 && f[2] == TEXT_SELECTOR ? static_cast<int16_t>(kLabelKeys + f[14]) : kNone;
        case MSG_TEXT8:
            return n == 13 && f[2] == TEXT_SELECTOR ? static_cast<int16_t>(kLabelKeys + f[12]) : kNone;
        case MSG_ATTRIBUTE:
            if (n != 5) return kNone;
            // The colour frame names the button at offset 3, the graphic
            // frame at offset 4; a graphic is the button's label.
            if (f[2] == ATTR_COLOUR) return static_cast<int16_t>(kColourKeys + f[3]);
            if (f[2] == ATTR_GRAPHIC) return static_cast<int16_t>(kLabelKeys + f[4]);
            return kNone;
        case MSG_BUTTON:
            return n == 4 && (f[2] == ACTION_LAMP_ON || f[2] == ACTION_LAMP_OFF)
                       ? static_cast<int16_t>(kLampKeys + f[3])
                       : kNone;
        case MSG_PANEL:
            if (n != 3) return kNone;
            if (f[2] == PANEL_POLL) return kPollKey;
            if (f[2] == PANEL_CLEAR) return kClearKey;
            if (f[2] == PANEL_CODE6) return kCode6Key;
            return kNone;
        default:
            return kNone;
    }
}

bool FrameQueue::IsFace(int16_t key) { return key >= kLabelKeys && key < kLampKeys; }

bool FrameQueue::Push(std::span<const uint8_t> frame, bool coalesce) {
    if (frame.empty() || frame.size() > kMaxFrame || Full()) return false;
    const int16_t key = KeyOf(frame);
    if (coalesce && key == kClearKey) {
        for (int16_t i = head_; i != kNone;) {
            const int16_t next = nodes_[i].next;
            if ((IsFace(nodes_[i].key) || nodes_[i].key == kClearKey) && !Pinned(i)) Remove(i);
            i = next;
        }
    } else if (coalesce && key != kNone) {
        const int16_t old = newest_[key];
        if (old != kNone && !Pinned(old)) Remove(old);
    }
    // Not full, so a node was given back or one was never taken.
    int16_t i = free_;
    if (i != kNone) {
        free_ = nodes_[i].next;
    } else {
        i = fresh_++;
    }
    Node& node = nodes_[i];
    std::memcpy(node.data.data(), frame.data(), frame.size());
    node.length = static_cast<uint8_t>(frame.size());
    node.key = key;
    node.prev = tail_;
    node.next = kNone;
    if (tail_ != kNone) {
        nodes_[tail_].next = i;
    } else {
        head_ = i;
    }
    tail_ = i;
    if (key != kNone) newest_[key] = i;
    ++count_;
    bytes_ += frame.size();
    return true;
}

void FrameQueue::Coalesce() {
    // From the back: the first frame met of each key is its newest and
    // stays; an older one goes, and so does a label or colour frame with a
    // clear behind it.
    std::bitset<kKeys> seen;
    bool clearBehind = false;
    for (int16_t i = tail_; i != kNone;) {
        const int16_t prev = nodes_[i].prev;
        const int16_t key = nodes_[i].key;
        if (key != kNone && !Pinned(i)) {
            if (seen[static_cast<size_t>(key)] || (clearBehind && IsFace(key))) {
                Remove(i);
                i = prev;
                continue;
            }
        }
        if (key != kNone) seen[static_cast<size_t>(key)] = true;
        if (key == kClearKey) clearBehind = true;
        i = prev;
    }
}

std::size_t FrameQueue::Gather(uint8_t* out, std::size_t max) const {
    std::size_t done = 0;
    std::size_t skip = headSent_;
    for (int16_t i = head_; i != kNone && done < max; i = nodes_[i].next) {
        const Node& n = nodes_[i];
        const std::size_t take = std::min<std::size_t>(n.length - skip, max - done);
        std::memcpy(out + done, n.data.data() + skip, take);
        done += take;
        skip = 0;
    }
    return done;
}

void FrameQueue::Remove(int16_t i) {
    Node& n = nodes_[i];
    // Only Consume removes a started head frame.
    bytes_ -= n.length - (i == head_ ? headSent_ : 0);
    if (i == head_) headSent_ = 0;
    if (n.prev != kNone) {
        nodes_[n.prev].next = n.next;
    } else {
        head_ = n.next;
    }
    if (n.next != kNone) {
        nodes_[n.next].prev = n.prev;
    } else {
        tail_ = n.prev;
    }
    if (n.key != kNone && newest_[n.key] == i) newest_[n.key] = kNone;
    --count_;
    n.key = kNone;
    n.prev = kNone;
    n.next = free_;
    free_ = i;
}

void FrameQueue::Clear() {
    newest_.fill(kNone);
    free_ = kNone;
    fresh_ = 0;
    head_ = tail_ = kNone;
    count_ = 0;
    bytes_ = 0;
    headSent_ = 0;
}

}  // namespace vorn
