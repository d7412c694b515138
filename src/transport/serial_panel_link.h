#pragma once
// A panel on a serial line: a PanelLink on a SerialPort. Open opens the line
// at once (no event); readable data is told as kDataWaiting, a hang-up as
// kClosed.
//
// Output is paced at the line's rate (SerialPort::LineBytesPerSecond): the
// kernel's buffer of a serial line holds seconds of output (a pseudo-terminal
// takes about 18 KB before it refuses, and tells nothing of what it holds),
// so the link keeps at most kAhead of output ahead of the line and lets the
// rest wait in its queue, where a newer frame can still replace it. The line
// is taken to carry what it was given at its rate from the moment it was
// given; when more than half of kAhead is ahead, the link waits (a one-shot
// call through the seam) until half is left, then gives up to kAhead again,
// so writes come in pieces of at least half of kAhead. GUI thread only.

#include <chrono>
#include <memory>

#include "transport/panel_link.h"
#include "transport/serial_port.h"

namespace vorn {

class SerialPanelLink : public PanelLink {
public:
    // One read takes at most this much; the link is told again while more
    // waits.
    static constexpr int kBlockSize = 256;
    // Most output handed to the kernel that the line has not carried yet.
    static constexpr std::chrono::milliseconds kAhead{100};

    // port: configured (speed, data bits, parity, stop bits) by the caller;
    // tests pass a stand-in.
    SerialPanelLink(int comPort, std::unique_ptr<SerialPort> port);
    ~SerialPanelLink() override;

    LinkKind Kind() const override { return LinkKind::kSerial; }
    int BlockSize() const override { return kBlockSize; }
    // kOpen, kInUse or kFailed (the cause is logged by the port).
    LinkOpen Open() override;
    void Close() override;
    LinkRead Read(uint8_t* buffer, int size, int* got, int* error) override {
        return port_->Read(buffer, size, got, error);
    }
    uint32_t TakeLineErrors() override { return port_->TakeLineErrors(); }
    int ComPort() const override { return comPort_; }
    bool HoldsDeviceOf(int comPort) const override { return port_->HoldsDeviceOf(comPort); }

    SerialPort& Port() { return *port_; }

protected:
    bool LineUp() const override { return port_->isOpen != 0; }
    long LineWrite(const uint8_t* data, size_t size, int* error) override;
    int LineDescriptor() const override { return port_->Descriptor(); }
    size_t LineAllowance(std::chrono::milliseconds* wait) override;
    void LineTook(size_t n) override;

private:
    int comPort_;
    // When the line will have carried all it was given (pacing).
    std::chrono::steady_clock::time_point lineFreeAt_{};
    std::unique_ptr<SerialPort> port_;
};

}  // namespace vorn
