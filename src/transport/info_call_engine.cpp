#include "transport/info_call_engine.h"

#include <algorithm>
#include <cstring>

#include "core/diagnostics.h"
#include "core/seam.h"

namespace vorn {

namespace {

using Clock = InfoFrameLink::Clock;

// One read callback or wait pass takes at most this many 4 KiB reads.
constexpr int kChunksPerRead = 16;

size_t FrameBytes(const InfoFrame& f) { return kInfoFrameFixed + f.text.size(); }

}  // namespace

InfoCallEngine::InfoCallEngine(Hooks hooks) : hooks_(std::move(hooks)) {
    sink_ = [this](InfoFrame&& frame) { return Arrive(std::move(frame)); };
}

InfoCallEngine::~InfoCallEngine() { Reset(); }

uint32_t InfoCallEngine::NextId() {
    if (++nextId_ == 0) ++nextId_;  // 0 marks one-way frames
    return nextId_;
}

void InfoCallEngine::Watch() {
    if (HasSeam() && watchId_ == 0 && Usable()) {
        watchId_ = GetSeam().AddWatch(link_.Fd(), Seam::Readiness::kRead, [this] { OnReadable(); });
    }
    ScheduleDrain();
}

void InfoCallEngine::Reset() {
    if (watchId_ != 0 && HasSeam()) GetSeam().RemoveWatch(watchId_);
    watchId_ = 0;
    link_.Close();
    queue_.clear();
    queueBytes_ = 0;
    owed_.clear();
    endQueued_ = false;
    waitingId_ = 0;
    haveReply_ = false;
    barrierId_ = 0;
    wanted_ = lastRequest_ = sent_;
    unresponsive_ = false;
}

// ---------------------------------------------------------------------------
// Receiving

// Every frame read comes here first, in arrival order, also inside a call.
bool InfoCallEngine::Arrive(InfoFrame&& frame) {
    unresponsive_ = false;
    if (frame.IsReply()) {
        if (waitingId_ != 0 && frame.id == waitingId_) {
            reply_ = std::move(frame);
            haveReply_ = true;
            Proven(waitingSeq_);
        } else if (barrierId_ != 0 && frame.id == barrierId_) {
            barrierId_ = 0;
            Proven(barrierSeq_);
        }
        // Any other reply answers a call that gave up: dropped.
        return true;
    }
    if (frame.message == XOV_DATA && frame.id != 0) {
        // The liveness probe: answered as soon as nothing else is being
        // written, also during a call, with no other effect.
        if (owed_.size() < kMaxOwed) owed_.push_back(InfoFrame{XOV_DATA, frame.id, kInfoFlagReply, 0, 0, ""});
        return true;
    }
    if (frame.id == 0 && hooks_.arrival(frame)) return true;
    queueBytes_ += FrameBytes(frame);
    Item item;
    item.frame = std::move(frame);
    queue_.push_back(std::move(item));
    // A call or a write that waits must keep reading to get on; the watch
    // need not.
    return queueBytes_ < (waitingId_ != 0 || sending_ ? kQueueHardBytes : kQueueSoftBytes);
}

// The reply to request seq has arrived: the proof holds once everything
// queued ahead of it is dispatched.
void InfoCallEngine::Proven(uint64_t seq) {
    if (queue_.empty()) {
        hooks_.proof(seq);
        return;
    }
    Item item;
    item.kind = Item::Kind::kProof;
    item.seq = seq;
    queue_.push_back(std::move(item));
}

// Queues the end once the link has ended: behind everything that came
// before it. The watch goes (a socket we no longer read would fire for ever).
void InfoCallEngine::NoteEnd() {
    if (!link_.Ended() || endQueued_) return;
    endQueued_ = true;
    if (watchId_ != 0 && HasSeam()) GetSeam().RemoveWatch(watchId_);
    watchId_ = 0;
    Item item;
    item.kind = Item::Kind::kEnd;
    item.frame.text = link_.EndReason();
    queue_.push_back(std::move(item));
    ScheduleDrain();
}

bool InfoCallEngine::CheckPeerGone() {
    if (!Usable()) return link_.Ended();
    if (!link_.PeerGone()) return false;
    link_.Read(kChunksPerRead, sink_);
    link_.End("closed by the infodriver");
    NoteEnd();
    return true;
}

void InfoCallEngine::Dispatch(int max) {
    if (dispatching_) return;  // the run further up the stack goes on
    dispatching_ = true;
    for (int i = 0; i < max && !queue_.empty(); ++i) {
        Item item = std::move(queue_.front());
        queue_.pop_front();
        switch (item.kind) {
            case Item::Kind::kFrame:
                queueBytes_ -= std::min(queueBytes_, FrameBytes(item.frame));
                hooks_.dispatch(item.frame);
                break;
            case Item::Kind::kProof:
                hooks_.proof(item.seq);
                break;
            case Item::Kind::kEnd:
                hooks_.end(item.frame.text);  // the owner resets the link
                break;
        }
    }
    dispatching_ = false;
    ScheduleDrain();
}

// Runs what is left (queue, owed answers, a proof request) later from the
// event loop, posted once at a time.
void InfoCallEngine::ScheduleDrain() {
    if (drainPosted_ || !HasSeam()) return;
    if (queue_.empty() && owed_.empty() && !BarrierDue()) return;
    drainPosted_ = true;
    std::weak_ptr<int> alive = alive_;
    GetSeam().Post([this, alive] {
        if (alive.expired()) return;
        drainPosted_ = false;
        if (dispatching_) return;  // a nested event loop: the outer run schedules again
        FlushOwed();
        SendBarrier();
        Dispatch(kFramesPerRun);
    });
}

// Watch callback, on the GUI thread while the socket is readable.
void InfoCallEngine::OnReadable() {
    if (!Usable()) return;
    if (queueBytes_ < kQueueSoftBytes) link_.Read(kChunksPerRead, sink_);
    NoteEnd();
    FlushOwed();
    Dispatch(kFramesPerRun);
}

// ---------------------------------------------------------------------------
// Sending and calls

bool InfoCallEngine::SendFrame(const InfoFrame& frame, uint64_t* seq) {
    if (!Usable()) return false;
    sending_ = true;
    const bool ok = link_.Send(frame, sink_);
    sending_ = false;
    if (ok) {
        ++sent_;
        if (seq != nullptr) *seq = sent_;
        if (frame.id != 0 && !frame.IsReply()) lastRequest_ = sent_;
    }
    NoteEnd();
    return ok;
}

// Owed probe answers go out between writes, never inside one (a write that
// waits for room reads, and the probes it finds are owed until it is done).
void InfoCallEngine::FlushOwed() {
    if (sending_) return;
    for (size_t n = 0; n < kMaxOwed && !owed_.empty() && Usable(); ++n) {
        InfoFrame answer = std::move(owed_.front());
        owed_.pop_front();
        SendFrame(answer, nullptr);
    }
}

bool InfoCallEngine::BarrierDue() const { return wanted_ > lastRequest_ && barrierId_ == 0 && Usable(); }

void InfoCallEngine::SendBarrier() {
    if (!BarrierDue()) return;
    const uint32_t id = NextId();
    uint64_t seq = 0;
    if (SendFrame(InfoFrame{XOV_GETMODE, id, 0, 0, 0, ""}, &seq)) {
        barrierId_ = id;
        barrierSeq_ = seq;
    }
}

void InfoCallEngine::WantProof(uint64_t seq) {
    wanted_ = std::max(wanted_, seq);
    ScheduleDrain();
}

void InfoCallEngine::NoteFailure(const char* what) {
    if (failureLogged_) return;
    failureLogged_ = true;
    if (std::strcmp(what, "no reply") == 0) {
        DebugMessage("extinfo - no reply from infodriver %d ", device_);
    } else {
        DebugMessage("extinfo - infodriver %d %s - call failed ", device_, what);
    }
}

bool InfoCallEngine::Send(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text,
                          uint64_t* seq) {
    if (!Usable()) {
        NoteFailure("not attached");
        return false;
    }
    const bool ok = SendFrame(InfoFrame{message, 0, 0, wParam, lParam, text}, seq);
    ScheduleDrain();
    return ok;
}

void InfoCallEngine::Reply(const InfoFrame& request, int32_t result) {
    if (request.id == 0 || request.IsReply() || !Usable()) return;
    SendFrame(InfoFrame{request.message, request.id, kInfoFlagReply, result, 0, ""}, nullptr);
}

bool InfoCallEngine::Call(uint32_t message, int32_t wParam, int32_t lParam, int32_t* replyParam,
                          std::string* replyText, uint64_t* seq) {
    if (!HasSeam()) Dispatch(static_cast<int>(queue_.size()));  // no event loop: now, before the call
    if (!Usable()) {
        NoteFailure("not attached");
        return false;
    }
    waitingId_ = NextId();
    waitingSeq_ = sent_ + 1;  // the request's number once it is out
    haveReply_ = false;
    bool got = SendFrame(InfoFrame{message, waitingId_, 0, wParam, lParam, ""}, nullptr);
    if (seq != nullptr) *seq = waitingSeq_;
    if (got) got = Wait(replyParam, replyText);
    const bool stillUsable = Usable();
    waitingId_ = 0;
    haveReply_ = false;
    if (got) {
        failureLogged_ = false;
    } else if (stillUsable) {
        NoteFailure("no reply");
        unresponsive_ = true;
    }
    ScheduleDrain();
    return got;
}

// The wait of a synchronous call. Every pass takes the reply, sends what is
// owed, or waits in poll() for at most the time left and reads, so the whole
// wait ends at the deadline.
bool InfoCallEngine::Wait(int32_t* replyParam, std::string* replyText) {
    // The bound is taken anew each pass: a frame that arrives meanwhile ends
    // the short wait of an unresponsive link and gives the call its full time.
    const auto start = Clock::now();
    for (;;) {
        if (haveReply_) {
            if (replyParam != nullptr) *replyParam = reply_.wParam;
            if (replyText != nullptr) *replyText = std::move(reply_.text);
            return true;
        }
        FlushOwed();
        if (!Usable()) return false;  // the end is queued behind what came before it
        const auto deadline = start + (unresponsive_ ? kUnresponsiveBound : kReplyBound);
        if (Clock::now() >= deadline || queueBytes_ >= kQueueHardBytes) return false;
        if (link_.WaitReadable(deadline)) link_.Read(kChunksPerRead, sink_);
        NoteEnd();
    }
}

}  // namespace vorn
