#pragma once
// Serial port of one panel, on the GUI thread's event loop: termios on a
// non-blocking device (serial_device.h) whose descriptor is watched through
// the seam like a TCP port's. No thread: when the device is readable the
// owner's handler is told (kDataWaiting) and reads what waits with Read; a
// hang-up or a device that has gone is told as kHungUp, after which the port
// stops watching until it is closed and opened again.
//
// Threading: GUI thread only.

#include <cstdint>
#include <functional>
#include <memory>

#include "transport/panel_link.h"
#include "transport/serial_device.h"

namespace vorn {

// Line error flags, as TakeLineErrors reports them.
enum SerialError : uint32_t {
    kCeRxOver = 1,
    kCeOverrun = 2,
    kCeRxParity = 4,
    kCeFrame = 8,
    kCeBreak = 16,
    kCeTxFull = 256,
    kCeIoError = 1024,
};

enum class SerialEvent : uint8_t { kDataWaiting, kHungUp };

class SerialPort {
public:
    // error: the errno value of a hang-up (EIO when the device gave none).
    using Handler = std::function<void(SerialEvent event, int error)>;

    SerialPort();
    virtual ~SerialPort();  // closes the port
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 opened; -1 no such port, cannot open or set up; -2 in use (these
    // numbers appear in the driver's log). An open port is closed first. The
    // handler is kept.
    virtual int Open(int comPort);
    virtual void Close();
    // Writes what the device takes now, without waiting: the bytes taken
    // (0 when it takes none now), or -1 when the device failed (logged) or
    // the port is closed.
    virtual int Write(const void* data, int length);
    // One non-blocking read of at most length bytes (see ReadSerialDevice).
    virtual LinkRead Read(void* buffer, int length, int* got, int* error);
    // Line error flags (kCeRxOver .. kCeBreak) for every kernel error counter
    // that grew since the previous call; 0 for devices without counters.
    virtual uint32_t TakeLineErrors();
    int GetPort() const { return comPort; }
    // The open device's descriptor (for a writable watch), -1 when closed.
    virtual int Descriptor() const { return fd_; }
    // True while the port is open on the device that COM port `port` names
    // now (ComDevicePath); false once that name is gone or names another
    // device (a COM link moved to another adapter).
    virtual bool HoldsDeviceOf(int port) const;
    // Characters per second the line carries with its settings: the speed
    // over start bit, data bits, parity bit and stop bits. 0: not paced.
    virtual double LineBytesPerSecond() const;

    void SetHandler(Handler handler);

    // Store the value; an open port is closed and opened again (it keeps
    // its handler).
    void SetBaud(int value);
    void SetByteSize(int value);
    void SetParity(int value);
    void SetStopBits(int value);

    int comPort = 0;
    int baud = 9600;
    int byteSize = 8;
    int parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;  // 0 one, 1 one and a half, 2 two
    int isOpen = 0;

protected:
    // Tells the handler (test doubles raise their own events with it).
    void Raise(SerialEvent event, int error);

private:
    void OnReadable();
    void StartWatch();
    void StopWatch();

    Handler handler_;
    int fd_ = -1;
    int watchId_ = 0;
    bool watchPaused_ = false;
    unsigned reads_ = 0;  // Read calls, to see whether a handler read at all
    SerialDeviceId held_;  // the device opened
    SerialLineCounters counters_;
    bool haveCounters_ = false;
    // Cleared by the destructor: a watch callback whose handler destroyed
    // the port does not touch it afterwards.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Identification text of the serial code, kept in its data.
const char* SerialLibrarySignature();

}  // namespace vorn
