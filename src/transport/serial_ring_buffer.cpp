#include "transport/serial_ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace vorn {

size_t SerialRingBuffer::Put(const void* data, size_t n) {
    if (data == nullptr || n == 0) return 0;
    const auto* in = static_cast<const unsigned char*>(data);
    size_t room = kCapacity - count_;
    size_t stored = std::min(n, room);
    lost_ += n - stored;  // full: the newest bytes go, buffered ones stay
    // At most two copies: up to the end of the storage, then from its start.
    size_t write = (read_ + count_) % kCapacity;
    size_t first = std::min(stored, kCapacity - write);
    std::memcpy(data_ + write, in, first);
    std::memcpy(data_, in + first, stored - first);
    count_ += stored;
    return stored;
}

size_t SerialRingBuffer::Take(void* out, size_t count) {
    if (out == nullptr || count == 0) return 0;
    auto* dst = static_cast<unsigned char*>(out);
    size_t taken = std::min(count, count_);
    size_t first = std::min(taken, kCapacity - read_);
    std::memcpy(dst, data_ + read_, first);
    std::memcpy(dst + first, data_, taken - first);
    read_ = (read_ + taken) % kCapacity;
    count_ -= taken;
    return taken;
}

uint64_t SerialRingBuffer::TakeLost() {
    uint64_t lost = lost_;
    lost_ = 0;
    return lost;
}

}  // namespace vorn
