#pragma once
// The Infodriver client's copy of the slots it follows (the driver's panel
// blocks and its status slot), so that echoes and confirmations cost no
// read. Pure: no I/O, no clock, no logging; its owner feeds it in the order
// the link delivers.
//
// Order. The frames the client sends are numbered (seq, rising). The
// Infodriver handles a client's frames in order and queues its replies and
// notifications to that client in one stream, so the reply to request r
// comes after every notification it queued before it handled frame r. Once
// everything that arrived ahead of that reply has been applied here, the
// owner calls Settle(r). Until a frame is settled:
//  - after the client's own write (Wrote, seq w), an applied change may be
//    older or newer than the write, so the entry becomes unsure, and
//    Compare says kWrite whatever the text: a confirmation of an unsure slot
//    always writes. The entry is sure again after the client's next write or
//    read, or a change applied once w is settled.
//  - after a read (Read, seq r), an applied change is older than what the
//    read returned and leaves the entry as it is.
// Texts are kept whole, as written, read or announced.
//
// Bounds: at most kMaxRanges followed ranges, and at most `capacity`
// entries: at the bound a new slot is not stored (the owner reads it when
// needed).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vorn {

class SlotMirror {
public:
    static constexpr size_t kMaxRanges = 8;

    explicit SlotMirror(size_t capacity) : capacity_(capacity) {}

    // Follows slots first..last from now on; false (nothing changes) for an
    // empty range or when kMaxRanges are followed already.
    bool Follow(int first, int last);
    bool Follows(int slot) const;

    enum class Verdict {
        kUnknown,  // not followed or not known: the caller reads
        kSame,     // holds exactly this text: nothing to write
        kWrite,    // holds another text, or is unsure
    };
    Verdict Compare(int slot, std::string_view text) const;
    // The known text of a slot, null when not known.
    const std::string* Text(int slot) const;

    // The client's own write and read of a slot, as frame seq. False when the
    // slot is followed but the mirror is full (nothing stored).
    bool Wrote(int slot, std::string_view text, uint64_t seq);
    bool Read(int slot, std::string_view text, uint64_t seq);
    // A change announced by the Infodriver, applied in arrival order. False
    // as for Wrote.
    bool Changed(int slot, std::string_view text);
    // Every frame up to seq is settled (see above).
    void Settle(uint64_t seq);

    // Forgets every entry (a new link); the followed ranges stay.
    void Clear() { entries_.clear(); }
    size_t Size() const { return entries_.size(); }

private:
    struct Entry {
        std::string text;
        uint64_t wroteSeq = 0;  // the client's last write
        uint64_t readSeq = 0;   // the client's last read
        bool unsure = false;
    };
    struct Range {
        int first;
        int last;
    };
    // The entry of a followed slot, created when missing and there is room;
    // null otherwise.
    Entry* Slot(int slot);

    size_t capacity_;
    std::vector<Range> ranges_;
    std::unordered_map<int, Entry> entries_;
    uint64_t settled_ = 0;
};

}  // namespace vorn
