#pragma once
// The listening Unix socket of one device, "<dir>/infodriver-<device>.sock",
// owner-only (directory 0700, socket 0600). A socket file nobody accepts on
// is replaced; a live one means another Infodriver serves the device.
// Removal takes only the file this object bound, not one that replaced it.

#include <sys/types.h>

#include <string>

#include "info_client.h"

namespace vorn {

class DeviceSocket {
public:
    DeviceSocket() = default;
    ~DeviceSocket() { Close(); }
    DeviceSocket(const DeviceSocket&) = delete;
    DeviceSocket& operator=(const DeviceSocket&) = delete;

    // Creates `dir` (and missing parents) owner-only; false with the reason.
    static bool EnsurePrivateDirectory(const std::string& dir, std::string* error);

    // Binds and listens (non-blocking). False with the reason in `error`
    // (e.g. "device 7 already served") and nothing left bound.
    bool Bind(const std::string& dir, int device, const ServerLog& log, std::string* error);
    // Stops listening; the socket file stays.
    void Close();
    // Closes and removes the socket file if it is still the one bound here.
    void Remove();

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
    bool bound_ = false;
    dev_t dev_ = 0;  // identity of the socket file bound here
    ino_t ino_ = 0;
};

}  // namespace vorn
