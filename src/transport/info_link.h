#pragma once
// The socket under the Infodriver client: one non-blocking Unix stream
// socket with bounded waits. The only file of the client that makes OS
// calls; framing and message handling live in extinfo.cpp.
//
// Threading: GUI thread only (like its owner). Every wait takes a deadline,
// so no call blocks for longer than its caller allows.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vorn {

class InfoLink {
public:
    using Clock = std::chrono::steady_clock;

    InfoLink() = default;
    ~InfoLink();
    InfoLink(const InfoLink&) = delete;
    InfoLink& operator=(const InfoLink&) = delete;

    enum class OpenResult {
        kOk,
        kNoSocket,  // socket() failed: the link cannot be used at all
        kNoServer,  // path too long, missing, refused or the server's backlog is full
    };
    // Connects to the Unix socket at path; *error gets the errno of a failure
    // (ENAMETOOLONG for a path that does not fit). Closes an open socket first.
    OpenResult Open(const std::string& path, int* error);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    enum class WaitResult { kReady, kTimeout };
    // Waits until the socket is readable, hung up or in error, or until the
    // deadline. A closed socket is "ready" at once (the read reports it).
    WaitResult WaitReadable(Clock::time_point deadline);
    // True when the peer has closed or the socket failed (checked without
    // waiting and without reading).
    bool PeerGone() const;

    enum class ReadResult { kData, kNothing, kClosed, kError };
    // One non-blocking read of at most size bytes.
    ReadResult Read(char* buffer, size_t size, size_t* got, int* error);

    enum class SendResult { kOk, kTimeout, kClosed };
    // Writes all of bytes. While the socket buffer is full it waits for room
    // until the deadline; meanwhile, when the socket is readable, it calls
    // onReadable (if given), which takes incoming data so that a peer blocked
    // on writing to us can go on, and returns false when it wants no more
    // calls during this send. kTimeout may leave part of bytes sent: the
    // stream is then unusable and the caller drops it.
    SendResult Send(std::string_view bytes, Clock::time_point deadline,
                    const std::function<bool()>& onReadable, int* error);

private:
    int fd_ = -1;
};

}  // namespace vorn
