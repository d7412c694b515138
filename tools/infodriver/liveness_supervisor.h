#pragma once
// Liveness of the Infodriver's clients (docs/infodriver-link.md, "Liveness"
// and the drain cut-off):
// - every probeIntervalMs each driver client is sent an XOV_DATA request,
//   one at a time; its answer is due probeTimeoutMs after the socket took
//   it, and time during which the client is not read does not count;
// - a client that takes no byte for drainTimeoutMs while data waits for it
//   (a driver client: any data; others: more than the high-water mark).
// Who fails either is cut off (ClientConnections::Drop with kCutOff); what
// a cut-off main means is the arbitration's affair.
//
// Loop thread only.

#include <chrono>
#include <optional>

#include "client_connections.h"
#include "info_client.h"
#include "infodriver_options.h"

namespace vorn {

class LivenessSupervisor {
public:
    using Clock = std::chrono::steady_clock;

    LivenessSupervisor(const InfodriverOptions& options, ClientConnections& connections);

    // The client became a driver: its first probe goes one interval from now.
    void StartProbing(InfoClient& client);
    // The client is no driver any more: a late answer is logged as
    // unexpected, nothing else.
    void StopProbing(InfoClient& client);
    // An answer to the client's probe: true when it was one.
    bool OnReply(InfoClient& client, const InfoFrame& frame);

    // Sends due probes and cuts off who fails the probe or the drain rule.
    void Supervise(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;

private:
    void SendProbe(InfoClient& client, Clock::time_point now);
    static bool Probed(const InfoClient& client) { return client.driver && !client.eof && !client.writeClosed; }

    const InfodriverOptions& options_;
    ClientConnections& connections_;
};

}  // namespace vorn
