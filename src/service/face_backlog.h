#pragma once
// What one live client of the status page has still to be sent: the parts
// that changed since its last batch, coalesced per part (a button that
// changes ten times before the client can take a batch is sent once, as it
// is then). Fixed size whatever happens: one bit per part. When more parts
// wait than a whole picture is worth, or the client is too far behind,
// the backlog becomes "whole": the next batch is the whole picture and
// nothing else. Plain C++; GUI thread.

#include <bitset>
#include <cstddef>
#include <vector>

#include "service/panel_faces.h"

namespace vorn {

class FaceBacklog {
public:
    // Pending parts beyond which the whole picture goes instead.
    static constexpr std::size_t kWholeAfter = 200;

    // The page the client shows: 0 the page "/", else the page of panel N
    // (which has no cards, no table and no other panel).
    explicit FaceBacklog(int panel) : panel_(panel) {}

    int panel() const { return panel_; }
    bool Wants(const FacePart& part) const;

    // Notes a changed part (one the page does not show is ignored).
    void Mark(const FacePart& part);
    void MarkWhole();

    bool empty() const { return !whole_ && count_ == 0; }
    bool whole() const { return whole_; }
    std::size_t pending() const { return count_; }

    // What is to be sent now, and empty afterwards: *whole, or the parts in
    // page order.
    std::vector<FacePart> Take(bool* whole);

private:
    static constexpr int kPanelSlots = 100;  // header and buttons 1..99
    static constexpr std::size_t kSlots = 3 + 12 * kPanelSlots;
    static std::size_t SlotOf(const FacePart& part);
    static FacePart PartOf(std::size_t slot);

    int panel_;
    std::bitset<kSlots> bits_;
    std::size_t count_ = 0;
    bool whole_ = false;
};

}  // namespace vorn
