#include "transport/info_frame.h"

#include <unistd.h>

#include <cstdlib>

namespace vorn {

namespace {

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
    return v;
}

}  // namespace

bool IsKnownInfoMessage(uint32_t m) {
    switch (m) {
        case XOV_DEVFIND: case XOV_DEVATTACHED: case XOV_DEVQUERY: case XOV_DEVSTATE:
        case XOV_DATA: case XOV_INFODISCONNECTED: case XOV_REQDEVGORXONLY:
        case XOV_REQDEVGOTXRX: case XOV_INQDEVGOTXRX: case XOV_DEVICEIDINUSE:
        case XOV_DEVCLOSE: case XOV_SLOTWRITE: case XOV_SLOTREAD: case XOV_SLOTCHANGED:
        case XOV_INFOWINDOW: case XOV_INFOTEXT: case XOV_SLOTWRITENEG: case XOV_GETMODE:
        case XOV_SETMODE: case XOV_LISTCLIENTS:
            return true;
        default:
            return false;
    }
}

std::string EncodeInfoFrame(const InfoFrame& frame) {
    size_t textSize = frame.text.size();
    if (textSize > kInfoFrameMaxPayload - kInfoFrameFixed) textSize = kInfoFrameMaxPayload - kInfoFrameFixed;
    std::string out;
    out.reserve(4 + kInfoFrameFixed + textSize);
    PutU32(out, static_cast<uint32_t>(kInfoFrameFixed + textSize));
    PutU32(out, frame.message);
    PutU32(out, frame.id);
    PutU32(out, frame.flags);
    PutU32(out, static_cast<uint32_t>(frame.wParam));
    PutU32(out, static_cast<uint32_t>(frame.lParam));
    out.append(frame.text, 0, textSize);
    return out;
}

void InfoFrameReader::Append(const char* data, size_t size) {
    if (failed_) return;
    // Drop consumed bytes before growing, so the buffer stays near one frame.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > kInfoFrameMaxPayload) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, size);
}

InfoFrameReader::Result InfoFrameReader::Next(InfoFrame& out) {
    if (failed_) return Result::kError;
    size_t avail = buffer_.size() - start_;
    if (avail < 4) return Result::kNeedMore;
    const char* p = buffer_.data() + start_;
    uint32_t length = GetU32(p);
    if (length < kInfoFrameFixed || length > kInfoFrameMaxPayload) {
        failed_ = true;
        return Result::kError;
    }
    if (avail < 4 + static_cast<size_t>(length)) return Result::kNeedMore;
    p += 4;
    out.message = GetU32(p);
    out.id = GetU32(p + 4);
    out.flags = GetU32(p + 8);
    out.wParam = static_cast<int32_t>(GetU32(p + 12));
    out.lParam = static_cast<int32_t>(GetU32(p + 16));
    out.text.assign(p + kInfoFrameFixed, length - kInfoFrameFixed);
    start_ += 4 + length;
    return Result::kFrame;
}

std::string InfoSocketDirectory() {
    if (const char* dir = std::getenv("VORN_INFODRIVER_DIR"); dir != nullptr && *dir != '\0') return dir;
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run != nullptr && *run != '\0') {
        return std::string(run) + "/vorn";
    }
    return "/tmp/vorn-" + std::to_string(getuid());
}

std::string InfoSocketPath(int device) {
    return InfoSocketDirectory() + "/infodriver-" + std::to_string(device) + ".sock";
}

}  // namespace vorn
