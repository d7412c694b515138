#pragma once
// The recent traffic of one panel: the last frames sent to it and the last
// blocks received from it, each with the time it passed, for the support
// bundle and for a replay by the simulator. The driver keeps one ring per
// panel for its whole run (PanelTraffic); recording costs a clock read and a
// copy of a few bytes. GUI thread only, like the panel table.
//
// Bounds, per direction of one panel: kEntries records and kSentBytes or
// kReceivedBytes of their bytes, whichever is reached first; at either
// bound the oldest records of that direction go. Storage is allocated at
// the first record, so a panel without traffic costs nothing: at most
// 60 KiB per panel with traffic
// (1000 slots of 16 bytes and the byte store, per direction).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vorn {

enum class TrafficDirection : std::uint8_t { kSent, kReceived };

struct TrafficRecord {
    std::int64_t timeUs = 0;  // microseconds since the Unix epoch (UTC), see TrafficClockUs
    TrafficDirection direction = TrafficDirection::kSent;
    std::vector<std::uint8_t> bytes;
};

class TrafficRing {
public:
    static constexpr std::size_t kEntries = 1000;
    static constexpr std::size_t kSentBytes = 16 * 1024;     // 1000 frames of at most 15 bytes fit
    static constexpr std::size_t kReceivedBytes = 12 * 1024;  // 1000 blocks of up to 12 bytes
    // A longer block keeps its first kRecordMax bytes (blocks are read in
    // at most 256 bytes anyway).
    static constexpr std::size_t kRecordMax = 256;

    TrafficRing();
    ~TrafficRing();
    TrafficRing(const TrafficRing&) = delete;
    TrafficRing& operator=(const TrafficRing&) = delete;

    // Records bytes at the current time (or at timeUs). Empty input is not
    // recorded. Times within a ring rise strictly: a time at or before the
    // last one recorded becomes that one plus 1 us.
    void Record(TrafficDirection direction, const std::uint8_t* data, std::size_t length);
    void Record(TrafficDirection direction, const std::uint8_t* data, std::size_t length, std::int64_t timeUs);

    // Both directions in the order they were recorded, oldest first.
    std::vector<TrafficRecord> Records() const;
    std::size_t size() const;
    void Clear();

private:
    class Lane;
    std::unique_ptr<Lane> sent_;
    std::unique_ptr<Lane> received_;
    std::int64_t lastUs_ = 0;
};

// Microseconds since the Unix epoch, now: the wall clock at the first call
// advanced by the monotonic clock since then.
std::int64_t TrafficClockUs();

// The ring of panel 1..12; any other number gets a ring of its own that is
// never shown.
TrafficRing& PanelTraffic(int panel);

}  // namespace vorn
