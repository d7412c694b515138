#include "core/traffic_ring.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace vorn {

// One direction: a circle of record slots over a circle of bytes. A record
// holds its bytes at a running byte position; the slot of the oldest record
// goes when the slots are full or its bytes would be overwritten.
class TrafficRing::Lane {
public:
    explicit Lane(std::size_t byteCapacity) : bytes_(new std::uint8_t[byteCapacity]), capacity_(byteCapacity) {}

    void Add(const std::uint8_t* data, std::size_t length, std::int64_t timeUs) {
        while (count_ == kEntries ||
               (count_ > 0 && static_cast<std::uint32_t>(head_ + length - slots_[first_].at) > capacity_)) {
            first_ = (first_ + 1) % kEntries;
            --count_;
        }
        const std::size_t at = static_cast<std::size_t>(head_ % capacity_);
        const std::size_t part = std::min(length, capacity_ - at);
        std::memcpy(bytes_.get() + at, data, part);
        std::memcpy(bytes_.get(), data + part, length - part);
        slots_[(first_ + count_) % kEntries] = Slot{timeUs, head_, static_cast<std::uint16_t>(length)};
        ++count_;
        head_ += static_cast<std::uint32_t>(length);
    }

    std::size_t count() const { return count_; }

    // Time of record i (0 oldest).
    std::int64_t TimeOf(std::size_t i) const { return slots_[(first_ + i) % kEntries].timeUs; }
    TrafficRecord RecordOf(std::size_t i, TrafficDirection direction) const {
        const Slot& s = slots_[(first_ + i) % kEntries];
        TrafficRecord r;
        r.timeUs = s.timeUs;
        r.direction = direction;
        r.bytes.resize(s.length);
        const std::size_t at = static_cast<std::size_t>(s.at % capacity_);
        const std::size_t part = std::min<std::size_t>(s.length, capacity_ - at);
        std::memcpy(r.bytes.data(), bytes_.get() + at, part);
        std::memcpy(r.bytes.data() + part, bytes_.get(), s.length - part);
        return r;
    }

private:
    struct Slot {
        std::int64_t timeUs;
        std::uint32_t at;  // running byte position (wraps; only differences count)
        std::uint16_t length;
    };
    Slot slots_[kEntries] = {};
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    std::uint32_t head_ = 0;  // bytes written so far, wrapping
};

TrafficRing::TrafficRing() = default;
TrafficRing::~TrafficRing() = default;

void TrafficRing::Record(TrafficDirection direction, const std::uint8_t* data, std::size_t length) {
    if (length == 0 || data == nullptr) return;
    Record(direction, data, length, TrafficClockUs());
}

void TrafficRing::Record(TrafficDirection direction, const std::uint8_t* data, std::size_t length,
                         std::int64_t timeUs) {
    if (length == 0 || data == nullptr) return;
    length = std::min(length, kRecordMax);
    // Strictly rising times give the order of the two directions.
    if (timeUs <= lastUs_) timeUs = lastUs_ + 1;
    lastUs_ = timeUs;
    std::unique_ptr<Lane>& lane = direction == TrafficDirection::kSent ? sent_ : received_;
    if (!lane) lane = std::make_unique<Lane>(direction == TrafficDirection::kSent ? kSentBytes : kReceivedBytes);
    lane->Add(data, length, timeUs);
}

std::vector<TrafficRecord> TrafficRing::Records() const {
    std::vector<TrafficRecord> out;
    out.reserve(size());
    std::size_t s = 0;
    std::size_t r = 0;
    const std::size_t sentCount = sent_ ? sent_->count() : 0;
    const std::size_t receivedCount = received_ ? received_->count() : 0;
    while (s < sentCount || r < receivedCount) {
        const bool takeSent =
            r == receivedCount || (s < sentCount && sent_->TimeOf(s) < received_->TimeOf(r));
        out.push_back(takeSent ? sent_->RecordOf(s++, TrafficDirection::kSent)
                               : received_->RecordOf(r++, TrafficDirection::kReceived));
    }
    return out;
}

std::size_t TrafficRing::size() const {
    return (sent_ ? sent_->count() : 0) + (received_ ? received_->count() : 0);
}

void TrafficRing::Clear() {
    sent_.reset();
    received_.reset();
}

namespace {
std::int64_t ClockUs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
}  // namespace

std::int64_t TrafficClockUs() {
    // The wall clock read once, then advanced by the monotonic clock: a step
    // of the wall clock (NTP) never reorders or stretches the records.
    static const std::int64_t base = ClockUs(CLOCK_REALTIME) - ClockUs(CLOCK_MONOTONIC);
    return base + ClockUs(CLOCK_MONOTONIC);
}

TrafficRing& PanelTraffic(int panel) {
    static TrafficRing rings[13];
    return rings[(panel >= 1 && panel <= 12) ? panel : 0];
}

}  // namespace vorn
