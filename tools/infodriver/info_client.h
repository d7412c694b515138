#pragma once
// One connection to the reference Infodriver, as the parts of the server see
// it. Plain data: ClientConnections owns the objects and their byte queues,
// ModeArbiter uses the driver role and the holds, LivenessSupervisor the
// probe and drain fields. All of it belongs to the server's loop thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "transport/info_frame.h"

namespace vorn {

// Receives one log line of the server ("infodriver: " is added there).
using ServerLog = std::function<void(const std::string&)>;

// Why a client leaves the server.
enum class ClientLeave {
    kFault,   // protocol error or lost peer
    kPolite,  // the peer closed after its last frame
    kCutOff,  // did not drain or answer in time; a main hands over at once
};

struct InfoClient {
    using Clock = std::chrono::steady_clock;

    uint64_t id = 0;
    int fd = -1;
    int device = 0;
    InfoFrameReader reader;
    std::deque<InfoFrame> inbox;   // frames waiting while `holds` > 0
    std::string out;               // encoded frames not yet written
    size_t outOffset = 0;
    bool driver = false;           // sent XOV_DEVATTACHED (and not XOV_DEVCLOSE since)
    bool detached = false;         // sent XOV_DEVCLOSE: gets no more notifications
    bool eof = false;              // peer closed; dropped once its inbox is done
    // The peer takes no more data (it closed): nothing is queued for it
    // any more, but what it sent before is still read and handled.
    bool writeClosed = false;
    bool dead = false;             // dropped; closed at the end of the round
    int holds = 0;                 // arbitration jobs this client waits for
    size_t inboxBytes = 0;         // payload bytes of the frames in `inbox`
    uint64_t queuedTotal = 0;      // bytes ever queued for the client
    uint64_t sentTotal = 0;        // bytes ever taken by its socket
    // Since when data has waited for the client without its socket taking
    // a byte (set only while the drain rule applies to it).
    std::optional<Clock::time_point> stalledSince;
    // Liveness probe (driver clients): request id of the XOV_DATA that
    // waits for its answer (0 none), the stream position (queuedTotal)
    // where it ends, when it was queued, its deadline once the socket has
    // taken it, and when the next one is due.
    uint32_t probeId = 0;
    uint64_t probeEnd = 0;
    Clock::time_point probeSentAt{};
    std::optional<Clock::time_point> probeDue;
    Clock::time_point nextProbeAt{};
    uint32_t handOverId = 0;       // XOV_REQDEVGOTXRX telling it that it was made main

    size_t Queued() const { return out.size() - outOffset; }
    // "device N: client C", the start of most log lines about the client.
    std::string Who() const { return "device " + std::to_string(device) + ": client " + std::to_string(id); }
};

// Name of a message the server sends, for log lines ("message" for others).
inline const char* ServerMessageName(uint32_t m) {
    switch (m) {
        case XOV_REQDEVGORXONLY: return "XOV_REQDEVGORXONLY";
        case XOV_REQDEVGOTXRX: return "XOV_REQDEVGOTXRX";
        case XOV_INQDEVGOTXRX: return "XOV_INQDEVGOTXRX";
        case XOV_INFOWINDOW: return "XOV_INFOWINDOW";
        case XOV_DEVSTATE: return "XOV_DEVSTATE";
        case XOV_SLOTCHANGED: return "XOV_SLOTCHANGED";
        case XOV_INFOTEXT: return "XOV_INFOTEXT";
        case XOV_INFODISCONNECTED: return "XOV_INFODISCONNECTED";
        case XOV_DEVICEIDINUSE: return "XOV_DEVICEIDINUSE";
        case XOV_DATA: return "XOV_DATA";
        default: return "message";
    }
}

}  // namespace vorn
