#pragma once
// The serial port library: plain functions over a table of 256 port records
// (port index = COM port number - 1). Each open port has one reader thread
// that waits in poll() on the device and on a wake descriptor, reads at most
// the port's read size per read, and puts the bytes into the port's ring
// buffer; the GUI thread is told through a call posted with the seam, thinned
// to one per 100 ms while the previous one is unread, unless more than 8192
// bytes wait.
//
// Threading: every function here is called on the GUI thread. The reader
// threads touch only their own port's state, and PortClose joins the reader
// before the device or ring buffer goes away, so nothing outlives a close.
// The table is allocated by the first PortOpen and freed when the last port
// closes (or by a failed PortOpen that leaves no port open).

#include <chrono>
#include <cstdint>
#include <functional>

#include "transport/serial_port.h"

namespace vorn {

// Returns the port index (0..255), -1 (no such port, cannot open or set up)
// or -2 (in use). The COM port number comes from owner->GetPort(). After a
// good open the port has no notification target and read size 16.
int PortOpen(SerialPort* owner, int baud, int byteSize, int stopBits, int parity);

// Closes one port: wakes and joins its reader, discards the device's input,
// closes the device, frees the ring buffer. Index -1 only frees the table
// when no port is open. Other indexes outside 0..255 do nothing.
void PortClose(int index);

// Notification target and read size; 1 done, 0 bad index or port not open.
int PortSetWindow(int index, SerialNotifyFn window, int readSize);

// Read size (0..16384; larger sizes are cut to 16384) and the inter-byte
// interval 100000 / baud ms (at least 1). A negative size only removes the
// notification target. 1 done, 0 bad index or port not open.
int PortSetReadSize(int index, int readSize);

// Takes up to count bytes from the ring buffer; returns the number taken and
// marks the last notification as read. Bytes lost to a full ring buffer since
// the previous read are logged here.
int PortRead(int index, void* buffer, int count);

// Writes all count bytes with a 1000 ms time-out. Returns the bytes the
// device took (fewer than count after a time-out, which is logged), or -1 on
// a device error, a bad index or a closed port.
int PortWrite(int index, const void* data, int count);

// Line error flags since the last call into *errors, and the queue status
// with cbInQue = unread ring buffer bytes. A port that is not open gives
// zeros; null pointers: nothing.
void PortGetStatus(int index, ComStat* status, uint32_t* errors);

// Identification text kept in the library's data.
const char* SerialLibrarySignature();

// --- Diagnostics and tests ---

// The SerialPort that opened port `index`, null when it is not open.
SerialPort* PortOwner(int index);
// Bytes dropped by a full ring buffer and not yet reported by PortRead.
uint64_t PortLostBytes(int index);
// True while the port table exists.
bool SerialTableExists();

// Clock for the 100 ms notification rule. Takes effect for ports opened
// afterwards (each port keeps a copy, called on its reader thread, so the
// clock must be thread-safe). Null restores the steady clock.
using SerialClock = std::function<std::chrono::steady_clock::time_point()>;
void SetSerialClock(SerialClock clock);

// Closes every open port, frees the table and restores the steady clock.
void ResetSerialLibrary();

}  // namespace vorn
