#include "support/fake_ports.h"

#include <algorithm>
#include <cstring>

#include "core/seam.h"
#include "support/fake_seam.h"

namespace vorn::test {

namespace {

// Frame length by type byte; 0 for bytes that start no frame.
size_t FrameLength(uint8_t type) {
    switch (type) {
        case 130: return 3;
        case 131: return 4;
        case 132: return 5;
        case 140: return 13;
        case 142: return 15;
        default: return 0;
    }
}

void RunPosted() {
    if (!HasSeam()) return;
    if (auto* fake = dynamic_cast<FakeSeam*>(&GetSeam())) fake->RunPosted();
}

}  // namespace

void AppendFrames(std::vector<Bytes>& frames, const uint8_t* data, int length) {
    size_t at = 0;
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    while (at < size) {
        size_t n = FrameLength(data[at]);
        if (n == 0 || at + n > size) n = 1;
        frames.emplace_back(data + at, data + at + n);
        at += n;
    }
}

const std::vector<Bytes>& Frames(const FakeNetPort& p) {
    RunPosted();
    return p.sent;
}

const std::vector<Bytes>& Frames(const FakeSerialPort& p) {
    RunPosted();
    return p.written;
}

void ClearFrames(FakeNetPort& p) {
    RunPosted();
    p.sent.clear();
}

void ClearFrames(FakeSerialPort& p) {
    RunPosted();
    p.written.clear();
}

int FakeNetPort::Connect(const char* h, int port) {
    host = h ? h : "";
    lastPort = port;
    ++connects;
    if (sock != kNoSocket) Close();
    if (connectResult == 0) {
        sock = 1000 + connects;  // any value other than "no socket"
        event = 0;
        error = 0;
    }
    return connectResult;
}

int FakeNetPort::SetNotify(Callback cb, int events) {
    if (sock == kNoSocket) return 0;
    eventMask = events | 48;
    callback = cb;
    return 1;
}

int FakeNetPort::Send(const void* data, int len) {
    if (sock == kNoSocket) return -1;
    AppendFrames(sent, static_cast<const uint8_t*>(data), len);
    return len;
}

int FakeNetPort::Receive(void* buffer, int size) {
    if (sock == kNoSocket) return -1;
    int n = std::min<int>(size, static_cast<int>(incoming.size()));
    auto* out = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < n; ++i) {
        out[i] = incoming.front();
        incoming.pop_front();
    }
    error = 0;
    return n;
}

void FakeNetPort::Close() {
    ++closes;
    if (sock == kNoSocket) return;
    sock = kNoSocket;
    if (error == 0 && event != kFdClose) {
        event = kFdClose;
        error = 0;
        if (callback) callback(this);
    }
}

void FakeNetPort::Raise(int eventCode, int errorCode) {
    event = eventCode;
    error = errorCode;
    if (callback) callback(this);
    if ((eventCode & kFdClose) || ((eventCode & kFdConnect) && errorCode != 0)) {
        sock = kNoSocket;  // the port closes itself without a second callback
    }
}

int FakeSerialPort::Open(int port) {
    ++opens;
    if (isOpen != 0) Close();
    comPort = port;
    if (openResult < 0) return openResult;
    isOpen = 1;
    moved = false;  // opened on whatever the name gives now
    return 1;
}

void FakeSerialPort::Close() {
    ++closes;
    comPort = 0;
    isOpen = 0;
}

int FakeSerialPort::Write(const void* data, int length) {
    if (!isOpen) return -1;
    AppendFrames(written, static_cast<const uint8_t*>(data), length);
    return length;
}

LinkRead FakeSerialPort::Read(void* buffer, int length, int* got, int* error) {
    *got = 0;
    *error = 0;
    if (!isOpen) {
        *error = 9;  // EBADF
        return LinkRead::kError;
    }
    if (readError != 0) {
        *error = readError;
        readError = 0;
        return LinkRead::kClosed;
    }
    int n = std::min<int>(length, static_cast<int>(incoming.size()));
    auto* out = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < n; ++i) {
        out[i] = incoming.front();
        incoming.pop_front();
    }
    *got = n;
    return n > 0 ? LinkRead::kData : LinkRead::kNothing;
}

uint32_t FakeSerialPort::TakeLineErrors() {
    uint32_t flags = errorFlags;
    errorFlags = 0;
    return flags;
}

}  // namespace vorn::test
