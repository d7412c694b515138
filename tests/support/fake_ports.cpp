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
    if (comPort > 0) Close();
    comPort = port;
    if (openResult < 0) {
        index = openResult;
        return openResult;
    }
    index = port - 1;
    isOpen = 1;
    notify = nullptr;
    return 1;
}

void FakeSerialPort::Close() {
    ++closes;
    index = -1;
    comPort = 0;
    isOpen = 0;
    notify = nullptr;
}

void FakeSerialPort::Write(const void* data, int length) {
    if (!isOpen) return;
    const auto* p = static_cast<const uint8_t*>(data);
    written.emplace_back(p, p + length);
}

int FakeSerialPort::Read(void* buffer, int length) {
    if (!isOpen) return 0;
    int n = std::min<int>(length, static_cast<int>(incoming.size()));
    auto* out = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < n; ++i) {
        out[i] = incoming.front();
        incoming.pop_front();
    }
    return n;
}

int FakeSerialPort::SetNotifyWindow(SerialNotifyFn window, int size) {
    if (!isOpen || window == nullptr) return 0;
    notify = window;
    readSize = size;
    return 1;
}

void FakeSerialPort::GetStatus(ComStat* status, uint32_t* errors) {
    if (status == nullptr || errors == nullptr) return;
    status->cbInQue = static_cast<uint32_t>(incoming.size());
    status->cbOutQue = 0;
    *errors = errorFlags;
    errorFlags = 0;
}

}  // namespace vorn::test
