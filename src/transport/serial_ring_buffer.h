#pragma once
// Receive ring buffer of one serial port: 16384 bytes. When it is full,
// further bytes are dropped and counted; buffered bytes are never
// overwritten and the unread count never wraps.
//
// Threading: not synchronised itself. The port library guards each buffer
// with its port's mutex (reader thread puts, GUI thread takes).

#include <cstddef>
#include <cstdint>

namespace vorn {

class SerialRingBuffer {
public:
    static constexpr size_t kCapacity = 16384;

    // Stores as many of the n bytes as fit; the rest are counted as lost.
    // Returns the number stored.
    size_t Put(const void* data, size_t n);
    // Takes up to count bytes in arrival order; returns the number taken.
    size_t Take(void* out, size_t count);
    // Unread bytes, 0..kCapacity.
    size_t Count() const { return count_; }
    // Bytes lost since the last call; resets the tally.
    uint64_t TakeLost();
    uint64_t Lost() const { return lost_; }

private:
    unsigned char data_[kCapacity] = {};
    size_t read_ = 0;   // index of the oldest unread byte
    size_t count_ = 0;  // unread bytes
    uint64_t lost_ = 0;
};

}  // namespace vorn
