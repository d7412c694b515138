#include "mode_arbiter.h"

#include <algorithm>

namespace vorn {

ModeArbiter::ModeArbiter(const InfodriverOptions& options, ServerLog log, ClientConnections& connections,
                         DriverFence& fence)
    : options_(options), log_(std::move(log)), connections_(connections), fence_(fence) {}

void ModeArbiter::AddDevice(int device) { devices_[device].number = device; }

InfoClient* ModeArbiter::LiveDriver(uint64_t id) {
    InfoClient* client = connections_.Find(id);
    return client != nullptr && !client->dead && !client->eof && client->driver ? client : nullptr;
}

int ModeArbiter::ModeOf(const InfoClient& client) const {
    if (!client.driver) return 0;
    return devices_.at(client.device).main == client.id ? 2 : 1;
}

void ModeArbiter::SetMain(Device& device, uint64_t id, const std::string& why) {
    device.main = id;
    log_("device " + std::to_string(device.number) + ": client " + std::to_string(id) + " is main (TXRX): " + why);
}

void ModeArbiter::Attach(InfoClient& client) {
    Device& device = DeviceOf(client);
    client.detached = false;
    if (client.driver) return;  // attached already
    client.driver = true;
    device.drivers.push_back(client.id);
    const std::string who = client.Who();
    if (device.drivers.size() > 2) {
        connections_.Queue(client, InfoFrame{XOV_DEVICEIDINUSE, 0, 0, device.number & 0xFFFF, 0, ""});
        log_(who + " is a further driver client; told XOV_DEVICEIDINUSE, kept as reserve");
    }
    if (device.main != 0) {
        log_(who + " attached as reserve (RXONLY)");
    } else if (!Busy(device)) {
        SetMain(device, client.id, "attached while there was no main");
    } else {
        // An arbitration (or a fence) is running; decide once it is over.
        device.jobs.push_back(Job{JobKind::kClaimIfFree, client.id, {}});
        ++client.holds;
        log_(who + " attached during a mode change; waits for its outcome");
    }
}

void ModeArbiter::Detach(InfoClient& client) {
    Device& device = DeviceOf(client);
    client.detached = true;
    if (!client.driver) return;
    client.driver = false;
    device.drivers.erase(std::remove(device.drivers.begin(), device.drivers.end(), client.id), device.drivers.end());
    log_(client.Who() + " detached");
    if (device.pending && device.pending->client == client.id) device.pending->deadline = Clock::now();
    if (device.main == client.id) {
        device.main = 0;
        device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
    }
}

void ModeArbiter::SetMode(InfoClient& client, int mode) {
    Device& device = DeviceOf(client);
    const std::string who = client.Who();
    if (!client.driver) {
        log_(who + " sent XOV_SETMODE " + std::to_string(mode) + " without XOV_DEVATTACHED; ignored");
        return;
    }
    if (mode == 2 || mode == 3) {
        if (device.main == client.id) return;
        device.jobs.push_back(Job{JobKind::kTakeover, client.id, {}});
        ++client.holds;
        log_(who + " asks to be main (mode " + std::to_string(mode) + ")");
    } else if (mode == 1 || mode == 5) {
        if (device.main != client.id) return;
        device.main = 0;
        log_(who + " gives up main (mode " + std::to_string(mode) + ")");
        device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
    } else {
        log_(who + " sent XOV_SETMODE " + std::to_string(mode) + "; no change");
    }
}

bool ModeArbiter::OnReply(InfoClient& client, const InfoFrame& frame) {
    Device& device = DeviceOf(client);
    if (device.pending && device.pending->client == client.id && device.pending->requestId == frame.id &&
        device.pending->message == frame.message) {
        ResolvePending(device, frame.wParam == 1);
        return true;
    }
    if (frame.message == XOV_REQDEVGOTXRX && frame.id != 0 && frame.id == client.handOverId) {
        client.handOverId = 0;
        if (frame.wParam == 1 || device.main != client.id) return true;
        // Made main without being asked, and it does not want the role.
        device.main = 0;
        log_(client.Who() + " refused the main role it was handed; offering it to the others");
        device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
        return true;
    }
    return false;
}

void ModeArbiter::ClientLeft(InfoClient& client, ClientLeave how) {
    Device& device = DeviceOf(client);
    if (client.driver) {
        client.driver = false;
        device.drivers.erase(std::remove(device.drivers.begin(), device.drivers.end(), client.id),
                             device.drivers.end());
        if (device.main == client.id) {
            device.main = 0;
            if (how != ClientLeave::kCutOff) {
                log_("device " + std::to_string(device.number) + ": main client " + std::to_string(client.id) +
                     " left");
                device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
            } else if (fence_.Begin(client)) {
                device.fencing = client.id;
            } else {
                HandOverMain(device, client.id);
            }
        }
    }
    if (device.pending && device.pending->client == client.id) device.pending->deadline = Clock::now();
}

void ModeArbiter::InputEnded(const InfoClient& client) {
    Device& device = devices_.at(client.device);
    if (device.pending && device.pending->client == client.id) device.pending->deadline = Clock::now();
}

void ModeArbiter::FenceOver(int number) {
    Device& device = devices_.at(number);
    if (!device.fencing) return;
    const uint64_t leaving = *device.fencing;
    device.fencing.reset();
    HandOverMain(device, leaving);
}

// A main that stops answering leaves the panels undriven; the reserve has
// kept answering its probes, so it takes the role without being asked first
// and is then told, so that its driver re-reads its mode. A refusal of that
// notice gives the role up again (OnReply).
void ModeArbiter::HandOverMain(Device& device, uint64_t leaving) {
    const std::string dev = "device " + std::to_string(device.number);
    InfoClient* next = nullptr;
    for (uint64_t id : device.drivers) {
        if (id != leaving && (next = LiveDriver(id)) != nullptr) break;
    }
    if (next == nullptr) {
        log_(dev + ": main client " + std::to_string(leaving) + " was cut off; no driver client left to take main");
        return;
    }
    SetMain(device, next->id, "main client " + std::to_string(leaving) + " was cut off");
    next->handOverId = connections_.NextRequestId();
    connections_.Queue(*next, InfoFrame{XOV_REQDEVGOTXRX, next->handOverId, 0, 0, 0, ""});
}

void ModeArbiter::SendRequest(Device& device, InfoClient& target, uint32_t message) {
    uint32_t id = connections_.NextRequestId();
    auto deadline = target.eof || target.writeClosed ? Clock::now()
                                                     : Clock::now() + std::chrono::milliseconds(options_.requestTimeoutMs);
    // Set before queuing: a drop while queuing expires it at once.
    device.pending = Pending{target.id, id, message, deadline};
    log_("device " + std::to_string(device.number) + ": asking client " + std::to_string(target.id) + " " +
         ServerMessageName(message));
    connections_.Queue(target, InfoFrame{message, id, 0, 0, 0, ""});
}

void ModeArbiter::AdvanceAll() {
    // Arbitration steps may finish jobs, release held clients and so queue
    // new jobs; each pass finishes at least one job or stops.
    for (bool progress = true; progress;) {
        progress = false;
        for (auto& [number, device] : devices_) progress = AdvanceJobs(device) || progress;
    }
}

bool ModeArbiter::AdvanceJobs(Device& device) {
    bool progress = false;
    // Each pass finishes the front job or sends a request and returns.
    while (!device.fencing && !device.pending && !device.jobs.empty()) {
        Job& job = device.jobs.front();
        switch (job.kind) {
            case JobKind::kTakeover: {
                InfoClient* asker = LiveDriver(job.asker);
                if (asker != nullptr && device.main != asker->id) {
                    if (device.main == 0) {
                        SetMain(device, asker->id, "asked while there was no main");
                    } else {
                        SendRequest(device, *connections_.Find(device.main), XOV_REQDEVGORXONLY);
                        return progress;
                    }
                }
                break;
            }
            case JobKind::kClaimIfFree: {
                InfoClient* asker = LiveDriver(job.asker);
                if (asker != nullptr && device.main == 0) SetMain(device, asker->id, "attached while there was no main");
                break;
            }
            case JobKind::kOffer: {
                if (device.main != 0) break;
                InfoClient* candidate = nullptr;
                for (uint64_t id : device.drivers) {
                    if (job.offered.count(id) != 0) continue;
                    candidate = LiveDriver(id);
                    if (candidate != nullptr) break;
                }
                if (candidate != nullptr) {
                    job.offered.insert(candidate->id);
                    SendRequest(device, *candidate, XOV_REQDEVGOTXRX);
                    return progress;
                }
                if (!device.drivers.empty()) {
                    log_("device " + std::to_string(device.number) + ": no driver client took main; no main now");
                }
                break;
            }
        }
        FinishFrontJob(device);
        progress = true;
    }
    return progress;
}

void ModeArbiter::ResolvePending(Device& device, bool agreed) {
    Pending pending = *device.pending;
    device.pending.reset();
    if (device.jobs.empty()) return;
    Job& job = device.jobs.front();
    if (device.fencing) {
        // Nobody is made main before the cut-off main has ended: the front
        // job runs again once the role has been handed over, and a
        // candidate that agreed is asked again if the role is still free.
        if (agreed) job.offered.erase(pending.client);
        return;
    }
    const std::string target = "client " + std::to_string(pending.client);
    if (job.kind == JobKind::kTakeover) {
        InfoClient* asker = LiveDriver(job.asker);
        if (asker == nullptr) {
            log_("device " + std::to_string(device.number) + ": the client that asked for main is gone; no change");
        } else if (device.main == asker->id) {
            // Handed the role meanwhile (its main was cut off).
        } else if (device.main == 0) {
            SetMain(device, asker->id, "asked while there was no main");
        } else if (device.main != pending.client) {
            log_("device " + std::to_string(device.number) + ": client " + std::to_string(device.main) +
                 " became main meanwhile; client " + std::to_string(asker->id) + " stays RXONLY");
        } else if (agreed) {
            SetMain(device, asker->id, target + " agreed to go RXONLY");
        } else {
            log_("device " + std::to_string(device.number) + ": " + target +
                 " stays main (refused or did not answer); client " + std::to_string(asker->id) + " stays RXONLY");
        }
        FinishFrontJob(device);
    } else if (job.kind == JobKind::kOffer) {
        if (agreed && device.main == 0 && LiveDriver(pending.client) != nullptr) {
            SetMain(device, pending.client, "accepted the offer");
            FinishFrontJob(device);
        } else if (device.main != 0) {
            FinishFrontJob(device);  // the role was handed over meanwhile
        } else {
            // The next candidate is asked by AdvanceJobs.
            log_("device " + std::to_string(device.number) + ": " + target + " declined main");
        }
    }
}

void ModeArbiter::FinishFrontJob(Device& device) {
    Job job = std::move(device.jobs.front());
    device.jobs.pop_front();
    if (job.kind == JobKind::kOffer) return;
    InfoClient* asker = connections_.Find(job.asker);
    if (asker == nullptr || asker->dead) return;
    if (--asker->holds == 0) connections_.Drain(*asker);
}

void ModeArbiter::ExpireRequests(Clock::time_point now) {
    for (auto& [number, device] : devices_) {
        if (!device.pending || device.pending->deadline > now) continue;
        log_("device " + std::to_string(number) + ": no answer from client " + std::to_string(device.pending->client) +
             " to " + ServerMessageName(device.pending->message) + "; counted as refused");
        ResolvePending(device, false);
    }
}

std::optional<ModeArbiter::Clock::time_point> ModeArbiter::NextDeadline() const {
    std::optional<Clock::time_point> next;
    for (const auto& [number, device] : devices_) {
        if (device.pending && (!next || device.pending->deadline < *next)) next = device.pending->deadline;
    }
    return next;
}

std::vector<ModeArbiter::DriverClient> ModeArbiter::Drivers(int number) const {
    std::vector<DriverClient> out;
    auto it = devices_.find(number);
    if (it == devices_.end()) return out;
    for (uint64_t id : it->second.drivers) out.push_back({id, it->second.main == id ? 2 : 1});
    return out;
}

}  // namespace vorn
