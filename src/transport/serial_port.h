#pragma once
// Serial port of one panel on top of the port library (serial_library.h):
// termios on a non-blocking device, one reader thread per open port filling a
// 16 KiB ring buffer, and a thinned data notification posted to the GUI
// thread through the seam.

#include <cstdint>

namespace vorn {

class SerialPort;

// The notification target ("window") of an open port: called on the GUI
// thread with the port that has data waiting.
using SerialNotifyFn = void (*)(SerialPort* port);

// Queue status as the driver reads it; cbInQue is the ring buffer's count.
struct ComStat {
    uint32_t cbInQue = 0;
    uint32_t cbOutQue = 0;
};

// Line error flags reported by GetStatus.
enum SerialError : uint32_t {
    kCeRxOver = 1,
    kCeOverrun = 2,
    kCeRxParity = 4,
    kCeFrame = 8,
    kCeBreak = 16,
    kCeTxFull = 256,
    kCeIoError = 1024,
};

class SerialPort {
public:
    SerialPort();
    virtual ~SerialPort();   // closes the port
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 opened; -1 no such port / cannot open / cannot set up; -2 in use.
    virtual int Open(int comPort);
    virtual void Close();
    virtual void Write(const void* data, int length);
    virtual int Read(void* buffer, int length);
    // 1 set, 0 port closed or no target.
    virtual int SetNotifyWindow(SerialNotifyFn window, int readSize);
    virtual void GetStatus(ComStat* status, uint32_t* errors);
    virtual int GetPort() const { return comPort; }

    // Store the value; an open port is closed and opened again (without a
    // notification target).
    void SetBaud(int value);
    void SetByteSize(int value);
    void SetParity(int value);
    void SetStopBits(int value);

    int index = -1;
    int comPort = 0;
    int baud = 9600;
    int byteSize = 8;
    int parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;  // 0 one, 1 one and a half, 2 two
    int isOpen = 0;
};

}  // namespace vorn
