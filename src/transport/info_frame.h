#pragma once
// Frames of the Infodriver link (Unix stream socket per device).
//
// Wire form: a 4-byte little-endian payload length, then the payload:
//   u32 message   XOV_* number
//   u32 id        request id, non-zero for a call that expects a reply, 0 for one-way
//   u32 flags     bit 0: this frame is the reply to request `id`
//   i32 wParam
//   i32 lParam
//   text          the rest of the payload (no terminator)
// All integers little-endian. A payload above kInfoFrameMaxPayload, or below
// the fixed 20 bytes, is a protocol error: the receiver drops the connection.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn {

enum InfoMessage : uint32_t {
    XOV_DEVFIND = 49154,
    XOV_DEVATTACHED = 49153,
    XOV_DEVQUERY = 2031,
    XOV_DEVSTATE = 2032,
    XOV_DATA = 2074,
    XOV_INFODISCONNECTED = 2175,
    XOV_REQDEVGORXONLY = 2179,
    XOV_REQDEVGOTXRX = 2180,
    XOV_INQDEVGOTXRX = 2181,
    XOV_DEVICEIDINUSE = 2190,
    XOV_DEVCLOSE = 2725,
    XOV_SLOTWRITE = 2726,
    XOV_SLOTREAD = 2727,
    XOV_SLOTCHANGED = 2728,
    XOV_INFOWINDOW = 2729,
    XOV_INFOTEXT = 2730,
    XOV_SLOTWRITENEG = 2731,
    XOV_GETMODE = 2732,
    XOV_SETMODE = 2733,
    // Link additions for operators' tools: list of driver clients and modes.
    XOV_LISTCLIENTS = 3001,
};

// True for the message numbers above.
bool IsKnownInfoMessage(uint32_t message);

constexpr uint32_t kInfoFlagReply = 1;
constexpr size_t kInfoFrameFixed = 20;
constexpr size_t kInfoFrameMaxPayload = 16384;

struct InfoFrame {
    uint32_t message = 0;
    uint32_t id = 0;
    uint32_t flags = 0;
    int32_t wParam = 0;
    int32_t lParam = 0;
    std::string text;

    bool IsReply() const { return (flags & kInfoFlagReply) != 0; }
};

// Length prefix and payload of a frame. The text is cut so that the payload
// stays within kInfoFrameMaxPayload.
std::string EncodeInfoFrame(const InfoFrame& frame);

// Collects received bytes and cuts them into frames. Holds at most one frame
// in progress plus what one read brings; a bad length makes it fail for good
// (the owner drops the connection).
class InfoFrameReader {
public:
    enum class Result { kFrame, kNeedMore, kError };

    void Append(const char* data, size_t size);
    // Takes the next complete frame from the buffer.
    Result Next(InfoFrame& out);
    bool Failed() const { return failed_; }
    size_t Buffered() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    size_t start_ = 0;
    bool failed_ = false;
};

// Directory of the link sockets: $VORN_INFODRIVER_DIR, else
// $XDG_RUNTIME_DIR/vorn, else /tmp/vorn-<uid>.
std::string InfoSocketDirectory();
// "<dir>/infodriver-<device>.sock".
std::string InfoSocketPath(int device);

}  // namespace vorn
