#pragma once
// Main/reserve arbitration of the Infodriver's driver clients, per device
// (tools/infodriver/README.md, "Modes"). At most one driver client is main.
// Hand-overs that need a client's consent are jobs, one at a time per device
// and in order; each asks one client with XOV_REQDEVGORXONLY or
// XOV_REQDEVGOTXRX and never blocks the loop: the reply (or its absence
// after requestTimeoutMs) decides. A client whose own mode request or attach
// is being decided holds its later frames (InfoClient::holds), so that its
// next XOV_GETMODE sees the outcome.
//
// A main that is cut off hands the role at once to the next driver client in
// attach order. With fencing, the hand-over first waits until DriverFence has
// ended the old main's process (FenceOver); meanwhile nobody is made main by
// any road, and jobs wait.
//
// Loop thread only.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client_connections.h"
#include "driver_fence.h"
#include "info_client.h"
#include "infodriver_options.h"

namespace vorn {

class ModeArbiter {
public:
    struct DriverClient {
        uint64_t id;
        int mode;  // 2 main (TXRX), 1 reserve (RXONLY)
    };

    ModeArbiter(const InfodriverOptions& options, ServerLog log, ClientConnections& connections, DriverFence& fence);

    void AddDevice(int device);

    // XOV_DEVATTACHED, XOV_DEVCLOSE and XOV_SETMODE of a client.
    void Attach(InfoClient& client);
    void Detach(InfoClient& client);
    void SetMode(InfoClient& client, int mode);
    // What XOV_GETMODE answers: 2 main, 1 other driver clients, 0 others.
    int ModeOf(const InfoClient& client) const;
    // A reply to one of the arbitration's requests: true when it was one.
    bool OnReply(InfoClient& client, const InfoFrame& frame);
    // The client left (ClientConnections::Drop) and gives up its roles. A
    // main that leaves is offered to the others in turn; one that was cut
    // off is handed over at once (after its fence).
    void ClientLeft(InfoClient& client, ClientLeave how);
    // The client's input ended: a request waiting for it counts as refused.
    void InputEnded(const InfoClient& client);
    // The fence of the device's cut-off main is over: hand the role over.
    void FenceOver(int device);

    // Requests not answered in time count as refused.
    void ExpireRequests(std::chrono::steady_clock::time_point now);
    // Runs the jobs of every device as far as they go without an answer.
    void AdvanceAll();
    std::optional<std::chrono::steady_clock::time_point> NextDeadline() const;

    std::vector<DriverClient> Drivers(int device) const;

private:
    using Clock = std::chrono::steady_clock;

    enum class JobKind {
        kTakeover,     // asker wants main: ask the current main to step down
        kClaimIfFree,  // asker attached during arbitration: main if none afterwards
        kOffer,        // no main: offer it to the driver clients in attach order
    };
    struct Job {
        JobKind kind;
        uint64_t asker = 0;             // kTakeover, kClaimIfFree
        std::set<uint64_t> offered;     // kOffer: asked already (or the one that left)
    };
    struct Pending {
        uint64_t client;
        uint32_t requestId;
        uint32_t message;
        Clock::time_point deadline;
    };
    struct Device {
        int number = 0;
        std::vector<uint64_t> drivers;  // attach order
        uint64_t main = 0;
        std::deque<Job> jobs;           // one at a time; at most one per client plus offers
        std::optional<Pending> pending;
        // The cut-off main whose process is being ended; the hand-over waits.
        std::optional<uint64_t> fencing;
    };

    Device& DeviceOf(const InfoClient& client) { return devices_.at(client.device); }
    bool Busy(const Device& device) const {
        return device.pending.has_value() || !device.jobs.empty() || device.fencing.has_value();
    }
    InfoClient* LiveDriver(uint64_t id);
    void SetMain(Device& device, uint64_t id, const std::string& why);
    void HandOverMain(Device& device, uint64_t leaving);
    void SendRequest(Device& device, InfoClient& target, uint32_t message);
    bool AdvanceJobs(Device& device);
    void ResolvePending(Device& device, bool agreed);
    void FinishFrontJob(Device& device);

    const InfodriverOptions& options_;
    ServerLog log_;
    ClientConnections& connections_;
    DriverFence& fence_;
    std::map<int, Device> devices_;
};

}  // namespace vorn
