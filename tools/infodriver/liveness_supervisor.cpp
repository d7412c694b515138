#include "liveness_supervisor.h"

#include <algorithm>

namespace vorn {

namespace {

long long MsSince(LivenessSupervisor::Clock::time_point then, LivenessSupervisor::Clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
}

}  // namespace

LivenessSupervisor::LivenessSupervisor(const InfodriverOptions& options, ClientConnections& connections)
    : options_(options), connections_(connections) {}

void LivenessSupervisor::StartProbing(InfoClient& client) {
    client.probeId = 0;
    client.probeDue.reset();
    client.nextProbeAt = Clock::now() + std::chrono::milliseconds(options_.probeIntervalMs);
}

void LivenessSupervisor::StopProbing(InfoClient& client) {
    client.probeId = 0;
    client.probeDue.reset();
}

bool LivenessSupervisor::OnReply(InfoClient& client, const InfoFrame& frame) {
    if (frame.message != XOV_DATA || frame.id == 0 || frame.id != client.probeId) return false;
    client.probeId = 0;
    client.probeDue.reset();
    // Keeps the cadence; a late answer makes the next probe go at once.
    client.nextProbeAt = client.probeSentAt + std::chrono::milliseconds(options_.probeIntervalMs);
    return true;
}

void LivenessSupervisor::SendProbe(InfoClient& client, Clock::time_point now) {
    client.probeId = connections_.NextRequestId();
    client.probeSentAt = now;
    client.probeDue.reset();
    connections_.Queue(client, InfoFrame{XOV_DATA, client.probeId, 0, 0, 0, ""});
    client.probeEnd = client.queuedTotal;
}

void LivenessSupervisor::Supervise(Clock::time_point now) {
    const auto probeTimeout = std::chrono::milliseconds(options_.probeTimeoutMs);
    const auto drainTimeout = std::chrono::milliseconds(options_.drainTimeoutMs);
    // Cut-offs only mark clients dead (and queue frames for others), so the
    // map stays as it is during the walk.
    for (auto& [id, owned] : connections_.all()) {
        InfoClient& client = *owned;
        if (client.dead) continue;
        if (Probed(client)) {
            if (client.probeId == 0) {
                if (now >= client.nextProbeAt) SendProbe(client, now);
            } else if (client.probeDue && !connections_.WantsInput(client)) {
                // Its answer could be waiting behind frames we do not read yet.
                client.probeDue = std::max(*client.probeDue, now + probeTimeout);
            } else if (client.probeDue && now >= *client.probeDue) {
                connections_.Read(client);  // an answer that came after poll() returned
                // A client that closed meanwhile keeps its last frames (it
                // is dropped once they are handled).
                if (!client.dead && !client.eof && client.probeId != 0) {
                    connections_.Drop(client,
                                      "did not answer the liveness check within " +
                                          std::to_string(options_.probeTimeoutMs) + " ms",
                                      ClientLeave::kCutOff);
                }
                if (client.dead) continue;
            }
        }
        // The drain rule. Data queued here that the socket will take is
        // written below; the write clears the mark again.
        const bool applies =
            client.Queued() > 0 && (client.driver || client.Queued() > options_.queueHighWaterBytes);
        if (!applies) {
            client.stalledSince.reset();
        } else if (!client.stalledSince) {
            client.stalledSince = now;
        } else if (now - *client.stalledSince >= drainTimeout) {
            connections_.Drop(client,
                              "took no data for " + std::to_string(MsSince(*client.stalledSince, now)) + " ms with " +
                                  std::to_string(client.Queued()) + " bytes waiting",
                              ClientLeave::kCutOff);
        }
    }
}

std::optional<LivenessSupervisor::Clock::time_point> LivenessSupervisor::NextDeadline() const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (const auto& [id, client] : connections_.all()) {
        if (client->dead) continue;
        if (Probed(*client)) {
            if (client->probeId == 0) {
                consider(client->nextProbeAt);
            } else if (client->probeDue) {
                consider(*client->probeDue);
            }
        }
        if (client->stalledSince) consider(*client->stalledSince + std::chrono::milliseconds(options_.drainTimeoutMs));
    }
    return next;
}

}  // namespace vorn
