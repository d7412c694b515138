#include "transport/serial_panel_link.h"

#include <cerrno>
#include <cmath>

#include "core/seam.h"

namespace vorn {

SerialPanelLink::SerialPanelLink(int comPort, std::unique_ptr<SerialPort> port)
    : comPort_(comPort), port_(port ? std::move(port) : std::make_unique<SerialPort>()) {
    port_->SetHandler([this](SerialEvent event, int error) {
        Raise(event == SerialEvent::kDataWaiting ? LinkEvent::kDataWaiting : LinkEvent::kClosed, error);
    });
}

SerialPanelLink::~SerialPanelLink() {
    ResetOutput();  // before the device goes: no watch outlives its descriptor
    port_->SetHandler(nullptr);
}

LinkOpen SerialPanelLink::Open() {
    ResetOutput();
    lineFreeAt_ = {};
    switch (port_->Open(comPort_)) {
        case 1: return LinkOpen::kOpen;
        case -2: return LinkOpen::kInUse;
        default: return LinkOpen::kFailed;
    }
}

void SerialPanelLink::Close() {
    ResetOutput();
    port_->Close();
}

long SerialPanelLink::LineWrite(const uint8_t* data, size_t size, int* error) {
    const int n = port_->Write(data, static_cast<int>(size));
    if (n >= 0) return n;
    *error = EIO;  // the port has logged the cause
    return -1;
}

size_t SerialPanelLink::LineAllowance(std::chrono::milliseconds* wait) {
    using Seconds = std::chrono::duration<double>;
    const double rate = port_->LineBytesPerSecond();
    if (!(rate > 0)) return static_cast<size_t>(-1);
    const auto now = GetSeam().Now();
    const Seconds ahead = lineFreeAt_ > now ? Seconds(lineFreeAt_ - now) : Seconds(0);
    const Seconds resume = Seconds(kAhead) / 2;
    if (ahead > resume) {
        *wait = std::chrono::milliseconds(static_cast<long>(std::ceil((ahead - resume).count() * 1000)));
        return 0;
    }
    // At least one byte, so that a very slow line still moves.
    return static_cast<size_t>(std::max(1.0, std::floor((Seconds(kAhead) - ahead).count() * rate)));
}

void SerialPanelLink::LineTook(size_t n) {
    const double rate = port_->LineBytesPerSecond();
    if (!(rate > 0)) return;
    const auto now = GetSeam().Now();
    const auto carried = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(n) / rate));
    lineFreeAt_ = std::max(lineFreeAt_, now) + carried;
}

}  // namespace vorn
