#include "transport/extinfo.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/diagnostics.h"
#include "core/seam.h"
#include "transport/info_frame.h"
#include "transport/mode_request_policy.h"

namespace vorn {

namespace {

// How often linklost() looks at the socket itself (one poll() call).
constexpr auto kLinkCheckInterval = std::chrono::milliseconds(100);

void NoNotify(extinfo*, int, const char*) {}

const char* const kModeNames[8] = {"IFMODE_NONE", "IFMODE_RXONLY", "IFMODE_TXRX", "IFMODE_FORCETXRX", "IFMODE_TXRXINQ",
                                   "IFMODE_RXONLYBROKEN", "6", "7"};

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

// Copies a slot text into a caller's 256-byte buffer: at most 255
// characters, and cut at an embedded zero as a C text would be.
void CopyOut(const std::string& text, char* buffer) {
    size_t n = std::min(text.size(), static_cast<size_t>(kSlotTextMax));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

const char* InfoModeName(int mode) { return (mode >= 0 && mode < 8) ? kModeNames[mode] : ""; }

extinfo::extinfo(int interfaceVersion)
    : notify(NoNotify),
      txCount(&ownTx_),
      rxCount(&ownRx_),
      engine_(InfoCallEngine::Hooks{
          [this](const InfoFrame& f) { return TakeState(f); },
          [this](InfoFrame& f) { Handle(f); },
          [this](uint64_t seq) { mirror_.Settle(seq); },
          [this](const std::string& why) { LinkLost(why); },
      }) {
    if (interfaceVersion != kInfoInterfaceVersion) {
        if (HasSeam()) {
            GetSeam().MessageBox("Error", "Header doesn't match library");
        } else {
            std::fprintf(stderr, "Error: Header doesn't match library\n");
        }
    }
}

extinfo::~extinfo() { disconnect(); }

void extinfo::setnotify(NotifyFn callback) { notify = callback != nullptr ? callback : NoNotify; }

void extinfo::setcounters(int* writeCounter, int* changeCounter) {
    txCount = writeCounter != nullptr ? writeCounter : &ownTx_;
    rxCount = changeCounter != nullptr ? changeCounter : &ownRx_;
}

void extinfo::followslots(int first, int last) {
    if (!mirror_.Follow(first, last)) DebugMessage("extinfo - slots %d..%d not followed ", first, last);
}

// ---------------------------------------------------------------------------
// Attach and detach

int extinfo::connect(int device, void* /*instance*/) {
    if (engine_.link().IsOpen()) disconnect();  // a second connect replaces the link
    iStatus = kInfoSlotChanged;
    if (device == 0) {
        iStatus = kInfoDeviceZero;
        return kInfoDeviceZero;
    }
    iDevice = device;
    engine_.SetDevice(device);
    connectError = 0;
    infoId_ = 0;
    attached_ = false;
    lost_ = false;
    disconnectNotified_ = false;

    std::string path = InfoSocketPath(device);
    int error = 0;
    switch (engine_.link().Open(path, device, &error)) {
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

    // The Infodriver sends XOV_INFOWINDOW (and perhaps XOV_DEVSTATE) before
    // its reply; other messages that come meanwhile wait for the event loop.
    int32_t found = 0;
    bool ok = engine_.Call(XOV_DEVFIND, 0, device, &found, nullptr) && found == 1 && infoId_ != 0;
    if (ok) ok = engine_.Send(XOV_DEVATTACHED, 0, 0, "");
    if (ok && devState == 0) ok = engine_.Send(XOV_DEVQUERY, 0, 0, "");
    if (!ok || !engine_.Usable()) {
        DebugMessage("extinfo - infodriver %d did not accept the attach ", device);
        CloseLink();
        iStatus = kInfoNoInfodriver;
        return kInfoNoInfodriver;
    }
    attached_ = true;
    if (!HasSeam()) DebugMessage("extinfo - no event loop: infodriver %d is heard only during calls ", device);
    engine_.Watch();  // also hands on what came right behind the handshake
    return kInfoSlotChanged;
}

void extinfo::disconnect() {
    if (!engine_.link().IsOpen()) return;
    if (engine_.Usable()) engine_.Send(XOV_DEVCLOSE, 0, iDevice, "");
    CloseLink();
}

// Closes the socket and forgets everything that belonged to it.
void extinfo::CloseLink() {
    engine_.Reset();
    mirror_.Clear();
    mirrorFullLogged_ = false;
    infoId_ = 0;
    attached_ = false;
}

// The end of the link, in order behind everything received before it:
// closes the socket and reports the disconnection once (only once attached;
// during the handshake connect reports the failure itself).
void extinfo::LinkLost(const std::string& why) {
    const bool report = attached_ && !disconnectNotified_;
    if (attached_) lost_ = true;
    DebugMessage("extinfo - link to infodriver %d lost: %s ", iDevice, why.c_str());
    CloseLink();
    if (report) {
        disconnectNotified_ = true;
        iStatus = kInfoDisconnected;
        notify(this, 0, "Infodriver has disconnected");
    }
}

bool extinfo::isattached() const { return attached_ && engine_.Usable(); }

bool extinfo::linklost() {
    if (lost_) return true;
    if (!attached_) return false;
    if (engine_.Ended()) return lost_ = true;  // reported from the event loop
    const auto now = InfoFrameLink::Clock::now();
    if (now - lastLinkCheck_ < kLinkCheckInterval) return false;
    lastLinkCheck_ = now;
    if (engine_.CheckPeerGone()) lost_ = true;
    return lost_;
}

// ---------------------------------------------------------------------------
// Receiving

// State the Infodriver sends that runs no handler: taken when it arrives,
// also during a call (the handshake needs XOV_INFOWINDOW before its reply).
bool extinfo::TakeState(const InfoFrame& f) {
    switch (f.message) {
        case XOV_INFOWINDOW:
            infoId_ = f.wParam;
            return true;
        case XOV_DEVSTATE:
            devState = f.wParam;
            return true;
        case XOV_INFOTEXT: {
            size_t n = std::min(f.text.size(), static_cast<size_t>(kInfoTextMax));
            std::memcpy(infoText, f.text.data(), n);
            infoText[n] = '\0';
            return true;
        }
        default:
            return false;
    }
}

// A queued frame, from the event loop, in arrival order: no call of the
// driver is waiting further up the stack.
void extinfo::Handle(InfoFrame& f) {
    int32_t result = 0;
    switch (f.message) {
        case XOV_INFOWINDOW:
        case XOV_DEVSTATE:
        case XOV_INFOTEXT:
            TakeState(f);  // as a request: taken now, answered below
            break;
        case XOV_DATA:
            break;  // one-way: nothing (probes are answered when they arrive)
        case XOV_SLOTCHANGED:
            // Applied now, in dispatch order: a handler's echo compares with
            // this change, not with a newer one still queued.
            if (f.wParam >= 0) Noted(mirror_.Changed(f.wParam, f.text), f.wParam);
            ++*rxCount;
            iStatus = kInfoSlotChanged;
            notify(this, f.wParam, f.text.c_str());
            result = 1;
            break;
        case XOV_INFODISCONNECTED:
            // The Infodriver is going away; the close that follows is not
            // reported a second time.
            if (!disconnectNotified_) {
                disconnectNotified_ = true;
                iStatus = kInfoDisconnected;
                notify(this, 0, "Infodriver has disconnected");
            }
            break;
        case XOV_REQDEVGORXONLY:
        case XOV_REQDEVGOTXRX:
        case XOV_INQDEVGOTXRX: {
            const ModeRequestPolicy::Answer answer = ModeRequestPolicy::Decide(f.message, iMode, iDevice);
            result = answer.reply;
            if (answer.status >= 0) {
                iStatus = answer.status;
                notify(this, 0, answer.text.c_str());
            }
            break;
        }
        case XOV_DEVICEIDINUSE:
            iStatus = kInfoDeviceIdInUse;
            notify(this, f.wParam & 0xFFFF, "Device ID in use");
            break;
        default:
            DebugMessage("extinfo - unexpected message %u from infodriver %d ignored ", f.message, iDevice);
            break;
    }
    // The handler may have closed or replaced the link (notify is free to
    // call disconnect); the engine then sends nothing.
    if (f.id != 0) engine_.Reply(f, result);
}

// ---------------------------------------------------------------------------
// Slots and modes

void extinfo::Noted(bool stored, int slot) {
    if (stored || mirrorFullLogged_) return;
    mirrorFullLogged_ = true;
    DebugMessage("extinfo - slot mirror full at %zu slots - slot %d read when needed ", kMirrorMaxSlots, slot);
}

bool extinfo::mirrored(int slot, std::string* text) const {
    const std::string* known = mirror_.Text(slot);
    if (known == nullptr) return false;
    if (text != nullptr) *text = *known;
    return true;
}

size_t extinfo::mirrorSize() const { return mirror_.Size(); }

// Nothing is dispatched while the read waits: what it returns is the slot's
// text now, newer than any change still queued (SlotMirror::Read).
bool extinfo::ReadThrough(int slot, std::string* text, int32_t* result) {
    uint64_t seq = 0;
    *result = 0;
    if (!engine_.Call(XOV_SLOTREAD, slot, 0, result, text, &seq) || *result != 1) {
        text->clear();
        return false;
    }
    Noted(mirror_.Read(slot, *text, seq), slot);
    return true;
}

void extinfo::WriteSlot(int slot, const char* text) {
    int absolute = 0;
    if (!AbsSlot(slot, &absolute)) {
        DebugMessage("extinfo - invalid slot %d - write dropped ", slot);
        return;
    }
    ++*txCount;
    // Both write messages land on the absolute slot. Only a write that went
    // out is mirrored: one refused for a lost link must not leave an entry
    // that outlives the link's mirror.
    uint64_t seq = 0;
    if (engine_.Send(slot >= 0 ? XOV_SLOTWRITE : XOV_SLOTWRITENEG, absolute, 0, text, &seq) &&
        mirror_.Follows(absolute)) {
        Noted(mirror_.Wrote(absolute, text, seq), absolute);
        engine_.WantProof(seq);  // settles the slot soon, whatever the driver does next
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
    // Compared with the mirror's whole text; a slot it does not know is read
    // (a failed read counts as changed). Nothing is dispatched between the
    // comparison and the write, so no newer change can slip in between.
    switch (mirror_.Compare(absolute, text)) {
        case SlotMirror::Verdict::kSame:
            return false;
        case SlotMirror::Verdict::kWrite:
            break;
        case SlotMirror::Verdict::kUnknown: {
            std::string current;
            int32_t result = 0;
            if (ReadThrough(absolute, &current, &result) && current == text) return false;
            break;
        }
    }
    WriteSlot(slot, text);
    return true;
}

int extinfo::getslot(int slot, char* buffer) {
    if (buffer == nullptr) return 0;
    if (const std::string* known = mirror_.Text(slot)) {
        CopyOut(*known, buffer);
        return 1;
    }
    return readslot(slot, buffer);
}

int extinfo::readslot(int slot, char* buffer) {
    if (buffer == nullptr) return 0;
    buffer[0] = '\0';
    std::string text;
    int32_t result = 0;
    if (!ReadThrough(slot, &text, &result)) return result;  // failed (0) or refused by the Infodriver: ""
    CopyOut(text, buffer);
    return 1;
}

int extinfo::getmode() {
    int mode = 0;
    return querymode(&mode) ? mode : 0;
}

bool extinfo::querymode(int* mode) {
    int32_t answer = 0;
    if (!engine_.Call(XOV_GETMODE, 0, 0, &answer, nullptr)) return false;
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
            engine_.Send(XOV_SETMODE, mode, 0, "");
            break;
        default:
            // Not a mode the Infodriver takes: only ask, its mode stays.
            engine_.Call(XOV_GETMODE, 0, 0, nullptr, nullptr);
            break;
    }
}

}  // namespace vorn
