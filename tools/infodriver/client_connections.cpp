#include "client_connections.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

using Clock = std::chrono::steady_clock;

// Frames parsed from one client and not yet handled (while it waits for
// arbitration, while its slot writes are held, or while its own queue is
// above the high-water mark). At this many frames or bytes the socket is no
// longer read until the inbox is worked down; one read can still add what it
// brought. Replies are never kept: they are handled as they arrive.
constexpr size_t kInboxLimit = 256;
constexpr size_t kInboxBytes = 256u << 10;
// A hold of the slot writes is logged at most this often per device.
constexpr auto kHoldLogEvery = std::chrono::seconds(10);
// One read from a client; the socket stays readable if more is waiting.
constexpr size_t kReadChunk = 65536;
// New connections taken per listener and round; the rest wait in the backlog.
constexpr int kAcceptPerRound = 32;

bool IsSlotWrite(const InfoFrame& frame) {
    return frame.message == XOV_SLOTWRITE || frame.message == XOV_SLOTWRITENEG;
}

}  // namespace

ClientConnections::ClientConnections(const InfodriverOptions& options, ServerLog log, ConnectionEvents& events)
    : options_(options), log_(std::move(log)), events_(events) {}

ClientConnections::~ClientConnections() {
    for (auto& [id, client] : clients_) {
        if (client->fd >= 0) close(client->fd);
    }
}

void ClientConnections::AddDevice(int device) { devices_[device]; }

void ClientConnections::Accept(int device, int listenFd) {
    for (int i = 0; i < kAcceptPerRound; ++i) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) log_(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        if (clients_.size() >= options_.maxClients) {
            log_("device " + std::to_string(device) + ": more than " + std::to_string(options_.maxClients) +
                 " clients; connection refused");
            close(fd);
            continue;
        }
        auto client = std::make_unique<InfoClient>();
        client->id = nextClientId_++;
        client->fd = fd;
        client->device = device;
        devices_.at(device).clients.push_back(client->id);
        log_(client->Who() + " connected");
        clients_.emplace(client->id, std::move(client));
    }
}

short ClientConnections::PollEvents(const InfoClient& client) const {
    short events = 0;
    if (WantsInput(client)) events |= POLLIN;
    if (client.Queued() > 0) events |= POLLOUT;
    return events;
}

void ClientConnections::Read(InfoClient& client) {
    char buf[kReadChunk];
    ssize_t n = read(client.fd, buf, sizeof buf);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        Drop(client, std::string("read failed: ") + std::strerror(errno));
        return;
    }
    if (n == 0) {
        if (client.reader.Buffered() > 0) {
            Drop(client, "connection closed in the middle of a frame");
            return;
        }
        client.eof = true;
        events_.OnInputEnded(client);
        Drain(client);  // drops the client now unless frames still wait for arbitration
        return;
    }
    client.reader.Append(buf, static_cast<size_t>(n));
    InfoFrame frame;
    // Bounded by what one read brought.
    while (!client.dead) {
        InfoFrameReader::Result result = client.reader.Next(frame);
        if (result == InfoFrameReader::Result::kNeedMore) break;
        if (result == InfoFrameReader::Result::kError) {
            Drop(client, "frame length outside " + std::to_string(kInfoFrameFixed) + ".." +
                             std::to_string(kInfoFrameMaxPayload) + " bytes");
            break;
        }
        if (!IsKnownInfoMessage(frame.message)) {
            Drop(client, "unknown message number " + std::to_string(frame.message));
            break;
        }
        if (frame.IsReply()) {
            events_.OnReply(client, frame);
        } else {
            client.inboxBytes += kInfoFrameFixed + frame.text.size();
            client.inbox.push_back(std::move(frame));
            Drain(client);
        }
    }
}

