#include "transport/serial_port.h"

#include "transport/serial_library.h"

namespace vorn {

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    // Non-virtual on purpose: a derived object is already gone here, and the
    // library port (if any) must be released before this object is.
    SerialPort::Close();
}

int SerialPort::Open(int port) {
    if (comPort > 0) Close();
    comPort = port;
    index = PortOpen(this, baud, byteSize, stopBits, parity);
    if (index < 0) return index;
    // No notification target and read size 0 until SetNotifyWindow: data
    // then stays in the ring buffer and the device's queue is discarded.
    PortSetReadSize(index, -1);
    PortSetReadSize(index, 0);
    isOpen = 1;
    return 1;
}

void SerialPort::Close() {
    // Only a port this object opened is closed (a derived test double may
    // carry an index of a port it never opened).
    if (isOpen != 0 && index >= 0 && PortOwner(index) == this) PortClose(index);
    index = -1;
    comPort = 0;
    isOpen = 0;
}

void SerialPort::Write(const void* data, int length) {
    if (isOpen == 0) return;
    PortWrite(index, data, length);  // outcome logged by the library, not used here
}

int SerialPort::Read(void* buffer, int length) {
    if (isOpen == 0) return 0;
    return PortRead(index, buffer, length);
}

int SerialPort::SetNotifyWindow(SerialNotifyFn window, int readSize) {
    if (isOpen == 0 || window == nullptr) return 0;
    return PortSetWindow(index, window, readSize);
}

void SerialPort::GetStatus(ComStat* status, uint32_t* errors) {
    if (status == nullptr || errors == nullptr) return;
    PortGetStatus(index, status, errors);
}

namespace {

// Stores a setter's value; an open port is closed and opened again on the
// same COM port (it comes back without a notification target).
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
