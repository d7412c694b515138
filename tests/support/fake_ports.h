#pragma once
// Transport stand-ins for fast logic tests: they capture every frame written
// and let a test play the port's side of connect, read and close events.
// Integration tests use the real NetPort/SerialPort against loopback sockets
// and pseudo-terminals instead.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "transport/net_port.h"
#include "transport/serial_panel_link.h"
#include "transport/serial_port.h"
#include "transport/tcp_panel_link.h"

namespace vorn::test {

using Bytes = std::vector<uint8_t>;

class FakeNetPort : public NetPort {
public:
    // The fake's socket numbers are not descriptors: keep the real port's
    // destructor from closing whatever descriptor has that number.
    ~FakeNetPort() override { sock = kNoSocket; }
    int Connect(const char* host, int port) override;
    int SetNotify(Callback cb, int events) override;
    int Send(const void* data, int len) override;
    int Receive(void* buffer, int size) override;
    void Close() override;
    bool IsConnected() const override { return sock != kNoSocket; }

    // Plays an event to the callback as the port would: event code and error.
    void Raise(int eventCode, int errorCode = 0);
    // Queues bytes for the next Receive calls (at most `size` per call).
    void Feed(const Bytes& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }

    int connectResult = 0;          // what Connect returns
    int connects = 0;
    int closes = 0;
    int lastPort = 0;
    // Every frame given to Send (a write of several frames, as the link's
    // output makes them, is cut into its frames).
    std::vector<Bytes> sent;
    std::deque<uint8_t> incoming;
};

class FakeSerialPort : public SerialPort {
public:
    int Open(int port) override;
    void Close() override;
    int Write(const void* data, int length) override;
    LinkRead Read(void* buffer, int length, int* got, int* error) override;
    uint32_t TakeLineErrors() override;
    double LineBytesPerSecond() const override { return bytesPerSecond; }
    bool HoldsDeviceOf(int port) const override { return isOpen != 0 && port == comPort && !moved; }

    void Feed(const Bytes& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
    // Plays the port's side: data waiting, or the line hung up.
    void Notify() { Raise(SerialEvent::kDataWaiting, 0); }
    void HangUp(int error = 5 /* EIO */) { Raise(SerialEvent::kHungUp, error); }

    int openResult = 1;
    int opens = 0;
    int closes = 0;
    uint32_t errorFlags = 0;        // what TakeLineErrors reports next
    int readError = 0;              // non-zero: the next Read fails with it (kClosed)
    double bytesPerSecond = 0;      // pacing rate the link sees; 0 not paced
    bool moved = false;             // the COM link names another device now
    std::vector<Bytes> written;     // every frame written (cut as `sent` is)
    std::deque<uint8_t> incoming;
};

// Appends the frames of one write to `frames`: each starts with a type byte
// (130 and above) and has the length of its type; bytes that start no known
// frame are kept as one-byte entries.
void AppendFrames(std::vector<Bytes>& frames, const uint8_t* data, int length);

// All frames captured by a port, in order, once the link's output has gone:
// the posted calls of the installed FakeSeam run first.
const std::vector<Bytes>& Frames(const FakeNetPort& p);
const std::vector<Bytes>& Frames(const FakeSerialPort& p);
// Forgets the frames captured so far, the link's pending output included.
void ClearFrames(FakeNetPort& p);
void ClearFrames(FakeSerialPort& p);

}  // namespace vorn::test
