#include "transport/extinfo.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "core/diagnostics.h"
#include "core/seam.h"
#include "transport/info_frame.h"
#include "transport/info_link.h"

namespace vorn {

namespace {

using Clock = InfoLink::Clock;

// Longest wait for a reply, and for the Infodriver to take a frame we write.
constexpr auto kReplyBound = std::chrono::milliseconds(2000);
// Longest wait for the Infodriver to take a frame we write. Longer than the
// reference Infodriver's 3 s cut-off of a client that drains nothing, so
// that while it holds writers back (flow control) a hung peer is cut off
// before a healthy driver gives up its own link.
constexpr auto kWriteBound = std::chrono::milliseconds(5000);
// How often linklost() looks at the socket itself (one poll() call).
constexpr auto kLinkCheckInterval = std::chrono::milliseconds(100);
// Wait for a reply while the Infodriver is known not to answer (see
// Link::unresponsive): enough for a reply already on its way.
constexpr auto kUnresponsiveBound = std::chrono::milliseconds(20);
// Nested synchronous calls (notify calling back into the client) up to this
// depth handle incoming messages while they wait; deeper calls only pick out
// their replies and leave the rest queued for the levels below, so that a
// flood of notifications cannot grow the stack without bound.
constexpr int kMaxDispatchDepth = 16;
// One read takes at most this much; one ReadIncoming at most kChunksPerRead
// reads (64 KiB), so a busy peer cannot keep the client reading for ever.
constexpr size_t kReadChunk = 4096;
constexpr int kChunksPerRead = 16;
// Frames received but not yet handled. Above this, reading stops until the
// queue has been worked down (a call at the depth limit then fails).
constexpr size_t kQueueMaxBytes = 1u << 20;
// Frames handled per watch callback or posted drain; the rest is handled by
// the next posted drain, so the event loop gets its turn in between.
constexpr int kFramesPerIdleRun = 256;
// Marker queued behind the last frame of a link that ended (peer closed,
// protocol error, write stuck): handled in order like a frame. 0 is no
// message number of the link.
constexpr uint32_t kEndOfLink = 0;

void NoNotify(extinfo*, int, const char*) {}

const char* const kModeNames[8] = {"IFMODE_NONE", "IFMODE_RXONLY", "IFMODE_TXRX", "IFMODE_FORCETXRX", "IFMODE_TXRXINQ",
                                   "IFMODE_RXONLYBROKEN", "6", "7"};

}  // namespace

const char* InfoModeName(int mode) { return (mode >= 0 && mode < 8) ? kModeNames[mode] : ""; }

struct extinfo::Link {
    InfoLink sock;
    InfoFrameReader reader;
    // Received frames in arrival order, not yet handled. Everyone (a waiting
    // call, the watch callback, a posted drain) takes from the front.
    std::deque<InfoFrame> queue;
    size_t queueBytes = 0;
    bool ended = false;  // end-of-link marker queued; nothing more is read or sent
    // Replies that arrived for calls that still wait, by request id.
    std::set<uint32_t> waiting;
    std::map<uint32_t, InfoFrame> replies;
    uint32_t nextId = 0;
    int infoId = 0;       // the Infodriver's id from XOV_INFOWINDOW, 0 unknown
    int watchId = 0;      // seam watch on the socket, 0 none
    int depth = 0;        // synchronous calls in progress (nested)
    unsigned generation = 0;  // +1 whenever the socket is closed
    bool attached = false;    // handshake done: link loss is reported
    bool disconnectNotified = false;
    bool failureLogged = false;
    // Set when a reply did not come in time; cleared by the next frame that
    // arrives. While set, calls do not wait for their reply: a stuck
    // Infodriver then costs each call nothing instead of the full bound, so a
    // run of reads (the start-up load) cannot freeze the GUI thread for
    // minutes. A late reply or any other frame proves the link alive again.
    bool unresponsive = false;
    bool drainPosted = false;
    // The link had been attached and is now known to be gone (see linklost).
    bool lost = false;
    Clock::time_point lastLinkCheck{};
    // Slot mirror (see extinfo.h). `stamp` is the value of `mirrorClock` when
    // the entry was last set, so a read can tell whether its slot changed
    // while it waited for the reply.
    // `handler` is the number of the slot-change dispatch during which the
    // entry was set (0 outside any): an echo made by handler h never writes
    // over an entry set by a later dispatch (a newer change handled while h
    // waited in a synchronous call).
    struct Mirrored {
        std::string text;
        uint64_t stamp = 0;
        uint64_t handler = 0;
    };
    std::unordered_map<int, Mirrored> mirror;
    uint64_t mirrorClock = 0;
    uint64_t dispatches = 0;      // slot-change dispatches so far
    uint64_t currentHandler = 0;  // the innermost slot-change dispatch running, 0 none
    bool mirrorFullLogged = false;
    std::string unmirrored;  // last read of a slot the full mirror does not follow
    // Posted drains hold a weak reference: they do nothing once the client
    // is gone.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};

extinfo::extinfo(int interfaceVersion) : notify(NoNotify), txCount(&ownTx_), rxCount(&ownRx_) {
    if (interfaceVersion != kInfoInterfaceVersion) {
        if (HasSeam()) {
            GetSeam().MessageBox("Error", "Header doesn't match library");
        } else {
            std::fprintf(stderr, "Error: Header doesn't match library\n");
        }
    }
    link_ = new Link;
}

extinfo::~extinfo() {
    disconnect();
    delete link_;
}

void extinfo::setnotify(NotifyFn callback) { notify = callback != nullptr ? callback : NoNotify; }

void extinfo::setcounters(int* writeCounter, int* changeCounter) {
    txCount = writeCounter != nullptr ? writeCounter : &ownTx_;
    rxCount = changeCounter != nullptr ? changeCounter : &ownRx_;
}

// ---------------------------------------------------------------------------
// Attach and detach

int extinfo::connect(int device, void* /*instance*/) {
    Link& L = *link_;
    if (L.sock.IsOpen()) disconnect();  // a second connect replaces the link
    iStatus = kInfoSlotChanged;
    if (device == 0) {
        iStatus = kInfoDeviceZero;
        return kInfoDeviceZero;
    }
    iDevice = device;
    connectError = 0;
    L.infoId = 0;
    L.attached = false;
    L.lost = false;
    L.disconnectNotified = false;

    std::string path = InfoSocketPath(device);
    int error = 0;
    switch (L.sock.Open(path, &error)) {
        case InfoLink::OpenResult::kOk:
            break;
        case InfoLink::OpenResult::kNoSocket:
            DebugMessage("extinfo - cannot create a socket: %s ", std::strerror(error));
            iStatus = kInfoNoClass;
            return kInfoNoClass;
        case InfoLink::OpenResult::kNoServer:
            DebugMessage("extinfo - no infodriver at %s: %s ", path.c_str(), std::strerror(error));
            connectError = error;
            iStatus = kInfoNoInfodriver;
            return kInfoNoInfodriver;
    }

    // The Infodriver sends XOV_INFOWINDOW before its reply; other messages
    // (slot changes, mode requests) may come too and are handled meanwhile.
    int32_t found = 0;
    bool ok = Call(XOV_DEVFIND, 0, device, &found, nullptr) && found == 1 && L.infoId != 0;
    if (ok) ok = SendOneWay(XOV_DEVATTACHED, 0, 0, "");
    if (ok && devState == 0) ok = SendOneWay(XOV_DEVQUERY, 0, 0, "");
    if (!ok || L.ended || !L.sock.IsOpen()) {
        DebugMessage("extinfo - infodriver %d did not accept the attach ", device);
        CloseLink();
        iStatus = kInfoNoInfodriver;
        return kInfoNoInfodriver;
    }
    L.attached = true;
    if (HasSeam()) {
        L.watchId = GetSeam().AddWatch(L.sock.Fd(), Seam::Readiness::kRead, [this] { OnReadable(); });
    } else {
        DebugMessage("extinfo - no event loop: infodriver %d is heard only during calls ", device);
    }
    ScheduleDrain();  // frames that came right behind the handshake
    return kInfoSlotChanged;
}

void extinfo::disconnect() {
    Link& L = *link_;
    if (!L.sock.IsOpen()) return;
    if (!L.ended) SendOneWay(XOV_DEVCLOSE, 0, iDevice, "");
    CloseLink();
}

// Closes the socket and forgets everything that belonged to it. Calls that
// wait further up the stack see the new generation and fail.
void extinfo::CloseLink() {
    Link& L = *link_;
    if (L.watchId != 0 && HasSeam()) GetSeam().RemoveWatch(L.watchId);
    L.watchId = 0;
    L.sock.Close();
    L.reader = InfoFrameReader();
    L.queue.clear();
    L.queueBytes = 0;
    L.replies.clear();
    L.ended = false;
    L.infoId = 0;
    L.attached = false;
    L.unresponsive = false;
    L.mirror.clear();
    L.mirrorFullLogged = false;
    ++L.generation;
}

// The end of the link, in order behind everything received before it:
// closes the socket and reports the disconnection once (only once attached;
// during the handshake connect reports the failure itself).
void extinfo::LinkLost(const std::string& why) {
    Link& L = *link_;
    bool report = L.attached && !L.disconnectNotified;
    DebugMessage("extinfo - link to infodriver %d lost: %s ", iDevice, why.c_str());
    CloseLink();
    if (report) {
        L.disconnectNotified = true;
        iStatus = kInfoDisconnected;
        notify(this, 0, "Infodriver has disconnected");
    }
}

// Marks the link as ended: nothing more is read or written, the watch goes
// (a readable socket we no longer read would fire for ever), and the
// end-of-link marker is queued so that the frames before it are still
// handled first.
void extinfo::EndLink(const char* why) {
    Link& L = *link_;
    if (L.ended) return;
    L.ended = true;
    if (L.attached) L.lost = true;
    InfoFrame marker;
    marker.message = kEndOfLink;
    marker.text = why;
    L.queue.push_back(std::move(marker));
    if (L.watchId != 0 && HasSeam()) GetSeam().RemoveWatch(L.watchId);
    L.watchId = 0;
    ScheduleDrain();
}

// ---------------------------------------------------------------------------
// Receiving

// Reads what the socket has (at most maxChunks reads) and queues the frames.
// Returns false when nothing more can be taken now: queue full, link ended.
bool extinfo::ReadIncoming(int maxChunks) {
    Link& L = *link_;
    char buffer[kReadChunk];
    for (int i = 0; i < maxChunks; ++i) {
        if (L.ended || !L.sock.IsOpen()) return false;
        if (L.queueBytes >= kQueueMaxBytes) return false;
        size_t got = 0;
        int error = 0;
        switch (L.sock.Read(buffer, sizeof buffer, &got, &error)) {
            case InfoLink::ReadResult::kNothing:
                return true;
            case InfoLink::ReadResult::kClosed:
                EndLink("closed by the infodriver");
                return false;
            case InfoLink::ReadResult::kError:
                EndLink(std::strerror(error));
                return false;
            case InfoLink::ReadResult::kData:
                break;
        }
        L.reader.Append(buffer, got);
        // Bounded by the bytes just read: each frame is at least 24 bytes.
        for (;;) {
            InfoFrame frame;
            InfoFrameReader::Result r = L.reader.Next(frame);
            if (r == InfoFrameReader::Result::kNeedMore) break;
            if (r == InfoFrameReader::Result::kError) {
                EndLink("protocol error (bad frame length)");
                return false;
            }
            if (!IsKnownInfoMessage(frame.message)) {
                DebugMessage("extinfo - unknown message %u from infodriver %d ", frame.message, iDevice);
                EndLink("protocol error (unknown message)");
                return false;
            }
            L.unresponsive = false;
            L.queueBytes += kInfoFrameFixed + frame.text.size();
            L.queue.push_back(std::move(frame));
        }
        // A short read emptied the socket: another read would only return
        // EAGAIN. What arrives later makes the socket readable again.
        if (got < sizeof buffer) return true;
    }
    return true;
}

// Takes the front frame off the queue and handles it: a reply goes to the
// call that waits for it (a late reply to a call that gave up is dropped),
// anything else is dispatched (which may nest calls).
void extinfo::HandleQueued() {
    Link& L = *link_;
    InfoFrame f = std::move(L.queue.front());
    L.queue.pop_front();
    L.queueBytes -= std::min(L.queueBytes, kInfoFrameFixed + f.text.size());

    if (f.message == kEndOfLink) {
        LinkLost(f.text);
        return;
    }
    if (f.IsReply()) {
        if (L.waiting.count(f.id) != 0) L.replies[f.id] = std::move(f);
        return;
    }

    int32_t result = 0;
    switch (f.message) {
        case XOV_INFOWINDOW:
            L.infoId = f.wParam;
            break;
        case XOV_DEVSTATE:
            devState = f.wParam;
            break;
        case XOV_DATA:
            // Also the Infodriver's liveness probe (a request): the reply
            // below, with no other effect, is what keeps this driver's link.
            break;
        case XOV_SLOTCHANGED:
            // Applied now, in dispatch order: a handler's echo compares with
            // this change, not with a newer one still queued.
            {
                const uint64_t outer = L.currentHandler;
                L.currentHandler = ++L.dispatches;
                if (f.wParam >= 0) Remember(f.wParam, f.text.data(), f.text.size());
                ++*rxCount;
                iStatus = kInfoSlotChanged;
                notify(this, f.wParam, f.text.c_str());
                L.currentHandler = outer;
            }
            result = 1;
            break;
        case XOV_INFOTEXT: {
            size_t n = std::min(f.text.size(), static_cast<size_t>(kInfoTextMax));
            std::memcpy(infoText, f.text.data(), n);
            infoText[n] = '\0';
            break;
        }
        case XOV_INFODISCONNECTED:
            // The Infodriver is going away; the close that follows is not
            // reported a second time.
            if (!L.disconnectNotified) {
                L.disconnectNotified = true;
                iStatus = kInfoDisconnected;
                notify(this, 0, "Infodriver has disconnected");
            }
            break;
        case XOV_REQDEVGORXONLY:
        case XOV_REQDEVGOTXRX:
        case XOV_INQDEVGOTXRX:
            result = AnswerModeRequest(f.message);
            break;
        case XOV_DEVICEIDINUSE:
            iStatus = kInfoDeviceIdInUse;
            notify(this, f.wParam & 0xFFFF, "Device ID in use");
            break;
        default:
            DebugMessage("extinfo - unexpected message %u from infodriver %d ignored ", f.message, iDevice);
            break;
    }
    // The handler may have closed or replaced the link (notify is free to
    // call disconnect); a reply then has nowhere to go.
    if (f.id != 0 && L.sock.IsOpen() && !L.ended) {
        InfoFrame reply;
        reply.message = f.message;
        reply.id = f.id;
        reply.flags = kInfoFlagReply;
        reply.wParam = result;
        SendBytes(EncodeInfoFrame(reply));
    }
}

// The reply to a mode request. Decided by iMode alone; the client never
// changes iMode here (the driver does, through setmode).
int extinfo::AnswerModeRequest(uint32_t message) {
    const bool goRx = message == XOV_REQDEVGORXONLY;
    const bool goTx = message == XOV_REQDEVGOTXRX;
    const unsigned device = static_cast<unsigned>(iDevice);
    const char* name = InfoModeName(iMode);
    char text[200];
    int status = -1;
    int reply = 0;
    switch (iMode) {
        case IFMODE_NONE:
        case IFMODE_RXONLY:
        case IFMODE_RXONLYBROKEN:
            if (goRx) {
                status = kInfoReqRxOnly;
                std::snprintf(text, sizeof text,
                              "XOV_REQDEVGORXONLY Device=%u Mode=%s ~ Accepting request to go RX Only",
                              device, name);
                reply = 1;
            } else if (goTx) {
                if (iMode != IFMODE_NONE) {
                    status = kInfoReqTxRx;
                    std::snprintf(text, sizeof text,
                                  "XOV_REQDEVGOTXRX Device=%u Mode=%s ~ Accepting request to go TXRX", device,
                                  name);
                    reply = 1;
                }
            } else {
                status = kInfoInquiry;
                std::snprintf(text, sizeof text, "XOV_INQDEVGOTXRX Device=%u Mode=%s ~ Denying inquiry to go TXRX",
                              device, name);
            }
            break;
        case IFMODE_TXRX:
        case IFMODE_FORCETXRX:
        case IFMODE_TXRXINQ:
            if (goRx) {
                status = kInfoReqTxRx;  // a refused RX-only request reads as "stay/go TXRX"
                std::snprintf(text, sizeof text,
                              "XOV_REQDEVGORXONLY Device=%u Mode=%s ~ Denying request to go RX Only", device,
                              name);
            } else if (goTx) {
                status = kInfoReqTxRx;
                std::snprintf(text, sizeof text, "XOV_REQDEVGOTXRX Device=%u Mode=%s ~ Accepting request to go TXRX",
                              device, name);
                reply = 1;
            } else {
                status = kInfoInquiry;
                std::snprintf(text, sizeof text,
                              "XOV_INQDEVGOTXRX Device=%u Mode=%s ~ Accepting inquiry to go TXRX", device, name);
                reply = 1;
            }
            break;
        case 6:
        case 7:  // shutting down: agree to everything
            if (goRx) {
                status = kInfoReqRxOnly;
                std::snprintf(text, sizeof text, "Accepting request to go RX Only");
            } else if (goTx) {
                status = kInfoReqTxRx;
                std::snprintf(text, sizeof text, "Accepting request to go TXRX");
            }
            reply = 1;
            break;
        default:
            reply = goRx ? 1 : 0;
            break;
    }
    if (status >= 0) {
        iStatus = status;
        notify(this, 0, text);
    }
    return reply;
}

void extinfo::DispatchQueued(int maxFrames) {
    Link& L = *link_;
    for (int i = 0; i < maxFrames && !L.queue.empty() && L.depth < kMaxDispatchDepth; ++i) HandleQueued();
}

// Runs the rest of the queue later from the event loop (once posted at a
// time), so frames left over by a call or a bounded run are not stranded
// until the socket happens to become readable again.
void extinfo::ScheduleDrain() {
    Link& L = *link_;
    if (L.drainPosted || L.queue.empty() || !HasSeam()) return;
    L.drainPosted = true;
    std::weak_ptr<int> alive = L.alive;
    GetSeam().Post([this, alive] {
        if (alive.expired()) return;
        link_->drainPosted = false;
        if (link_->depth > 0) return;  // a waiting call works the queue itself
        DispatchQueued(kFramesPerIdleRun);
        ScheduleDrain();
    });
}

// Watch callback, on the GUI thread while the socket is readable.
void extinfo::OnReadable() {
    Link& L = *link_;
    if (!L.sock.IsOpen() || L.ended) return;
    ReadIncoming(kChunksPerRead);
    DispatchQueued(kFramesPerIdleRun);
    ScheduleDrain();
}

// ---------------------------------------------------------------------------
// Sending and calls

// Writes one encoded frame within the bound. A peer that has closed, or one
// that takes nothing for the whole bound (stuck: its data would be lost if
// we dropped the frame quietly), ends the link, which reports the
// disconnection.
bool extinfo::SendBytes(const std::string& bytes) {
    Link& L = *link_;
    if (!L.sock.IsOpen() || L.ended) return false;
    int error = 0;
    auto deadline = Clock::now() + kWriteBound;
    InfoLink::SendResult r = L.sock.Send(bytes, deadline, [this] { return ReadIncoming(1); }, &error);
    if (r == InfoLink::SendResult::kOk) return true;
    if (r == InfoLink::SendResult::kTimeout) {
        DebugMessage("extinfo - infodriver %d takes no data for %d ms - link dropped ", iDevice,
                     static_cast<int>(kWriteBound.count()));
        EndLink("stuck");
    } else {
        // The Infodriver has closed. Frames it sent before that may still
        // wait unread in the socket: queue them (bounded by the queue limit)
        // so they are handled ahead of the end of the link, as on a read.
        ReadIncoming(kChunksPerRead);
        EndLink(error != 0 ? std::strerror(error) : "closed by the infodriver");
    }
    return false;
}

bool extinfo::SendOneWay(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text) {
    Link& L = *link_;
    if (!L.sock.IsOpen() || L.ended) {
        NoteFailure("not attached");
        return false;
    }
    InfoFrame f;
    f.message = message;
    f.wParam = wParam;
    f.lParam = lParam;
    f.text = text;
    return SendBytes(EncodeInfoFrame(f));
}

void extinfo::NoteFailure(const char* what) {
    Link& L = *link_;
    if (L.failureLogged) return;
    L.failureLogged = true;
    if (std::strcmp(what, "no reply") == 0) {
        DebugMessage("extinfo - no reply from infodriver %d ", iDevice);
    } else {
        DebugMessage("extinfo - infodriver %d %s - call failed ", iDevice, what);
    }
}

bool extinfo::Call(uint32_t message, int32_t wParam, int32_t lParam, int32_t* replyParam,
                   std::string* replyText) {
    Link& L = *link_;
    if (!L.sock.IsOpen() || L.ended) {
        NoteFailure("not attached");
        return false;
    }
    uint32_t id = ++L.nextId;
    if (id == 0) id = ++L.nextId;  // 0 marks one-way frames
    unsigned generation = L.generation;
    InfoFrame request;
    request.message = message;
    request.id = id;
    request.wParam = wParam;
    request.lParam = lParam;

    L.waiting.insert(id);
    ++L.depth;
    bool got = SendBytes(EncodeInfoFrame(request)) && WaitReply(id, generation, replyParam, replyText);
    --L.depth;
    L.waiting.erase(id);
    L.replies.erase(id);

    if (got) {
        L.failureLogged = false;
    } else if (L.generation == generation && L.sock.IsOpen() && !L.ended) {
        NoteFailure("no reply");
        L.unresponsive = true;
    }
    if (L.depth == 0) ScheduleDrain();
    return got;
}

// The wait of a synchronous call. Every pass handles one queued frame, finds
// the reply, reads more, or waits in poll() for at most the time left, so
// the whole wait ends at the deadline.
bool extinfo::WaitReply(uint32_t id, unsigned generation, int32_t* replyParam, std::string* replyText) {
    Link& L = *link_;
    // The bound is taken anew each pass: a frame that arrives meanwhile ends
    // the short wait of an unresponsive link and gives the call its full time.
    const auto start = Clock::now();
    auto currentDeadline = [&] { return start + (L.unresponsive ? kUnresponsiveBound : kReplyBound); };
    auto take = [&](InfoFrame& f) {
        if (replyParam != nullptr) *replyParam = f.wParam;
        if (replyText != nullptr) *replyText = std::move(f.text);
        return true;
    };
    // Picks every queued reply out of the queue, leaving the other frames in
    // order for whoever handles them next.
    auto pickReplies = [&] {
        for (auto it = L.queue.begin(); it != L.queue.end();) {
            if (it->message != kEndOfLink && it->IsReply()) {
                if (L.waiting.count(it->id) != 0) L.replies[it->id] = *it;
                L.queueBytes -= std::min(L.queueBytes, kInfoFrameFixed + it->text.size());
                it = L.queue.erase(it);
            } else {
                ++it;
            }
        }
    };

    for (;;) {
        const auto deadline = currentDeadline();
        if (L.generation != generation) return false;  // link closed or replaced meanwhile
        if (auto it = L.replies.find(id); it != L.replies.end()) return take(it->second);

        const bool dispatching = L.depth <= kMaxDispatchDepth;
        const bool late = Clock::now() >= deadline;
        if (dispatching && !late && !L.queue.empty()) {
            HandleQueued();
            continue;
        }
        if (!dispatching || late) {
            // Too deep to handle messages, or out of time while messages were
            // still queued ahead of the reply: take the reply if it is here.
            pickReplies();
            if (auto it = L.replies.find(id); it != L.replies.end()) return take(it->second);
            if (late) return false;
        }
        // An ended link's marker is handled from the queue above while
        // dispatching; here nothing more will come.
        if (L.ended || !L.sock.IsOpen()) return false;
        if (L.queueBytes >= kQueueMaxBytes) return false;  // only when too deep to work it down
        if (L.sock.WaitReadable(deadline) == InfoLink::WaitResult::kReady) ReadIncoming(kChunksPerRead);
    }
}

// ---------------------------------------------------------------------------
// Slots and modes

namespace {

// printf-style into a 512-byte buffer: at most kSlotWriteMax characters.
bool FormatSlotText(char (&text)[kSlotWriteMax + 1], const char* format, va_list args) {
    int n = std::vsnprintf(text, sizeof text, format != nullptr ? format : "", args);
    if (n < 0) {
        text[0] = '\0';
        return false;
    }
    return true;
}

// |slot| as sent on the link; INT_MIN has no positive counterpart.
bool AbsSlot(int slot, int* out) {
    if (slot == INT32_MIN) return false;
    *out = slot < 0 ? -slot : slot;
    return true;
}

}  // namespace

void extinfo::Remember(int slot, const char* text, size_t length) {
    Link& L = *link_;
    auto it = L.mirror.find(slot);
    if (it == L.mirror.end()) {
        // At the bound a new slot is not followed; it is read when needed.
        if (L.mirror.size() >= kMirrorMaxSlots) {
            if (!L.mirrorFullLogged) {
                L.mirrorFullLogged = true;
                DebugMessage("extinfo - slot mirror full at %zu slots - slot %d read when needed ",
                             kMirrorMaxSlots, slot);
            }
            return;
        }
        it = L.mirror.emplace(slot, Link::Mirrored{}).first;
    }
    // Kept as the driver sees a text: up to its first zero byte.
    it->second.text.assign(text, strnlen(text, std::min(length, static_cast<size_t>(kSlotWriteMax))));
    it->second.stamp = ++L.mirrorClock;
    it->second.handler = L.currentHandler;
}

bool extinfo::mirrored(int slot, std::string* text) const {
    auto it = link_->mirror.find(slot);
    if (it == link_->mirror.end()) return false;
    if (text != nullptr) *text = it->second.text;
    return true;
}

size_t extinfo::mirrorSize() const { return link_->mirror.size(); }

// A read waits for its reply and meanwhile dispatches whatever arrives, which
// may change the slot (a notification, or a nested handler's own write); both
// are at least as new as the reply, so an entry set during the wait is kept.
const std::string* extinfo::ReadThrough(int slot, int32_t* result) {
    Link& L = *link_;
    const uint64_t before = L.mirrorClock;
    const unsigned generation = L.generation;
    std::string text;
    *result = 0;
    const bool got = Call(XOV_SLOTREAD, slot, 0, result, &text);
    if (L.generation != generation) return nullptr;  // link closed meanwhile: the mirror is gone
    auto it = L.mirror.find(slot);
    const bool changedMeanwhile = it != L.mirror.end() && it->second.stamp > before;
    if (got && *result == 1 && !changedMeanwhile) {
        Remember(slot, text.data(), text.size());
        it = L.mirror.find(slot);
        if (it == L.mirror.end()) {  // mirror full: answer from the read alone
            L.unmirrored = std::move(text);
            return &L.unmirrored;
        }
    }
    return it != L.mirror.end() ? &it->second.text : nullptr;
}

void extinfo::WriteSlot(int slot, const char* text) {
    int absolute = 0;
    if (!AbsSlot(slot, &absolute)) {
        DebugMessage("extinfo - invalid slot %d - write dropped ", slot);
        return;
    }
    ++*txCount;
    // Both write messages land on the absolute slot. Only a write that went
    // out is mirrored (nothing is dispatched in between): one refused for a
    // lost link must not leave an entry that outlives the link's mirror.
    if (SendOneWay(slot >= 0 ? XOV_SLOTWRITE : XOV_SLOTWRITENEG, absolute, 0, text)) {
        Remember(absolute, text, std::strlen(text));
    }
}

void extinfo::setslot(int slot, const char* format, ...) {
    char text[kSlotWriteMax + 1];
    va_list args;
    va_start(args, format);
    bool ok = FormatSlotText(text, format, args);
    va_end(args);
    if (!ok) DebugMessage("extinfo - setslot %d: text could not be formatted ", slot);
    WriteSlot(slot, text);
}

bool extinfo::updateslot(int slot, const char* format, ...) {
    char text[kSlotWriteMax + 1];
    va_list args;
    va_start(args, format);
    bool ok = FormatSlotText(text, format, args);
    va_end(args);
    if (!ok) DebugMessage("extinfo - updateslot %d: text could not be formatted ", slot);
    int absolute = 0;
    if (!AbsSlot(slot, &absolute)) {
        DebugMessage("extinfo - invalid slot %d - write dropped ", slot);
        return false;
    }
    // Compared with the mirror's full text (a slot never seen is read once;
    // a failed read counts as changed). Nothing is dispatched between the
    // comparison and the write, so no newer change can slip in between.
    Link& L = *link_;
    const std::string* current = nullptr;
    auto it = L.mirror.find(absolute);
    if (it == L.mirror.end()) {
        int32_t result = 0;
        current = ReadThrough(absolute, &result);
        it = L.mirror.find(absolute);
    } else {
        current = &it->second.text;
    }
    // Set by a slot change dispatched after the one being handled here began:
    // that text is newer than ours, which must not replace it.
    if (it != L.mirror.end() && L.currentHandler != 0 && it->second.handler > L.currentHandler) return false;
    if (current != nullptr && *current == text) return false;
    WriteSlot(slot, text);
    return true;
}

namespace {

// Copies a slot text into a caller's 256-byte buffer: at most 255
// characters, and cut at an embedded zero as a C text would be.
void CopyOut(const std::string& text, char* buffer) {
    size_t n = std::min(text.size(), static_cast<size_t>(kSlotTextMax));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

int extinfo::getslot(int slot, char* buffer) {
    if (buffer == nullptr) return 0;
    buffer[0] = '\0';
    if (auto it = link_->mirror.find(slot); it != link_->mirror.end()) {
        CopyOut(it->second.text, buffer);
        return 1;
    }
    return readslot(slot, buffer);
}

int extinfo::readslot(int slot, char* buffer) {
    if (buffer == nullptr) return 0;
    buffer[0] = '\0';
    int32_t result = 0;
    const std::string* text = ReadThrough(slot, &result);
    if (text == nullptr) return result;  // failed (0) or refused by the Infodriver: ""
    CopyOut(*text, buffer);
    return 1;
}

bool extinfo::isattached() const { return link_->attached && link_->sock.IsOpen() && !link_->ended; }

bool extinfo::linklost() {
    Link& L = *link_;
    if (L.lost) return true;
    if (!L.attached || !L.sock.IsOpen() || L.ended) return L.lost;
    const auto now = Clock::now();
    if (now - L.lastLinkCheck < kLinkCheckInterval) return false;
    L.lastLinkCheck = now;
    if (!L.sock.PeerGone()) return false;
    // Queue what it sent before it went, then the end (reported in order by
    // the drain that EndLink schedules).
    ReadIncoming(kChunksPerRead);
    EndLink("closed by the infodriver");
    return true;
}

int extinfo::getmode() {
    int mode = 0;
    return querymode(&mode) ? mode : 0;
}

bool extinfo::querymode(int* mode) {
    int32_t answer = 0;
    if (!Call(XOV_GETMODE, 0, 0, &answer, nullptr)) return false;
    if (mode != nullptr) *mode = answer;
    return true;
}

void extinfo::setmode(int mode) {
    iMode = mode;
    switch (mode) {
        case IFMODE_RXONLY:
        case IFMODE_TXRX:
        case IFMODE_FORCETXRX:
        case IFMODE_RXONLYBROKEN:
            SendOneWay(XOV_SETMODE, mode, 0, "");
            break;
        default:
            // Not a mode the Infodriver takes: only ask, its mode stays.
            Call(XOV_GETMODE, 0, 0, nullptr, nullptr);
            break;
    }
}

}  // namespace vorn