void ClientConnections::Write(InfoClient& client) {
    // Bounded by the queue; stops when the socket is full.
    auto noteProgress = [&](size_t n) {
        client.outOffset += n;
        client.sentTotal += n;
        client.stalledSince.reset();
        // The probe's answer time runs from the moment the socket took the
        // probe: what was queued before it is the client's to read first.
        if (client.probeId != 0 && !client.probeDue && client.sentTotal >= client.probeEnd) {
            client.probeDue = Clock::now() + std::chrono::milliseconds(options_.probeTimeoutMs);
        }
    };
    while (client.Queued() > 0) {
        ssize_t n = send(client.fd, client.out.data() + client.outOffset, client.Queued(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (client.eof || errno == EPIPE) {
                // The peer has closed: what is queued for it cannot arrive,
                // but frames it sent before closing may still wait unread in
                // the socket. They are read and handled; the end of input
                // then drops the client (dropping it here would lose them).
                client.writeClosed = true;
                client.out.clear();
                client.outOffset = 0;
                return;
            }
            Drop(client, std::string("connection lost: ") + std::strerror(errno));
            return;
        }
        noteProgress(static_cast<size_t>(n));
    }
    client.out.clear();
    client.outOffset = 0;
}

void ClientConnections::WriteAll() {
    for (auto& [id, client] : clients_) {
        if (!client->dead && client->Queued() > 0) Write(*client);
    }
}

void ClientConnections::Queue(InfoClient& client, const InfoFrame& frame) { QueueBytes(client, EncodeInfoFrame(frame)); }

void ClientConnections::QueueBytes(InfoClient& client, const std::string& bytes) {
    if (client.dead || client.writeClosed) return;
    if (client.Queued() + bytes.size() > options_.queueHardCapBytes) {
        Drop(client, "more than " + std::to_string(options_.queueHardCapBytes) + " bytes waiting to be sent",
             ClientLeave::kCutOff);
        return;
    }
    // Compact once the written part is at least half the buffer.
    if (client.outOffset > 0 && client.outOffset >= client.out.size() / 2) {
        client.out.erase(0, client.outOffset);
        client.outOffset = 0;
    }
    client.out += bytes;
    client.queuedTotal += bytes.size();
    peakQueued_ = std::max(peakQueued_, client.Queued());
    if (client.Queued() > options_.queueHighWaterBytes) {
        DeviceQueues& device = devices_.at(client.device);
        if (!device.held) {
            device.held = true;
            auto now = Clock::now();
            if (!device.lastHoldLog || now - *device.lastHoldLog >= kHoldLogEvery) {
                device.lastHoldLog = now;
                log_("device " + std::to_string(client.device) + ": slot writes held: client " +
                     std::to_string(client.id) + " has more than " + std::to_string(options_.queueHighWaterBytes) +
                     " bytes waiting (further holds within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kHoldLogEvery).count()) +
                     " s not logged)");
            }
        }
    }
}

void ClientConnections::Reply(InfoClient& client, const InfoFrame& request, int32_t wParam, std::string text) {
    if (request.id == 0) return;  // one-way use of a request: nobody waits
    Queue(client, InfoFrame{request.message, request.id, kInfoFlagReply, wParam, 0, std::move(text)});
}

void ClientConnections::Announce(const InfoClient& writer, const std::string& bytes) {
    // A copy: queuing may drop a slow client, which edits the list.
    std::vector<uint64_t> others = devices_.at(writer.device).clients;
    for (uint64_t id : others) {
        InfoClient* other = Find(id);
        if (other == nullptr || other == &writer || other->dead || other->detached || other->eof) continue;
        QueueBytes(*other, bytes);
    }
}

bool ClientConnections::WantsInput(const InfoClient& client) const {
    return !client.eof && client.inbox.size() < kInboxLimit && client.inboxBytes < kInboxBytes;
}

bool ClientConnections::MayDispatch(const InfoClient& client, const InfoFrame& frame) const {
    // What a client asks for lands in its own queue: not while that queue is
    // above the mark (a client that asks without reading cannot grow it).
    if (client.Queued() > options_.queueHighWaterBytes) return false;
    // A slot write lands in every other client's queue.
    return !IsSlotWrite(frame) || !devices_.at(client.device).held;
}

void ClientConnections::Drain(InfoClient& client) {
    // Bounded by the inbox (kInboxLimit plus one read); stops at the first
    // frame that has to wait, so the client's frames keep their order.
    while (!client.dead && client.holds == 0 && !client.inbox.empty() && MayDispatch(client, client.inbox.front())) {
        InfoFrame frame = std::move(client.inbox.front());
        client.inbox.pop_front();
        client.inboxBytes -= std::min(client.inboxBytes, kInfoFrameFixed + frame.text.size());
        events_.OnFrame(client, frame);
    }
    if (!client.dead && client.eof && client.holds == 0 && client.inbox.empty()) {
        Drop(client, "disconnected", ClientLeave::kPolite);
    }
}

void ClientConnections::Drop(InfoClient& client, const std::string& reason, ClientLeave how) {
    if (client.dead) return;
    client.dead = true;
    const std::string who = client.Who();
    switch (how) {
        case ClientLeave::kFault: log_(who + ": " + reason + "; connection dropped"); break;
        case ClientLeave::kPolite: log_(who + " " + reason); break;
        case ClientLeave::kCutOff: log_(who + " cut off: " + reason); break;
    }
    std::vector<uint64_t>& list = devices_.at(client.device).clients;
    list.erase(std::remove(list.begin(), list.end(), client.id), list.end());
    events_.OnDropped(client, how);
    client.inbox.clear();
    client.inboxBytes = 0;
    client.out.clear();
    client.outOffset = 0;
    client.stalledSince.reset();
    client.probeId = 0;
    client.probeDue.reset();
}

void ClientConnections::ResumeHeld() {
    for (auto& [number, device] : devices_) {
        if (device.held) {
            bool low = true;
            for (uint64_t id : device.clients) {
                const InfoClient* client = Find(id);
                if (client != nullptr && !client->dead && client->Queued() > options_.queueLowWaterBytes) {
                    low = false;
                    break;
                }
            }
            if (low) device.held = false;
        }
        // Also while held: frames other than slot writes may have become
        // free (the client's own queue went down).
        // A copy: handling frames may drop clients, which edits the list.
        // Bounded by the clients times their inboxes; each Drain stops at
        // its first frame that has to wait, which may come from a new hold.
        std::vector<uint64_t> order = device.clients;
        if (order.empty()) continue;
        const size_t start = device.resumeCursor++ % order.size();
        for (size_t i = 0; i < order.size(); ++i) {
            InfoClient* client = Find(order[(start + i) % order.size()]);
            if (client != nullptr && !client->dead && !client->inbox.empty()) Drain(*client);
        }
    }
}

void ClientConnections::SweepDead() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second->dead) {
            close(it->second->fd);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void ClientConnections::Goodbye(std::chrono::milliseconds within) {
    std::string goodbye = EncodeInfoFrame(InfoFrame{XOV_INFODISCONNECTED, 0, 0, 0, 0, ""});
    for (auto& [id, client] : clients_) {
        if (!client->dead) QueueBytes(*client, goodbye);
    }
    auto deadline = Clock::now() + within;
    std::vector<pollfd> fds;
    // Bounded by `within`; clients that do not read by then miss the goodbye.
    for (;;) {
        fds.clear();
        for (auto& [id, client] : clients_) {
            if (client->dead || client->Queued() == 0) continue;
            Write(*client);
            if (client->dead || client->Queued() == 0) continue;
            fds.push_back({client->fd, POLLOUT, 0});
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (fds.empty() || left <= 0) break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
    }
    for (auto& [id, client] : clients_) {
        if (client->fd >= 0) close(client->fd);
    }
    clients_.clear();
    for (auto& [number, device] : devices_) device.clients.clear();
}

uint32_t ClientConnections::NextRequestId() {
    uint32_t id = nextRequestId_++;
    if (id == 0) id = nextRequestId_++;  // 0 marks one-way frames
    return id;
}

InfoClient* ClientConnections::Find(uint64_t id) {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

}  // namespace vorn
