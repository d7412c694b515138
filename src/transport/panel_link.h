#pragma once
// One panel's line, TCP or serial, behind one interface: open, close, send,
// read, and events raised to one handler on the GUI thread.
//
// Events:
//   kConnected / kConnectFailed  the outcome of a TCP connect started by Open
//                                (a serial line is open when Open returns: no event)
//   kDataWaiting                 bytes can be read with Read; raised again
//                                while some remain after the handler returns
//   kClosed                      the line went away: the peer closed, a reset
//                                or time-out, a hang-up or a read error; error is
//                                the errno value (0 for an orderly close). A TCP
//                                link also raises it from Close() when it had a
//                                connection.
// The handler may call any operation of the link, including Close and Open.
//
// Output: Send queues a whole frame; the link hands the queue to the line as
// the line takes it, never blocking:
//   - The first frame to a quiet line is written at once. Frames sent after
//     it while the loop is still busy with what it is handling (the rest of
//     a block read from the Infodriver, a refresh) wait, and all of them go
//     in one write once the loop has finished that (a posted call), never on
//     a timer.
//   - What the line does not take waits: for the descriptor to be writable
//     (a watch through the seam), or, on a paced line (serial), for the time
//     when the line has room again (a one-shot call through the seam).
//   - While frames wait so, the queue coalesces (protocol/frame_queue.h): a
//     newer frame that sets the same thing replaces the waiting one, so a
//     line that cannot keep up gets the states thinned, always ending in the
//     last ones, in memory bounded by the panel, not by the burst. A line
//     that keeps up gets every frame.
//   - A frame is never cut or written twice. The sent handler hears of each
//     frame once its last byte has been handed to the kernel: the one place
//     where frames leave the driver.
//   - Opening or closing the line, or its close event, discards what waits
//     (the refresh after a reconnection rebuilds the panel).
// Threading: GUI thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "protocol/frame_queue.h"

namespace vorn {

enum class LinkKind : uint8_t { kTcp, kSerial };

enum class LinkEvent : uint8_t { kConnected, kConnectFailed, kDataWaiting, kClosed };

enum class LinkOpen : uint8_t {
    kOpen,       // serial line open
    kPending,    // TCP connect under way: its outcome comes as an event
    kFailed,     // no socket, no device, cannot be set up
    kNoAddress,  // TCP host name not resolvable
    kInUse,      // serial device held by another process or port
};

enum class LinkRead : uint8_t {
    kData,     // *got bytes (at least 1) were read
    kNothing,  // nothing waits now
    kClosed,   // the line is gone (end of input, hang-up); see the error
    kError,    // the read failed; see the error
};

class PanelLink {
public:
    using Handler = void (*)(PanelLink& link, LinkEvent event, int error);
    // One frame whose last byte went to the kernel, in the order sent.
    using SentHandler = void (*)(PanelLink& link, std::span<const uint8_t> frame);

    PanelLink();
    virtual ~PanelLink();
    PanelLink(const PanelLink&) = delete;
    PanelLink& operator=(const PanelLink&) = delete;

    virtual LinkKind Kind() const = 0;
    // Largest block the receive path takes in one read.
    virtual int BlockSize() const = 0;
    virtual LinkOpen Open() = 0;
    virtual void Close() = 0;
    // Queues one whole frame (1..15 bytes) for the line (see above). False,
    // with nothing queued, while the line is not up (a TCP connect under
    // way, a closed port) or for a frame the queue cannot take.
    bool Send(const uint8_t* data, int length);
    // Reads at most size bytes into buffer; *got the count, *error the errno
    // value of kClosed and kError.
    virtual LinkRead Read(uint8_t* buffer, int size, int* got, int* error) = 0;
    // Line error flags of a serial line (framing, parity, overrun...) since
    // the previous call; a TCP link has none.
    virtual uint32_t TakeLineErrors() { return 0; }
    // The TCP address as last given to the connect ("" for serial), and the
    // COM port number (0 for TCP), for log lines.
    virtual std::string Address() const { return {}; }
    virtual int ComPort() const { return 0; }

    // A serial line: true while it is open on the device that its COM port
    // names now (false once the COM link is gone or names another device).
    // A TCP link holds no device: false.
    virtual bool HoldsDeviceOf(int comPort) const {
        (void)comPort;
        return false;
    }

    // Frames waiting for the line.
    size_t WaitingFrames() const { return queue_.Frames(); }
    // True while bytes may be written (a TCP connection made, a serial port
    // open).
    bool LineIsUp() const { return LineUp(); }
    // How long the line has taken no byte while frames wait for it: from the
    // first write it refused; zero while it takes bytes or nothing waits.
    std::chrono::milliseconds OutputStalledFor() const;
    // Drops every waiting frame, a started one too (the line is given up).
    void DiscardOutput() { ResetOutput(); }

    void SetHandler(Handler handler) { handler_ = handler != nullptr ? handler : &NoHandler; }
    void SetSentHandler(SentHandler handler) { sent_ = handler; }

protected:
    void Raise(LinkEvent event, int error) { handler_(*this, event, error); }

    // The line as the output sees it, from the subclass.
    // Up: bytes may be written (TCP connected, serial port open).
    virtual bool LineUp() const = 0;
    // One non-blocking write: the bytes taken (0 when none now), or -1 when
    // the line failed (*error the errno value).
    virtual long LineWrite(const uint8_t* data, size_t size, int* error) = 0;
    // Descriptor to watch for writable readiness; -1 when there is none.
    virtual int LineDescriptor() const = 0;
    // Bytes the line may be given now; when 0, *wait says when to ask again.
    // Unpaced lines take what the kernel takes.
    virtual size_t LineAllowance(std::chrono::milliseconds* wait) {
        (void)wait;
        return static_cast<size_t>(-1);
    }
    // The line took n bytes (for the pacing's account).
    virtual void LineTook(size_t n) { (void)n; }
    // Empties the queue and stops waiting for the line. Subclasses call it
    // when the line opens or closes.
    void ResetOutput();

private:
    static void NoHandler(PanelLink&, LinkEvent, int) {}
    void Flush();
    void OnLineWritable();
    void StopWaiting();

    Handler handler_ = &NoHandler;
    SentHandler sent_ = nullptr;
    FrameQueue queue_;
    bool coalescing_ = false;    // the line did not take everything: frames wait
    bool flushPosted_ = false;   // frames of this loop turn wait for the posted flush
    // The last frame that went at once, without a posted flush: a frame
    // within kSameTurn of it is taken for the same turn of the loop.
    static constexpr std::chrono::microseconds kSameTurn{1000};
    bool sentAtOnce_ = false;
    std::chrono::steady_clock::time_point sentAtOnceAt_{};
    bool flushing_ = false;      // inside Flush (a sent handler may Send again)
    int writeWatch_ = 0;
    int paceCall_ = 0;
    bool stalled_ = false;
    std::chrono::steady_clock::time_point stalledSince_{};
    // Cleared by the destructor: a posted flush that runs after it does nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vorn
