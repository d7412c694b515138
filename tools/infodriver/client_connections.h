#pragma once
// The Infodriver's client connections and their queues: accepting, reading
// frames into each client's inbox, writing its outgoing queue, and the flow
// control between them (docs/infodriver-link.md, "Flow control"):
// - a client's outgoing queue above the high-water mark holds the slot
//   writes of every client of its device until every queue of the device is
//   at or below the low-water mark; held frames wait in order in the
//   writer's inbox (bounded, below) and then in its socket;
// - a client's own requests wait while its own queue is above the mark;
// - a queue that would pass the hard cap costs the client its connection.
// What a frame means is not decided here: frames whose turn has come and
// replies go to ConnectionEvents, as do the ends of clients.
//
// Loop thread only.

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "info_client.h"
#include "infodriver_options.h"

namespace vorn {

class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    // A request or one-way frame whose turn has come, in the client's order.
    virtual void OnFrame(InfoClient& client, const InfoFrame& frame) = 0;
    // A reply: handled as it arrives, never kept.
    virtual void OnReply(InfoClient& client, const InfoFrame& frame) = 0;
    // The peer closed; frames it sent before may still wait in its inbox.
    virtual void OnInputEnded(InfoClient& client) = 0;
    // The client was dropped: logged, marked dead and out of its device's
    // list; its queues are cleared after this returns.
    virtual void OnDropped(InfoClient& client, ClientLeave how) = 0;
};

class ClientConnections {
public:
    ClientConnections(const InfodriverOptions& options, ServerLog log, ConnectionEvents& events);
    ~ClientConnections();  // closes every client socket
    ClientConnections(const ClientConnections&) = delete;
    ClientConnections& operator=(const ClientConnections&) = delete;

    void AddDevice(int device);
    // Takes the waiting connections of a device's listening socket (at most
    // a few per call; the rest wait in the backlog).
    void Accept(int device, int listenFd);

    // Poll events the client's socket is watched for (0: not watched). A
    // client that is not read is left out: a hang-up would wake the loop
    // over and over; it is seen once the client is read again.
    short PollEvents(const InfoClient& client) const;
    void Read(InfoClient& client);
    void Write(InfoClient& client);
    void WriteAll();
    // Whether the client's socket is read (its inbox has room, no EOF yet).
    bool WantsInput(const InfoClient& client) const;

    void Queue(InfoClient& client, const InfoFrame& frame);
    void QueueBytes(InfoClient& client, const std::string& bytes);
    // Answers a request (nothing for a one-way use of a request message).
    void Reply(InfoClient& client, const InfoFrame& request, int32_t wParam, std::string text = {});
    // The encoded frame to every other client of the device that still takes
    // notifications (the XOV_SLOTCHANGED of a write).
    void Announce(const InfoClient& writer, const std::string& bytes);

    // Marks the client dead (closed at the end of the round), logs why and
    // tells ConnectionEvents::OnDropped.
    void Drop(InfoClient& client, const std::string& reason, ClientLeave how = ClientLeave::kFault);
    // Hands waiting inbox frames to OnFrame up to the first that has to wait.
    void Drain(InfoClient& client);
    // Lifts holds whose queues are all low again and drains waiting inboxes,
    // starting at a different client each time.
    void ResumeHeld();
    void SweepDead();
    // Shutdown: XOV_INFODISCONNECTED to every client, written within
    // `within`, then every socket closed.
    void Goodbye(std::chrono::milliseconds within);

    // Request ids of the frames the server sends: one sequence, never 0, so
    // that a reply names one request.
    uint32_t NextRequestId();

    InfoClient* Find(uint64_t id);
    std::map<uint64_t, std::unique_ptr<InfoClient>>& all() { return clients_; }
    const std::map<uint64_t, std::unique_ptr<InfoClient>>& all() const { return clients_; }
    // Clients of a device in connect order.
    const std::vector<uint64_t>& ClientsOf(int device) const { return devices_.at(device).clients; }
    size_t PeakQueued() const { return peakQueued_; }

private:
    struct DeviceQueues {
        std::vector<uint64_t> clients;  // connect order
        // Slot writes wait: a queue went above the high-water mark and not
        // every queue is back at the low-water mark yet.
        bool held = false;
        std::optional<std::chrono::steady_clock::time_point> lastHoldLog;
        size_t resumeCursor = 0;        // where the next resume pass starts (fairness)
    };

    bool MayDispatch(const InfoClient& client, const InfoFrame& frame) const;

    const InfodriverOptions& options_;
    ServerLog log_;
    ConnectionEvents& events_;
    std::map<int, DeviceQueues> devices_;
    std::map<uint64_t, std::unique_ptr<InfoClient>> clients_;
    uint64_t nextClientId_ = 1;
    uint32_t nextRequestId_ = 1;
    size_t peakQueued_ = 0;
};

}  // namespace vorn
