#pragma once
// The few operating-system calls behind the serial port library: finding the
// device of a COM port, opening it exclusively, setting the line, writing with
// a time-out, discarding input and reading the line error counters.
//
// Threading: OpenSerialDevice logs through DebugMessage and therefore runs on
// the GUI thread only. The other functions log nothing.

#include <cstdint>
#include <string>

#include "transport/panel_link.h"

namespace vorn {

enum class SerialOpen : uint8_t {
    kOpen,
    kFailed,  // no such device, cannot open, bad settings
    kInUse,   // held by another process or another open
};

// Line parameters in the codes SerialPort uses.
struct SerialLineSettings {
    int baud = 9600;    // bits per second, must be > 0
    int byteSize = 8;   // 5..8
    int parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;   // 0 one, 1 one and a half (5 data bits only), 2 two
};

// Device of COM port n. While a COM link directory is in use (VORN_COM_DIR
// set, or else /dev/vorn a directory) it is always <dir>/COM<n>: a missing
// link means the port is not there, never some other device. Without one it
// is /dev/ttyS<n-1>.
std::string ComDevicePath(int comPort);

// Which device a path or an open descriptor is: the device number of a
// character device (every node and link of one device agree), else the
// file's own identity. `known` is false when there was nothing to look at.
struct SerialDeviceId {
    bool known = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const SerialDeviceId&) const = default;
};
SerialDeviceId SerialDeviceIdOfPath(const std::string& path);
SerialDeviceId SerialDeviceIdOfFd(int fd);

// Checks the settings without touching any device. Returns "" when they are
// usable, else a short reason for the log.
std::string CheckLineSettings(const SerialLineSettings& settings);

// Opens COM port `comPort` non-blocking, takes it exclusively, switches it to raw mode without flow control (software and
// hardware: panels use three-wire cables) and sets speed, data bits, parity
// and stop bits; the other settings stay as the device had them. On
// success stores the descriptor in *fd and returns kOpen. Otherwise returns
// kFailed or kInUse after one log line naming the cause (the line starts
// with "PortOpen - COM<n>"), and leaves nothing open. GUI thread only (it
// logs).
//
// Exclusive: an flock, which the kernel drops with the last descriptor of
// the holder, however it ended (a driver killed by SIGKILL included), and
// TIOCEXCL on real lines only. TIOCEXCL belongs to the terminal, not to the
// holder: on a real line it ends with the last close, but a pseudo-terminal's
// slave lives on while its master is open, so a flag left there by a killed
// driver would keep every later unprivileged opener out.
SerialOpen OpenSerialDevice(int comPort, const SerialLineSettings& settings, int* fd);

// Releases the exclusive hold and closes the descriptor. fd < 0: nothing.
void CloseSerialDevice(int fd);

// Discards what the device has received and not yet been read.
void DiscardSerialInput(int fd);

// Writes what the device takes of `count` bytes now, without waiting.
// Returns the bytes written (0 when it takes none now), or -1 with *err set
// when the device failed before taking any.
int WriteSerialDevice(int fd, const void* data, int count, int* err);

// The kernel's cumulative line error counters of a device.
struct SerialLineCounters {
    uint32_t frame = 0;
    uint32_t overrun = 0;
    uint32_t parity = 0;
    uint32_t brk = 0;
    uint32_t bufOverrun = 0;
};

// Reads the counters; false for devices without them (pseudo-terminals).
bool ReadSerialLineCounters(int fd, SerialLineCounters* counters);

// Error flags (kCeRxOver 1, kCeOverrun 2, kCeRxParity 4, kCeFrame 8,
// kCeBreak 16) for every counter that grew from `before` to `now`.
uint32_t SerialErrorFlags(const SerialLineCounters& before, const SerialLineCounters& now);

// Reads what the device has, at most size bytes, without waiting.
// kData with *got > 0; kNothing when nothing waits; kClosed when the line is
// gone (end of input, hang-up, the device removed), kError for any other
// failure, both with *err.
LinkRead ReadSerialDevice(int fd, void* buffer, int size, int* got, int* err);

// The places where an errno value becomes a result of this library: for an
// open, a held device (EBUSY, EWOULDBLOCK) gives kInUse, anything else
// kFailed; for a read, see ReadSerialDevice.
SerialOpen SerialOpenFromErrno(int err);
LinkRead SerialReadFromErrno(int err);

// Sets a speed that has no standard constant through the kernel's custom-rate
// interface (termios2 with BOTHER). Returns 0, or the errno of the failure.
// Lives in its own file: the kernel's termbits header clashes with termios.h.
int SetCustomSerialSpeed(int fd, int baud);

}  // namespace vorn
