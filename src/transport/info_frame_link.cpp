#include "transport/info_frame_link.h"

#include <cstring>

#include "core/diagnostics.h"

namespace vorn {

namespace {

constexpr size_t kReadChunk = 4096;

}  // namespace

InfoLink::OpenResult InfoFrameLink::Open(const std::string& path, int device, int* error) {
    Close();
    device_ = device;
    return sock_.Open(path, error);
}

void InfoFrameLink::Close() {
    sock_.Close();
    reader_ = InfoFrameReader();
    ended_ = false;
    endReason_.clear();
}

void InfoFrameLink::End(const std::string& why) {
    if (ended_) return;
    ended_ = true;
    endReason_ = why;
}

InfoFrameLink::ReadResult InfoFrameLink::Read(int maxChunks, const FrameSink& sink) {
    char buffer[kReadChunk];
    for (int i = 0; i < maxChunks; ++i) {
        if (ended_ || !sock_.IsOpen()) return ReadResult::kEnded;
        size_t got = 0;
        int error = 0;
        switch (sock_.Read(buffer, sizeof buffer, &got, &error)) {
            case InfoLink::ReadResult::kNothing:
                return ReadResult::kDrained;
            case InfoLink::ReadResult::kClosed:
                End("closed by the infodriver");
                return ReadResult::kEnded;
            case InfoLink::ReadResult::kError:
                End(std::strerror(error));
                return ReadResult::kEnded;
            case InfoLink::ReadResult::kData:
                break;
        }
        reader_.Append(buffer, got);
        // Every frame the read completed goes to the sink, even one past a
        // full sink: the reader holds at most one frame in progress. Bounded
        // by the bytes just read (each frame is at least 24 bytes).
        bool full = false;
        for (;;) {
            InfoFrame frame;
            InfoFrameReader::Result r = reader_.Next(frame);
            if (r == InfoFrameReader::Result::kNeedMore) break;
            if (r == InfoFrameReader::Result::kError) {
                End("protocol error (bad frame length)");
                return ReadResult::kEnded;
            }
            if (!IsKnownInfoMessage(frame.message)) {
                DebugMessage("extinfo - unknown message %u from infodriver %d ", frame.message, device_);
                End("protocol error (unknown message)");
                return ReadResult::kEnded;
            }
            if (!sink(std::move(frame))) full = true;
        }
        if (full) return ReadResult::kFull;
        // A short read emptied the socket: another read would only return
        // EAGAIN. What arrives later makes the socket readable again.
        if (got < sizeof buffer) return ReadResult::kDrained;
    }
    return ReadResult::kMore;
}

bool InfoFrameLink::Send(const InfoFrame& frame, const FrameSink& sink) {
    if (ended_ || !sock_.IsOpen()) return false;
    int error = 0;
    const auto deadline = Clock::now() + kWriteBound;
    auto onReadable = [&] {
        const ReadResult r = Read(1, sink);
        return r == ReadResult::kDrained || r == ReadResult::kMore;
    };
    switch (sock_.Send(EncodeInfoFrame(frame), deadline, onReadable, &error)) {
        case InfoLink::SendResult::kOk:
            return !ended_;
        case InfoLink::SendResult::kTimeout:
            // Stuck: part of the frame may be out, so the stream is unusable.
            DebugMessage("extinfo - infodriver %d takes no data for %d ms - link dropped ", device_,
                         static_cast<int>(kWriteBound.count()));
            End("stuck");
            return false;
        case InfoLink::SendResult::kClosed:
            // Frames the Infodriver sent before it closed may still wait
            // unread: take them, so they are handled ahead of the end.
            Read(16, sink);
            End(error != 0 ? std::strerror(error) : "closed by the infodriver");
            return false;
    }
    return false;
}

}  // namespace vorn
