#pragma once
// A non-blocking connection to the Infodriver link for the bench programs:
// frames out through a buffer that drains as the socket takes it, frames in
// through the project's codec. The owner runs the poll loop: it asks
// WantsWrite() for POLLOUT, calls Flush() on POLLOUT and ReadSome() on
// POLLIN. Nothing here waits, except Find() during set-up.

#include <cstdint>
#include <string>
#include <vector>

#include "transport/info_frame.h"

namespace vorn::bench {

class LinkConnection {
public:
    LinkConnection() = default;
    ~LinkConnection();
    LinkConnection(const LinkConnection&) = delete;
    LinkConnection& operator=(const LinkConnection&) = delete;

    // Connects to the socket at path; the descriptor is non-blocking after.
    bool Connect(const std::string& path, std::string* error);
    // XOV_DEVFIND for device, waiting up to timeoutMs for its reply. Frames
    // that arrive meanwhile (XOV_INFOWINDOW first) are dropped.
    bool Find(int device, int timeoutMs, std::string* error);

    int fd() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }

    // Queues one frame and writes what the socket takes at once. False when
    // the connection is broken.
    bool Send(const InfoFrame& frame);
    // A request; returns its id (never 0), 0 when the connection is broken.
    uint32_t Request(uint32_t message, int32_t wParam, int32_t lParam = 0, const std::string& text = {});
    // The reply to a request from the other side.
    bool Reply(const InfoFrame& request, int32_t result);
    bool WriteSlot(int slot, const std::string& text);
    // Queues frames encoded beforehand (EncodeInfoFrame) and writes what the
    // socket takes at once.
    bool SendEncoded(const std::string& bytes);

    bool WantsWrite() const { return outStart_ < out_.size(); }
    // Writes queued bytes until the socket is full. False on a broken link.
    bool Flush();
    // Reads what has arrived and appends the complete frames. False on EOF,
    // a read error or a bad frame (the link is then closed).
    bool ReadSome(std::vector<InfoFrame>* frames);

    void Close();

private:
    int fd_ = -1;
    uint32_t nextId_ = 1;
    std::string out_;
    size_t outStart_ = 0;
    InfoFrameReader reader_;
};

}  // namespace vorn::bench
