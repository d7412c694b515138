#include "slot_store.h"

namespace vorn {

namespace {

constexpr auto kSaveRetry = std::chrono::milliseconds(1000);

}  // namespace

SlotStore::SlotStore(const InfodriverOptions& options, ServerLog log) : options_(options), log_(std::move(log)) {
    if (!options_.stateFile.empty()) file_ = std::make_unique<SlotStateFile>(options_.stateFile);
}

bool SlotStore::Load(std::string* error) {
    if (!file_) return true;
    std::string message;
    switch (file_->Load(slots_, message)) {
        case SlotStateFile::LoadResult::kLoaded: {
            size_t count = 0;
            for (const auto& [device, slots] : slots_) count += slots.size();
            log_("loaded " + std::to_string(count) + " slot texts from " + file_->path());
            return true;
        }
        case SlotStateFile::LoadResult::kMissing:
            log_("no state file " + file_->path() + " yet; starting with no slots");
            return true;
        case SlotStateFile::LoadResult::kDamaged:
            log_(message);
            return true;
        case SlotStateFile::LoadResult::kFailed:
            *error = message;
            return false;
    }
    return true;
}

std::string SlotStore::Read(int device, int32_t slot) const {
    auto dit = slots_.find(device);
    if (dit == slots_.end()) return "";
    auto sit = dit->second.find(slot);
    return sit == dit->second.end() ? "" : sit->second;
}

bool SlotStore::Write(int device, int32_t slot, std::string& text) {
    if (text.size() > SlotStateFile::kMaxText) {
        log_("device " + std::to_string(device) + ": text for slot " + std::to_string(slot) + " cut from " +
             std::to_string(text.size()) + " to " + std::to_string(SlotStateFile::kMaxText) + " bytes");
        text.resize(SlotStateFile::kMaxText);
    }
    auto& table = slots_[device];
    auto it = table.find(slot);
    if (text.empty()) {
        if (it != table.end()) table.erase(it);
    } else if (it != table.end()) {
        it->second = text;
    } else if (table.size() >= options_.maxSlotsPerDevice) {
        log_("device " + std::to_string(device) + ": already " + std::to_string(table.size()) +
             " slots in use; write to slot " + std::to_string(slot) + " refused");
        return false;
    } else {
        table.emplace(slot, text);
    }
    if (file_ && !dirty_) {
        dirty_ = true;
        saveAt_ = Clock::now() + std::chrono::milliseconds(options_.saveDelayMs);
    }
    return true;
}

void SlotStore::SaveIfDue(Clock::time_point now) {
    if (dirty_ && now >= saveAt_) Save(false);
}

void SlotStore::SaveFinal() {
    if (dirty_) Save(true);
}

std::optional<SlotStore::Clock::time_point> SlotStore::NextDeadline() const {
    if (!dirty_) return std::nullopt;
    return saveAt_;
}

void SlotStore::Save(bool final) {
    if (!file_) return;
    std::string error;
    if (file_->Save(slots_, error)) {
        dirty_ = false;
        return;
    }
    log_("cannot save slot texts: " + error + (final ? "; changes since the last save are lost" : "; will retry"));
    saveAt_ = Clock::now() + kSaveRetry;
}

}  // namespace vorn
