#include "transport/slot_mirror.h"

namespace vorn {

bool SlotMirror::Follow(int first, int last) {
    for (const Range& r : ranges_) {
        if (r.first == first && r.last == last) return true;  // followed already
    }
    if (first > last || ranges_.size() >= kMaxRanges) return false;
    ranges_.push_back(Range{first, last});
    return true;
}

bool SlotMirror::Follows(int slot) const {
    for (const Range& r : ranges_) {
        if (slot >= r.first && slot <= r.last) return true;
    }
    return false;
}

SlotMirror::Entry* SlotMirror::Slot(int slot) {
    if (auto it = entries_.find(slot); it != entries_.end()) return &it->second;
    if (!Follows(slot) || entries_.size() >= capacity_) return nullptr;
    return &entries_[slot];
}

SlotMirror::Verdict SlotMirror::Compare(int slot, std::string_view text) const {
    auto it = entries_.find(slot);
    if (it == entries_.end()) return Verdict::kUnknown;
    if (it->second.unsure) return Verdict::kWrite;
    return it->second.text == text ? Verdict::kSame : Verdict::kWrite;
}

const std::string* SlotMirror::Text(int slot) const {
    auto it = entries_.find(slot);
    return it == entries_.end() ? nullptr : &it->second.text;
}

bool SlotMirror::Wrote(int slot, std::string_view text, uint64_t seq) {
    if (!Follows(slot)) return true;
    Entry* e = Slot(slot);
    if (e == nullptr) return false;
    e->text.assign(text);
    e->wroteSeq = seq;
    e->unsure = false;
    return true;
}

bool SlotMirror::Read(int slot, std::string_view text, uint64_t seq) {
    if (!Follows(slot)) return true;
    Entry* e = Slot(slot);
    if (e == nullptr) return false;
    e->text.assign(text);
    e->readSeq = seq;
    e->unsure = false;
    return true;
}

bool SlotMirror::Changed(int slot, std::string_view text) {
    if (!Follows(slot)) return true;
    Entry* e = Slot(slot);
    if (e == nullptr) return false;
    // Queued by the Infodriver before it answered our read: older than the
    // text the read gave.
    if (e->readSeq > settled_) return true;
    e->text.assign(text);
    // Maybe older than our own unsettled write, which would then be the
    // slot's text: unknown which.
    e->unsure = e->wroteSeq > settled_;
    return true;
}

void SlotMirror::Settle(uint64_t seq) {
    if (seq > settled_) settled_ = seq;
}

}  // namespace vorn
