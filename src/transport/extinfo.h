#pragma once
// Client of the Infodriver link: attaches to the Infodriver of one device,
// reads and writes slot texts, asks and sets the driver mode, answers the
// Infodriver's mode requests, and turns its notifications into calls of one
// callback. Runs on the GUI thread.
//
// No handler inside a call: a notification (or mode request) that arrives
// while a call of this class waits for its reply is queued and handed to
// the callback after the call has returned, from the event loop, in arrival
// order (InfoCallEngine). The callback may call into the client.
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
// Slot mirror: for the slots it follows (followslots: the driver's panel
// blocks and its status slot, at most kMirrorMaxSlots) the client keeps the
// latest text it knows, read, written or announced, whole, and getslot and
// updateslot answer from it; a followed slot never seen is read once, any
// other slot every time. The Infodriver announces every write by another
// client, and a change is applied to the mirror when it is dispatched, so
// an echo made while handling one change compares with that change. A slot
// the client wrote stays unsettled until a later reply shows that every
// change queued before the write has been handled; a change handled
// meanwhile may be older than the write, and confirming such a slot always
// writes, so a derived write never wins over a newer client write
// (SlotMirror). The mirror is cleared whenever the link is closed or made
// anew.

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/info_call_engine.h"
#include "transport/slot_mirror.h"

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
// Slots the mirror holds at most: the driver's twelve blocks of 300 slots
// and its status slot. Further slots are read when needed.
constexpr size_t kMirrorMaxSlots = 12 * 300 + 1;

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
    // Follows slots first..last in the mirror from now on (a few ranges).
    void followslots(int first, int last);
    // Fills buffer (256 bytes) with the slot's zero-terminated text, at most
    // 255 characters, from the mirror when the slot is known, else read from
    // the Infodriver; the empty text when the read fails.
    int getslot(int slot, char* buffer);
    // As getslot, but always reads from the Infodriver (the start-up load).
    int readslot(int slot, char* buffer);
    // The mirror's whole text of a slot; false when the slot is not known.
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
    // Engine hooks: state frames at arrival, queued frames from the event
    // loop, proofs of order, the end of the link.
    bool TakeState(const InfoFrame& f);
    void Handle(InfoFrame& f);
    void LinkLost(const std::string& why);
    void CloseLink();
    void WriteSlot(int slot, const char* text);
    // The Infodriver's text of |slot| by a read, noted in the mirror; false
    // when the read failed (*result: the Infodriver's answer, 0 no answer).
    bool ReadThrough(int slot, std::string* text, int32_t* result);
    void Noted(bool stored, int slot);

    int ownTx_ = 0;
    int ownRx_ = 0;
    InfoCallEngine engine_;
    SlotMirror mirror_{kMirrorMaxSlots};
    int infoId_ = 0;              // the Infodriver's id from XOV_INFOWINDOW, 0 unknown
    bool attached_ = false;       // handshake done: a loss is reported
    bool disconnectNotified_ = false;
    bool lost_ = false;           // attached, and now known to be gone (linklost)
    bool mirrorFullLogged_ = false;
    InfoFrameLink::Clock::time_point lastLinkCheck_{};
};

}  // namespace vorn
