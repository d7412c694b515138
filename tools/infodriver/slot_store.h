#pragma once
// The slot texts of every device the Infodriver serves, and their
// persistence: with a state file, changes are saved at most every
// saveDelayMs (and retried a second later when a save fails), and once more
// at shutdown. Texts are cut to SlotStateFile::kMaxText bytes; at most
// maxSlotsPerDevice slots of a device hold text.
//
// Not thread-safe: the server guards it with its lock.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "info_client.h"
#include "infodriver_options.h"
#include "slot_state_file.h"

namespace vorn {

class SlotStore {
public:
    using Clock = std::chrono::steady_clock;

    SlotStore(const InfodriverOptions& options, ServerLog log);

    // Loads the state file, if any. False (reason in `error`) when the
    // server must not start: the file could not be read, or was damaged and
    // could not be set aside. Damage that was set aside is logged.
    bool Load(std::string* error);
    void Clear() { slots_.clear(); }

    // "" for a slot never written.
    std::string Read(int device, int32_t slot) const;
    // Stores the text (cut to the limit, logged). False when the write was
    // refused because the device has no room for another slot.
    bool Write(int device, int32_t slot, std::string& text);

    // Saves the changes once their delay is over.
    void SaveIfDue(Clock::time_point now);
    // Saves any change now (shutdown); a failure is logged as a loss.
    void SaveFinal();
    std::optional<Clock::time_point> NextDeadline() const;

private:
    void Save(bool final);

    const InfodriverOptions& options_;
    ServerLog log_;
    std::unique_ptr<SlotStateFile> file_;
    SlotTable slots_;
    bool dirty_ = false;
    Clock::time_point saveAt_{};
};

}  // namespace vorn
