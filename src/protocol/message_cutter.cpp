#include "protocol/message_cutter.h"

#include <algorithm>
#include <cstdio>

#include "protocol/panel_frames.h"

namespace vorn {

void RxCarry::Assign(std::span<const uint8_t> bytes) {
    size_ = std::min(bytes.size(), kMaxBytes);
    std::copy_n(bytes.begin(), size_, bytes_.begin());
}

bool RxCarry::operator==(const RxCarry& other) const {
    return size_ == other.size_ && std::equal(bytes_.begin(), bytes_.begin() + size_, other.bytes_.begin());
}

namespace {

constexpr std::size_t kAliveLength = 3;
constexpr std::size_t kButtonLength = 4;

// carry followed by block, read without copying the block. Every access is
// checked against Size() by the caller before it is made.
class JoinedStream {
public:
    JoinedStream(std::span<const uint8_t> head, std::span<const uint8_t> tail) : head_(head), tail_(tail) {}

    std::size_t Size() const { return head_.size() + tail_.size(); }
    uint8_t At(std::size_t i) const { return i < head_.size() ? head_[i] : tail_[i - head_.size()]; }

    // Copies [from, Size()) into carry; the caller guarantees at most
    // RxCarry::kMaxBytes bytes.
    void TailInto(std::size_t from, RxCarry& carry) const {
        std::array<uint8_t, RxCarry::kMaxBytes> buf{};
        std::size_t n = 0;
        for (std::size_t i = from; i < Size() && n < buf.size(); ++i) buf[n++] = At(i);
        carry.Assign({buf.data(), n});
    }

private:
    std::span<const uint8_t> head_;
    std::span<const uint8_t> tail_;
};

void AddLog(std::vector<RxItem>& items, const char* format, int panel) {
    // The longest line is about 70 characters with a ten-digit number.
    char line[128];
    std::snprintf(line, sizeof line, format, panel);
    RxItem item;
    item.kind = RxItemKind::Log;
    item.text = line;
    items.push_back(std::move(item));
}

void AddMessage(std::vector<RxItem>& items, RxItemKind kind, uint8_t action, uint8_t number) {
    RxItem item;
    item.kind = kind;
    item.action = action;
    item.number = number;
    items.push_back(std::move(item));
}

}  // namespace

CutResult CutPanelMessages(const RxCarry& carry, std::span<const uint8_t> block, int commsId, int panel,
                           bool keepTail) {
    CutResult result;
    const JoinedStream s(carry.Bytes(), block);
    const std::size_t size = s.Size();

    // Each turn advances pos by 1, 3 or 4 or ends the loop, so it ends after
    // at most size turns.
    std::size_t pos = 0;
    while (pos < size) {
        const uint8_t type = s.At(pos);
        const std::size_t remaining = size - pos;

        if (type == MSG_PANEL) {
            if (remaining < kAliveLength) {
                if (keepTail) {
                    s.TailInto(pos, result.carry);
                    break;
                }
                AddLog(result.items, "ERROR short alive message from panel %d ", panel);
                pos += 1;
                continue;
            }
            if (s.At(pos + 1) != commsId) {
                AddLog(result.items, "Warning-  unrecognised panel id / alive message from panel %d ", panel);
                pos += 1;
                continue;
            }
            AddMessage(result.items, RxItemKind::Alive, s.At(pos + 2), 0);
            pos += kAliveLength;
            continue;
        }

        if (type == MSG_BUTTON) {
            if (remaining < kButtonLength) {
                if (keepTail) {
                    s.TailInto(pos, result.carry);
                    break;
                }
                AddLog(result.items, "ERROR short button message from panel %d ", panel);
                pos += 1;
                continue;
            }
            const int address = s.At(pos + 1);
            const uint8_t action = s.At(pos + 2);
            const uint8_t number = s.At(pos + 3);
            if (address == commsId) {
                if (action == ACTION_PRESS || action == ACTION_RELEASE || action == ACTION_RELEASE5) {
                    AddMessage(result.items, RxItemKind::Button, action, number);
                    pos += kButtonLength;
                } else {
                    AddLog(result.items, "Warning-  unrecognised button action message from panel %d ", panel);
                    pos += 1;
                }
            } else if (address - kJoystickAddressOffset == commsId) {  // no CommsId can overflow this
                if (action == ACTION_PRESS || action == ACTION_RELEASE5) {
                    AddMessage(result.items, RxItemKind::Joystick, action, number);
                    pos += kButtonLength;
                } else {
                    AddLog(result.items, "Warning-  unrecognised joystick action message from panel %d ", panel);
                    pos += 1;
                }
            } else {
                AddLog(result.items, "Warning-  unrecognised message type from panel %d ", panel);
                pos += 1;
            }
            continue;
        }

        pos += 1;  // not a message start: skipped silently
    }
    return result;
}

}  // namespace vorn
