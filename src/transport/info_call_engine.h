#pragma once
// The call engine of the Infodriver client: request ids and the bounded
// waits of synchronous calls, the answers to the Infodriver's liveness
// probes, and the queue of everything else the Infodriver sends, handed to
// the owner from the event loop in arrival order.
//
// No handler inside a call: while a call waits for its reply it reads the
// link, takes its reply (matched by id), owes the probes (XOV_DATA) their
// answer, and queues every other frame. The queue is dispatched after the
// call has returned, from the watch callback or a call posted to the event
// loop; a handler may make calls itself, and what arrives meanwhile waits
// behind it. Without an event loop (no seam) the queue is dispatched when
// the next call begins.
//
// Proof of order: the frames sent are numbered (seq). The Infodriver
// handles a client's frames in order and answers in one stream with its
// notifications, so a reply to request r shows that everything it queued
// before handling frame r has arrived ahead of the reply. Once all of that
// has been dispatched, the owner hears proof(r). WantProof(seq) asks for
// such a proof: when no request has gone out since frame seq, the engine
// sends one of its own (XOV_GETMODE, answer unused), one at a time.
//
// Bounds: a call waits at most kReplyBound (kUnresponsiveBound while the
// Infodriver is known not to answer); a write as InfoFrameLink. The queue:
// above kQueueSoftBytes the watch stops reading until the event loop has
// worked it down; a waiting call or write reads on up to kQueueHardBytes
// (a call then gives up, a write waits out its bound). At most kMaxOwed
// probe answers are owed (the Infodriver has one probe out per client);
// more are dropped. One watch callback or posted run dispatches at most
// kFramesPerRun frames, so the event loop gets its turn.
//
// Threading: GUI thread only. While a link is open and Watch() was called,
// the socket is watched through the seam, which must stay installed until
// Reset().

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "transport/info_frame.h"
#include "transport/info_frame_link.h"

namespace vorn {

class InfoCallEngine {
public:
    static constexpr std::chrono::milliseconds kReplyBound{2000};
    // Enough for a reply already on its way.
    static constexpr std::chrono::milliseconds kUnresponsiveBound{20};
    static constexpr size_t kQueueSoftBytes = 1u << 20;
    static constexpr size_t kQueueHardBytes = 8u << 20;
    static constexpr size_t kMaxOwed = 16;
    static constexpr int kFramesPerRun = 256;

    struct Hooks {
        // A one-way frame that needs no handler (state only), offered at
        // arrival, also inside a call; true when taken.
        std::function<bool(const InfoFrame&)> arrival;
        // A queued frame, from the event loop, in arrival order. A request
        // among them waits for the owner's Reply.
        std::function<void(InfoFrame&)> dispatch;
        // Every frame up to seq is handled by the Infodriver, and everything
        // it sent before that has been dispatched.
        std::function<void(uint64_t seq)> proof;
        // The link ended (reason), after everything that arrived before.
        std::function<void(const std::string& why)> end;
    };

    explicit InfoCallEngine(Hooks hooks);
    ~InfoCallEngine();
    InfoCallEngine(const InfoCallEngine&) = delete;
    InfoCallEngine& operator=(const InfoCallEngine&) = delete;

    InfoFrameLink& link() { return link_; }
    // Names the Infodriver in log lines.
    void SetDevice(int device) { device_ = device; }
    // Open and not ended.
    bool Usable() const { return link_.IsOpen() && !link_.Ended(); }
    bool Ended() const { return link_.Ended(); }

    // Watches the socket through the seam from now on (once attached), and
    // dispatches what came with the handshake.
    void Watch();
    // Closes the link and forgets all that belonged to it.
    void Reset();

    // Sends the request and waits (bounded) for its reply; *seq gets the
    // request's number. False when no reply came or the link is not usable.
    bool Call(uint32_t message, int32_t wParam, int32_t lParam, int32_t* replyParam, std::string* replyText,
              uint64_t* seq = nullptr);
    // A one-way frame; *seq gets its number. False when it did not go out.
    bool Send(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text, uint64_t* seq = nullptr);
    // Answers a dispatched request (no-op for one-way frames or a gone link).
    void Reply(const InfoFrame& request, int32_t result);
    void WantProof(uint64_t seq);

    // True once the peer is known gone; what it sent before is queued ahead
    // of the end. One poll() call.
    bool CheckPeerGone();

private:
    struct Item {
        enum class Kind : uint8_t { kFrame, kProof, kEnd };
        Kind kind = Kind::kFrame;
        InfoFrame frame;
        uint64_t seq = 0;
    };

    bool Arrive(InfoFrame&& frame);
    void Proven(uint64_t seq);
    bool SendFrame(const InfoFrame& frame, uint64_t* seq);
    bool Wait(int32_t* replyParam, std::string* replyText);
    void NoteEnd();
    void NoteFailure(const char* what);
    void FlushOwed();
    bool BarrierDue() const;
    void SendBarrier();
    // Dispatches at most max queued items; no-op while dispatching already.
    void Dispatch(int max);
    void ScheduleDrain();
    void OnReadable();
    uint32_t NextId();

    Hooks hooks_;
    InfoFrameLink link_;
    InfoFrameLink::FrameSink sink_;
    int device_ = 0;
    int watchId_ = 0;

    std::deque<Item> queue_;
    size_t queueBytes_ = 0;
    std::deque<InfoFrame> owed_;  // probe answers not yet sent
    bool endQueued_ = false;
    bool dispatching_ = false;
    bool sending_ = false;
    bool drainPosted_ = false;

    uint32_t nextId_ = 0;
    uint64_t sent_ = 0;         // frames sent (seq of the last)
    uint64_t lastRequest_ = 0;  // seq of the last request sent
    uint64_t wanted_ = 0;       // seq that WantProof asked a proof for
    uint32_t waitingId_ = 0;    // the call that waits, 0 none
    uint64_t waitingSeq_ = 0;
    bool haveReply_ = false;
    InfoFrame reply_;
    uint32_t barrierId_ = 0;    // the engine's own request out for a proof, 0 none
    uint64_t barrierSeq_ = 0;
    // Set when a reply did not come in time, cleared by any frame that
    // arrives. While set, calls wait only kUnresponsiveBound: a stuck
    // Infodriver then costs each call nothing instead of the full bound, so
    // a run of reads (the start-up load) cannot freeze the GUI thread.
    bool unresponsive_ = false;
    bool failureLogged_ = false;
    // Posted runs hold a weak reference: they do nothing once the engine is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace vorn
