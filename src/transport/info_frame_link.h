#pragma once
// The frame level of the Infodriver link: one socket (InfoLink), the frames
// cut from what it reads, and bounded writes. A write that finds the socket
// full keeps reading meanwhile, so that an Infodriver that holds writers
// back while their readers lag is never left waiting on us (flow control,
// docs/infodriver-link.md).
//
// The link ends (for good, until the next Open) when the peer closes, a read
// fails, a frame is malformed or of an unknown message, or a write finds no
// room for the whole write bound; Ended() then holds and EndReason() says
// why. It does not close the socket: the owner does, once it has handled
// everything that came before the end.
//
// Threading: GUI thread only, like its owner.

#include <functional>
#include <string>

#include "transport/info_frame.h"
#include "transport/info_link.h"

namespace vorn {

class InfoFrameLink {
public:
    using Clock = InfoLink::Clock;
    // Takes one received frame; false asks for no more frames now (the
    // taker's queue is full): reading stops after this one.
    using FrameSink = std::function<bool(InfoFrame&&)>;

    // Longest wait for the Infodriver to take a frame we write. Longer than
    // the reference Infodriver's 3 s cut-off of a client that drains
    // nothing, so that while it holds writers back a hung peer is cut off
    // before a healthy driver gives up its own link.
    static constexpr std::chrono::milliseconds kWriteBound{5000};

    // Connects to the socket at path (closing an open one first); the
    // device number only names the Infodriver in log lines.
    InfoLink::OpenResult Open(const std::string& path, int device, int* error);
    void Close();
    bool IsOpen() const { return sock_.IsOpen(); }
    int Fd() const { return sock_.Fd(); }
    bool Ended() const { return ended_; }
    const std::string& EndReason() const { return endReason_; }

    enum class ReadResult {
        kDrained,  // the socket has nothing more now
        kMore,     // stopped at maxChunks: more may wait
        kFull,     // the sink asked for no more frames
        kEnded,    // the link ended (see EndReason)
    };
    // At most maxChunks reads of 4 KiB, each complete frame to sink in order.
    ReadResult Read(int maxChunks, const FrameSink& sink);

    // Writes one frame within kWriteBound, reading into sink (a read at a
    // time) while the socket is full. False when the link is ended or ends
    // here (a peer that closed, or one that took nothing for the bound).
    bool Send(const InfoFrame& frame, const FrameSink& sink);

    // Waits until the socket is readable or the deadline; true when ready.
    bool WaitReadable(Clock::time_point deadline) {
        return sock_.WaitReadable(deadline) == InfoLink::WaitResult::kReady;
    }
    // True when the peer has gone (checked without reading or waiting).
    bool PeerGone() const { return sock_.PeerGone(); }
    // Ends the link for this reason (the first reason is kept).
    void End(const std::string& why);

private:
    InfoLink sock_;
    InfoFrameReader reader_;
    int device_ = 0;
    bool ended_ = false;
    std::string endReason_;
};

}  // namespace vorn
