#include "transport/serial_port.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "core/diagnostics.h"
#include "core/seam.h"

namespace vorn {

namespace {

__attribute__((used)) const char kSerialLibrarySignature[] = "VORN_SIG,name=SIO32,version=4.3";

constexpr int kHighestComPort = 256;

}  // namespace

const char* SerialLibrarySignature() { return kSerialLibrarySignature; }

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    *alive_ = false;
    // Non-virtual on purpose: a derived object is already gone here.
    SerialPort::Close();
}

void SerialPort::SetHandler(Handler handler) { handler_ = std::move(handler); }

void SerialPort::Raise(SerialEvent event, int error) {
    if (handler_) handler_(event, error);
}

int SerialPort::Open(int port) {
    if (isOpen != 0) Close();
    comPort = port;
    if (port < 1 || port > kHighestComPort) {
        DebugMessage("PortOpen - COM%d not opened: port number outside 1..256 ", port);
        return -1;
    }
    SerialLineSettings settings;
    settings.baud = baud;
    settings.byteSize = byteSize;
    settings.parity = parity;
    settings.stopBits = stopBits;
    switch (OpenSerialDevice(port, settings, &fd_)) {
        case SerialOpen::kOpen: break;
        case SerialOpen::kInUse: return -2;
        case SerialOpen::kFailed: return -1;
    }
    isOpen = 1;
    held_ = SerialDeviceIdOfFd(fd_);
    haveCounters_ = ReadSerialLineCounters(fd_, &counters_);
    StartWatch();
    return 1;
}

void SerialPort::Close() {
    StopWatch();
    if (fd_ >= 0) {
        DiscardSerialInput(fd_);
        CloseSerialDevice(fd_);
    }
    fd_ = -1;
    comPort = 0;
    isOpen = 0;
    held_ = {};
    haveCounters_ = false;
}

bool SerialPort::HoldsDeviceOf(int port) const {
    if (isOpen == 0 || fd_ < 0 || !held_.known) return false;
    return SerialDeviceIdOfPath(ComDevicePath(port)) == held_;
}

int SerialPort::Write(const void* data, int length) {
    if (isOpen == 0 || fd_ < 0) return -1;
    if (data == nullptr || length < 0) {
        DebugMessage("PortWrite - COM%d nothing written: bad buffer or length %d ", comPort, length);
        return -1;
    }
    int err = 0;
    const int written = WriteSerialDevice(fd_, data, length, &err);
    if (written < 0) {
        DebugMessage("PortWrite - COM%d write failed (%s) ", comPort, std::strerror(err));
        return -1;
    }
    return written;
}

double SerialPort::LineBytesPerSecond() const {
    if (baud <= 0) return 0;
    // Start bit, data bits, a parity bit unless none, and one, one and a
    // half or two stop bits.
    const double stop = stopBits == 2 ? 2.0 : stopBits == 1 ? 1.5 : 1.0;
    const double bits = 1.0 + byteSize + (parity != 0 ? 1.0 : 0.0) + stop;
    return static_cast<double>(baud) / bits;
}

LinkRead SerialPort::Read(void* buffer, int length, int* got, int* error) {
    ++reads_;
    if (isOpen == 0 || fd_ < 0) {
        *got = 0;
        *error = EBADF;
        return LinkRead::kError;
    }
    LinkRead result = ReadSerialDevice(fd_, buffer, length, got, error);
    if (result == LinkRead::kClosed) {
        StopWatch();  // hung up: the descriptor would stay "ready" for ever
    } else if (watchPaused_) {
        StartWatch();  // the handler reads again after a turn without reading
    }
    return result;
}

uint32_t SerialPort::TakeLineErrors() {
    SerialLineCounters now;
    if (fd_ < 0 || !ReadSerialLineCounters(fd_, &now)) return 0;
    uint32_t flags = haveCounters_ ? SerialErrorFlags(counters_, now) : 0;
    counters_ = now;
    haveCounters_ = true;
    return flags;
}

void SerialPort::StartWatch() {
    StopWatch();
    if (fd_ < 0 || !HasSeam()) return;
    watchId_ = GetSeam().AddWatch(fd_, Seam::Readiness::kRead, [this] { OnReadable(); });
}

void SerialPort::StopWatch() {
    if (watchId_ != 0 && HasSeam()) GetSeam().RemoveWatch(watchId_);
    watchId_ = 0;
    watchPaused_ = false;
}

// Watch callback. The watch is level-triggered: it fires again on the next
// loop turn while bytes wait, so the handler may read in bounded chunks.
void SerialPort::OnReadable() {
    if (fd_ < 0) return;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return;  // nothing after all
    if ((p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // Gone without data: stop watching (a hung-up descriptor stays
        // "ready" for ever) and tell the owner, who closes the port.
        StopWatch();
        Raise(SerialEvent::kHungUp, (p.revents & POLLNVAL) != 0 ? EBADF : EIO);
        return;
    }
    if (!handler_) {
        DiscardSerialInput(fd_);  // nobody takes the data
        return;
    }
    std::shared_ptr<bool> alive = alive_;
    const unsigned readsBefore = reads_;
    Raise(SerialEvent::kDataWaiting, 0);
    if (!*alive || fd_ < 0) return;
    if (reads_ == readsBefore && watchId_ != 0) {
        // The handler did not read (it was busy further up the stack): pause
        // until the next loop turn instead of firing again at once.
        StopWatch();
        watchPaused_ = true;
        GetSeam().Post([this, alive] {
            if (*alive && watchPaused_ && fd_ >= 0) StartWatch();
        });
    }
}

namespace {

// Stores a setter's value; an open port is closed and opened again on the
// same COM port.
template <typename Store>
void Reconfigure(SerialPort* port, Store store) {
    int keep = port->comPort;
    store();
    if (port->isOpen == 1) {
        port->Close();
        port->Open(keep);
    }
}

}  // namespace

void SerialPort::SetBaud(int value) { Reconfigure(this, [&] { baud = value; }); }
void SerialPort::SetByteSize(int value) { Reconfigure(this, [&] { byteSize = value; }); }
void SerialPort::SetParity(int value) { Reconfigure(this, [&] { parity = value; }); }
void SerialPort::SetStopBits(int value) { Reconfigure(this, [&] { stopBits = value; }); }

}  // namespace vorn
