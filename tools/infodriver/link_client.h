#pragma once
// Small blocking client of the Infodriver link for command-line tools: one
// connection, calls with a timeout, notifications handed out one by one.
// It never attaches as a driver (no XOV_DEVATTACHED), so it takes no part in
// the main/reserve arbitration. Single-threaded.

#include <cstdint>
#include <deque>
#include <string>

#include "transport/info_frame.h"

namespace vorn {

class LinkClient {
public:
    LinkClient() = default;
    ~LinkClient();
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;

    // Connects to the device's socket and runs the XOV_DEVFIND exchange.
    // False when no Infodriver serves the device (reason in `error`).
    bool Attach(int device, int timeoutMs, std::string* error);

    // Writes one frame; false when the connection is lost or stays full for timeoutMs.
    bool Send(const InfoFrame& frame, int timeoutMs);

    // Sends a request (message, wParam, lParam, text) and waits for its reply.
    // One-way frames that arrive meanwhile are kept for Next(); requests from
    // the Infodriver are answered with 0. False on timeout or lost connection.
    bool Call(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text, InfoFrame* reply,
              int timeoutMs);

    enum class Wait { kFrame, kWoken, kTimeout, kClosed };
    // Next one-way frame from the Infodriver. Also returns kWoken when
    // `wakeFd` (if >= 0) becomes readable. timeoutMs < 0 waits without limit.
    Wait Next(InfoFrame* frame, int wakeFd, int timeoutMs);

    const std::string& lastError() const { return error_; }

private:
    // Reads what is there into the reader; false on EOF or error.
    bool Fill(int wakeFd, int timeoutMs, bool* woken);
    // Takes one complete frame from the reader: answers requests, returns
    // replies and one-way frames. False when none is complete.
    bool TakeFrame(InfoFrame* frame);

    int fd_ = -1;
    uint32_t nextId_ = 1;
    InfoFrameReader reader_;
    // One-way frames received while waiting in Call(). At this many the
    // oldest is dropped (a tool that calls does not also watch).
    static constexpr size_t kMaxKept = 4096;
    std::deque<InfoFrame> kept_;
    std::string error_;
};

}  // namespace vorn
