#pragma once
// Client of the Infodriver link: attaches to the Infodriver of one device,
// reads and writes slot texts, asks and sets the driver mode, answers the
// Infodriver's mode requests, and turns its notifications into calls of one
// callback. Runs on the GUI thread; the callback may run inside any call of
// this class (the link handles incoming messages while it waits for a reply)
// and may call back into it: nested calls work, replies are matched by id.
//
// Bounds: a call whose reply is used waits at most about 2 s; a write that
// the Infodriver does not take within 5 s drops the link as disconnected
// (longer than the Infodriver's 3 s cut-off of a peer that drains
// nothing). A failed read leaves the empty text, a failed getmode gives 0;
// the failure is logged once until a call succeeds again.
//
// While attached, the client watches its socket through the seam, so the
// seam must stay installed until disconnect() (or destruction).
//
// Slot mirror: the client keeps the latest text it knows of every slot it
// has read, been told of (XOV_SLOTCHANGED) or written itself, and getslot
// and updateslot answer from it; only a slot never seen is read from the
// Infodriver (once). The Infodriver announces every write by another client,
// so the mirror is exact up to the notifications still in flight, and a
// notification is applied to the mirror only when it is dispatched: an echo
// made while handling one change compares with that change, never with a
// newer one that is still queued behind it. The mirror holds at most one
// entry per slot touched (texts cut at 511 bytes, kMirrorMaxSlots entries)
// and is cleared whenever the link is closed or made anew.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn {

enum InfoMode : int {
    IFMODE_NONE = 0,
    IFMODE_RXONLY = 1,
    IFMODE_TXRX = 2,
    IFMODE_FORCETXRX = 3,
    IFMODE_TXRXINQ = 4,
    IFMODE_RXONLYBROKEN = 5,
};

// Name of a mode 0..7 ("IFMODE_NONE" ... "6", "7"); "" for others.
const char* InfoModeName(int mode);

constexpr int kInfoInterfaceVersion = 109;
constexpr int kSlotTextMax = 255;     // getslot buffer holds 256 bytes
constexpr int kSlotWriteMax = 511;    // setslot/updateslot formatted text
constexpr int kInfoTextMax = 299;
// Slots the mirror follows at most: the reference Infodriver's slot limit per
// device. Further slots are not mirrored and are read when needed.
constexpr size_t kMirrorMaxSlots = 100000;

// Connect results and notification codes (iStatus).
enum InfoStatus : int {
    kInfoDisconnected = 3,
    kInfoDeviceZero = 4,
    kInfoNoInfodriver = 5,
    kInfoReqTxRx = 6,
    kInfoReqRxOnly = 7,
    kInfoInquiry = 8,
    kInfoNoClass = 9,
    kInfoSlotChanged = 15,
    kInfoDeviceIdInUse = 2190,
};

class extinfo {
public:
    using NotifyFn = void (*)(extinfo* client, int index, const char* text);

    explicit extinfo(int interfaceVersion);
    ~extinfo();
    extinfo(const extinfo&) = delete;
    extinfo& operator=(const extinfo&) = delete;

    // 15 attached, 4 device 0, 5 no Infodriver, 9 link unusable.
    int connect(int device, void* instance);
    void setnotify(NotifyFn callback);
    void setcounters(int* writeCounter, int* changeCounter);
    // Always writes (and counts) the formatted text (at most 511 characters).
    void setslot(int slot, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Writes only when the slot's text differs; true when it wrote.
    bool updateslot(int slot, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Fills buffer (256 bytes) with the slot's zero-terminated text, at most
    // 255 characters, from the mirror when the slot is known, else read from
    // the Infodriver; the empty text when the read fails.
    int getslot(int slot, char* buffer);
    // As getslot, but always reads from the Infodriver (the start-up load).
    int readslot(int slot, char* buffer);
    // The mirror's full text of a slot (at most 511 bytes); false when the
    // slot is not known.
    bool mirrored(int slot, std::string* text) const;
    size_t mirrorSize() const;
    int getmode();
    // The Infodriver's mode in *mode; false (and *mode untouched) when no
    // answer came, which getmode reports as 0 like a real mode 0.
    bool querymode(int* mode);
    void setmode(int mode);
    // True once the link, after it was attached, is known to be gone: the
    // Infodriver closed it or cut this driver off (a driver that was stopped
    // finds that when it runs again). Cheap enough for every panel frame: it
    // looks at the socket at most every 100 ms. A loss found here is reported
    // through notify like any other, from the event loop.
    bool linklost();
    // True while attached (handshake done, link not ended).
    bool isattached() const;
    // Leaves the link (announces the detach); the object can connect again.
    void disconnect();

    NotifyFn notify;
    int iDevice = 0;
    char infoText[kInfoTextMax + 1] = {};
    int iStatus = kInfoDisconnected;
    int iMode = IFMODE_TXRX;
    int devState = 0;
    // errno of the last connect that found no Infodriver (0 otherwise):
    // EACCES/EPERM mean the socket is there but this user may not use it.
    int connectError = 0;
    int* txCount;
    int* rxCount;

private:
    struct Link;  // socket, receive queue, pending calls (extinfo.cpp)

    // Synchronous call: sends the request and waits (bounded) for the reply
    // with the same id, handling every other incoming message meanwhile.
    // False when no reply came or the link went away.
    bool Call(uint32_t message, int32_t wParam, int32_t lParam, int32_t* replyParam, std::string* replyText);
    bool WaitReply(uint32_t id, unsigned generation, int32_t* replyParam, std::string* replyText);
    bool SendOneWay(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text);
    bool SendBytes(const std::string& bytes);
    bool ReadIncoming(int maxChunks);
    void HandleQueued();
    void DispatchQueued(int maxFrames);
    void ScheduleDrain();
    void OnReadable();
    void EndLink(const char* why);
    void LinkLost(const std::string& why);
    void CloseLink();
    int AnswerModeRequest(uint32_t message);
    void WriteSlot(int slot, const char* text);
    void NoteFailure(const char* what);
    // The Infodriver's text of |slot| by a read, merged into the mirror; the
    // mirror wins when the slot changed while the read waited. Null when the
    // read failed and the slot is not known.
    const std::string* ReadThrough(int slot, int32_t* result);
    void Remember(int slot, const char* text, size_t length);

    int ownTx_ = 0;
    int ownRx_ = 0;
    Link* link_ = nullptr;
};

}  // namespace vorn
