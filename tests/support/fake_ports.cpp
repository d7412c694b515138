#include "support/fake_ports.h"

#include <algorithm>
#include <cstring>

namespace vorn::test {

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
    const auto* p = static_cast<const uint8_t*>(data);
    sent.emplace_back(p, p + len);
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
    return 1;
}

void FakeSerialPort::Close() {
    ++closes;
    comPort = 0;
    isOpen = 0;
}

int FakeSerialPort::Write(const void* data, int length) {
    if (!isOpen) return -1;
    const auto* p = static_cast<const uint8_t*>(data);
    written.emplace_back(p, p + length);
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
