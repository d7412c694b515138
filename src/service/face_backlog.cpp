#include "service/face_backlog.h"

namespace vorn {

std::size_t FaceBacklog::SlotOf(const FacePart& part) {
    switch (part.kind) {
        case FacePart::kView: return 0;
        case FacePart::kCards: return 1;
        case FacePart::kTable: return 2;
        case FacePart::kHeader: return 3 + static_cast<std::size_t>((part.panel - 1) * kPanelSlots);
        case FacePart::kButton: return 3 + static_cast<std::size_t>((part.panel - 1) * kPanelSlots + part.button);
    }
    return 0;
}

FacePart FaceBacklog::PartOf(std::size_t slot) {
    if (slot < 3) return {slot == 0 ? FacePart::kView : slot == 1 ? FacePart::kCards : FacePart::kTable, 0, 0};
    const int panel = static_cast<int>((slot - 3) / kPanelSlots) + 1;
    const int button = static_cast<int>((slot - 3) % kPanelSlots);
    return {button == 0 ? FacePart::kHeader : FacePart::kButton, panel, button};
}

bool FaceBacklog::Wants(const FacePart& part) const {
    if (part.kind == FacePart::kView) return true;
    if (part.kind == FacePart::kCards || part.kind == FacePart::kTable) return panel_ == 0;
    if (part.panel < 1 || part.panel > 12 || part.button < 0 || part.button >= kPanelSlots) return false;
    return panel_ == 0 || panel_ == part.panel;
}

void FaceBacklog::Mark(const FacePart& part) {
    if (whole_ || !Wants(part)) return;
    const std::size_t slot = SlotOf(part);
    if (bits_.test(slot)) return;
    bits_.set(slot);
    if (++count_ > kWholeAfter) MarkWhole();
}

void FaceBacklog::MarkWhole() {
    whole_ = true;
    bits_.reset();
    count_ = 0;
}

std::vector<FacePart> FaceBacklog::Take(bool* whole) {
    std::vector<FacePart> parts;
    *whole = whole_;
    if (!whole_) {
        parts.reserve(count_);
        for (std::size_t slot = 0; slot < kSlots && parts.size() < count_; ++slot) {
            if (bits_.test(slot)) parts.push_back(PartOf(slot));
        }
    }
    whole_ = false;
    bits_.reset();
    count_ = 0;
    return parts;
}

}  // namespace vorn
