#pragma once
// A panel on a serial line: a PanelLink on a SerialPort. Open opens the line
// at once (no event); readable data is told as kDataWaiting, a hang-up as
// kClosed. GUI thread only.

#include <memory>

#include "transport/panel_link.h"
#include "transport/serial_port.h"

namespace vorn {

class SerialPanelLink : public PanelLink {
public:
    // One read takes at most this much; the link is told again while more
    // waits.
    static constexpr int kBlockSize = 256;

    // port: configured (speed, data bits, parity, stop bits) by the caller;
    // tests pass a stand-in.
    SerialPanelLink(int comPort, std::unique_ptr<SerialPort> port);
    ~SerialPanelLink() override;

    LinkKind Kind() const override { return LinkKind::kSerial; }
    int BlockSize() const override { return kBlockSize; }
    // kOpen, kInUse or kFailed (the cause is logged by the port).
    LinkOpen Open() override;
    void Close() override { port_->Close(); }
    int Send(const uint8_t* data, int length) override { return port_->Write(data, length); }
    LinkRead Read(uint8_t* buffer, int size, int* got, int* error) override {
        return port_->Read(buffer, size, got, error);
    }
    uint32_t TakeLineErrors() override { return port_->TakeLineErrors(); }
    int ComPort() const override { return comPort_; }

    SerialPort& Port() { return *port_; }

private:
    int comPort_;
    std::unique_ptr<SerialPort> port_;
};

}  // namespace vorn
