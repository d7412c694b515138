#include "infodriver_server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

namespace vorn {

namespace {

// Time the clients get to take XOV_INFODISCONNECTED at shutdown.
constexpr auto kGoodbyeTime = std::chrono::milliseconds(1000);

}  // namespace

InfodriverServer::InfodriverServer(InfodriverOptions options)
    : options_(std::move(options)),
      slots_(options_, [this](const std::string& line) { Log(line); }),
      fence_(options_, [this](const std::string& line) { Log(line); }),
      connections_(options_, [this](const std::string& line) { Log(line); }, *this),
      arbiter_(options_, [this](const std::string& line) { Log(line); }, connections_, fence_),
      supervisor_(options_, connections_) {}

InfodriverServer::~InfodriverServer() {
    Stop();
    Join();
    {
        std::lock_guard lock(mutex_);
        if (started_ && !shutDown_) Shutdown();
    }
    for (int& fd : wakePipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void InfodriverServer::Log(const std::string& line) const {
    std::string full = "infodriver: " + line;
    if (options_.log) {
        options_.log(full);
        return;
    }
    full += '\n';
    // One write per line so lines of several processes do not interleave.
    (void)!write(STDERR_FILENO, full.data(), full.size());
}

std::string InfodriverServer::SocketPath(int device) const {
    std::lock_guard lock(mutex_);
    auto it = sockets_.find(device);
    return it == sockets_.end() ? std::string() : it->second.path();
}

bool InfodriverServer::Start(std::string* error) {
    std::string scratch;
    if (error == nullptr) error = &scratch;
    std::lock_guard lock(mutex_);
    if (started_) {
        *error = "already started";
        return false;
    }
    auto fail = [&](const std::string& why) {
        *error = why;
        for (auto& [number, socket] : sockets_) socket.Remove();
        sockets_.clear();
        slots_.Clear();
        for (int& fd : wakePipe_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
        return false;
    };
    if (options_.devices.empty()) return fail("no device to serve");
    if (options_.queueLowWaterBytes > options_.queueHighWaterBytes ||
        options_.queueHighWaterBytes > options_.queueHardCapBytes) {
        return fail("queue limits must satisfy low-water <= high-water <= hard cap");
    }
    if (options_.probeIntervalMs <= 0 || options_.probeTimeoutMs <= 0 || options_.drainTimeoutMs <= 0) {
        return fail("probe interval, probe timeout and drain timeout must be positive");
    }
    if (options_.fenceWaitMs < 0 || options_.heartbeatIntervalMs < 0) {
        return fail("fence wait and heartbeat interval must not be negative");
    }
    for (int device : options_.devices) {
        if (device < 1 || device > 65535) return fail("device number " + std::to_string(device) + " outside 1..65535");
        if (sockets_.count(device) != 0) return fail("device " + std::to_string(device) + " given twice");
        sockets_[device];
        connections_.AddDevice(device);
        arbiter_.AddDevice(device);
    }
    socketDir_ = options_.socketDir.empty() ? InfoSocketDirectory() : options_.socketDir;
    infoId_ = static_cast<int32_t>(getpid() & 0x7FFFFFFF);
    if (infoId_ == 0) infoId_ = 1;

    if (!slots_.Load(error)) return fail(*error);
    if (!DeviceSocket::EnsurePrivateDirectory(socketDir_, error)) return fail(*error);
    if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    for (auto& [number, socket] : sockets_) {
        std::string why;
        if (!socket.Bind(socketDir_, number, [this](const std::string& line) { Log(line); }, &why)) return fail(why);
    }
    for (const auto& [number, socket] : sockets_) {
        Log("serving device " + std::to_string(number) + " on " + socket.path());
    }
    started_ = true;
    return true;
}

void InfodriverServer::RunInThread() {
    thread_ = std::thread([this] { Run(); });
}

void InfodriverServer::Stop() {
    stopRequested_.store(true);
    if (wakePipe_[1] >= 0) {
        char byte = 1;
        (void)!write(wakePipe_[1], &byte, 1);
    }
}

void InfodriverServer::Join() {
    if (thread_.joinable()) thread_.join();
}

void InfodriverServer::Run() {
    std::unique_lock lock(mutex_);
    if (!started_ || shutDown_) {
        Log("Run() without a successful Start()");
        return;
    }
    enum class Kind { kWake, kListener, kClient, kFence };
    std::vector<pollfd> fds;
    std::vector<std::pair<Kind, uint64_t>> owners;
    while (!stopRequested_.load()) {
        fds.clear();
        owners.clear();
        fds.push_back({wakePipe_[0], POLLIN, 0});
        owners.emplace_back(Kind::kWake, 0);
        for (auto& [number, socket] : sockets_) {
            fds.push_back({socket.fd(), POLLIN, 0});
            owners.emplace_back(Kind::kListener, static_cast<uint64_t>(number));
        }
        for (auto& [id, client] : connections_.all()) {
            const short events = connections_.PollEvents(*client);
            if (events == 0) continue;
            fds.push_back({client->fd, events, 0});
            owners.emplace_back(Kind::kClient, id);
        }
        // A fenced process that ends wakes the loop; Settle() below looks.
        fence_.AddPollFds(fds);
        owners.resize(fds.size(), {Kind::kFence, 0});

        int timeout = NextTimeoutMs(Clock::now());
        lock.unlock();
        int ready = poll(fds.data(), fds.size(), timeout);
        int pollErr = errno;
        lock.lock();
        if (ready < 0 && pollErr != EINTR) {
            Log(std::string("poll failed: ") + std::strerror(pollErr) + "; stopping");
            break;
        }
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            short revents = fds[i].revents;
            if (revents == 0) continue;
            switch (owners[i].first) {
                case Kind::kWake: {
                    char buf[64];
                    while (read(wakePipe_[0], buf, sizeof buf) > 0) {
                    }
                    break;
                }
                case Kind::kListener: {
                    const int device = static_cast<int>(owners[i].second);
                    connections_.Accept(device, sockets_.at(device).fd());
                    break;
                }
                case Kind::kClient: {
                    InfoClient* client = connections_.Find(owners[i].second);
                    if (client == nullptr || client->dead) break;
                    if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && client->Queued() > 0) {
                        connections_.Write(*client);
                    }
                    if (!client->dead && (fds[i].events & POLLIN) != 0 &&
                        (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                        connections_.Read(*client);
                    }
                    break;
                }
                case Kind::kFence:
                    break;
            }
        }
        arbiter_.ExpireRequests(Clock::now());
        supervisor_.Supervise(Clock::now());
        for (int device : fence_.Settle(Clock::now())) arbiter_.FenceOver(device);
        arbiter_.AdvanceAll();
        connections_.WriteAll();
        // After the writes, which are what lowers the queues. Frames handled
        // here queue output that the next round writes (POLLOUT is ready then).
        connections_.ResumeHeld();
        arbiter_.AdvanceAll();
        connections_.SweepDead();
        slots_.SaveIfDue(Clock::now());
        Heartbeat(Clock::now());
        CountRound();
    }
    Shutdown();
}

void InfodriverServer::Heartbeat(Clock::time_point now) {
    if (options_.heartbeatIntervalMs <= 0 || !options_.heartbeat || now < nextHeartbeat_) return;
    options_.heartbeat();
    nextHeartbeat_ = now + std::chrono::milliseconds(options_.heartbeatIntervalMs);
}

void InfodriverServer::CountRound() {
    {
        std::lock_guard roundLock(roundMutex_);
        ++rounds_;
    }
    roundCv_.notify_all();
}

void InfodriverServer::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (options_.stopping) options_.stopping();
    // No new clients from here on.
    for (auto& [number, socket] : sockets_) socket.Remove();
    connections_.Goodbye(kGoodbyeTime);
    slots_.SaveFinal();
    Log("stopped");
    CountRound();
}

int InfodriverServer::NextTimeoutMs(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    auto consider = [&](std::optional<Clock::time_point> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    consider(arbiter_.NextDeadline());
    consider(supervisor_.NextDeadline());
    consider(fence_.NextDeadline());
    consider(slots_.NextDeadline());
    if (options_.heartbeatIntervalMs > 0 && options_.heartbeat) consider(nextHeartbeat_);
    if (!next) return -1;
    if (*next <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

void InfodriverServer::OnFrame(InfoClient& client, const InfoFrame& frame) {
    const int device = client.device;
    const std::string who = client.Who();
    switch (frame.message) {
        case XOV_DEVFIND:
            if ((frame.lParam & 0xFFFF) == (device & 0xFFFF)) {
                connections_.Queue(client, InfoFrame{XOV_INFOWINDOW, 0, 0, infoId_, 0, ""});
                connections_.Reply(client, frame, 1);
            } else {
                Log(who + " looked for device " + std::to_string(frame.lParam) + " here");
                connections_.Reply(client, frame, 0);
            }
            break;
        case XOV_DEVATTACHED: {
            const bool wasDriver = client.driver;
            arbiter_.Attach(client);
            if (!wasDriver && client.driver) {
                supervisor_.StartProbing(client);
                fence_.NotePeer(client);
            }
            break;
        }
        case XOV_DEVQUERY:
            connections_.Queue(client, InfoFrame{XOV_DEVSTATE, 0, 0, 1, 0, ""});
            break;
        case XOV_DEVCLOSE:
            if (client.driver) {
                supervisor_.StopProbing(client);
                fence_.Forget(client.id);
            }
            arbiter_.Detach(client);
            break;
        case XOV_SLOTWRITE:
            if (frame.wParam < 0) {
                Log(who + ": XOV_SLOTWRITE with negative slot " + std::to_string(frame.wParam) + " ignored");
                break;
            }
            WriteSlot(client, frame.wParam, frame.text);
            break;
        case XOV_SLOTWRITENEG:
            // Carries the absolute number; a negative one is taken as meant.
            if (frame.wParam == INT32_MIN) {
                Log(who + ": XOV_SLOTWRITENEG with slot " + std::to_string(frame.wParam) + " ignored");
                break;
            }
            WriteSlot(client, frame.wParam < 0 ? -frame.wParam : frame.wParam, frame.text);
            break;
        case XOV_SLOTREAD:
            if (frame.wParam == INT32_MIN) {
                connections_.Reply(client, frame, 0);
                break;
            }
            connections_.Reply(client, frame, 1, slots_.Read(device, frame.wParam < 0 ? -frame.wParam : frame.wParam));
            break;
        case XOV_GETMODE:
            connections_.Reply(client, frame, arbiter_.ModeOf(client));
            break;
        case XOV_SETMODE:
            arbiter_.SetMode(client, frame.wParam);
            break;
        case XOV_LISTCLIENTS: {
            std::string text;
            const std::vector<DriverClient> drivers = arbiter_.Drivers(device);
            for (const DriverClient& d : drivers) text += std::to_string(d.id) + ' ' + std::to_string(d.mode) + '\n';
            connections_.Reply(client, frame, static_cast<int32_t>(drivers.size()), std::move(text));
            break;
        }
        default:
            // Known, but only the Infodriver sends it.
            Log(who + " sent " + ServerMessageName(frame.message) + " (" + std::to_string(frame.message) +
                "), which only the Infodriver sends; ignored");
            connections_.Reply(client, frame, 0);
            break;
    }
}

void InfodriverServer::OnReply(InfoClient& client, const InfoFrame& frame) {
    if (arbiter_.OnReply(client, frame) || supervisor_.OnReply(client, frame)) return;
    Log(client.Who() + " sent a reply nobody waits for (message " + std::to_string(frame.message) + ", id " +
        std::to_string(frame.id) + "); ignored");
}

void InfodriverServer::OnInputEnded(InfoClient& client) { arbiter_.InputEnded(client); }

void InfodriverServer::OnDropped(InfoClient& client, ClientLeave how) {
    arbiter_.ClientLeft(client, how);
    fence_.Forget(client.id);  // nothing left when the fence took it
}

void InfodriverServer::WriteSlot(InfoClient& client, int32_t slot, std::string text) {
    if (!slots_.Write(client.device, slot, text)) return;
    connections_.Announce(client, EncodeInfoFrame(InfoFrame{XOV_SLOTCHANGED, 0, 0, slot, 0, text}));
}

std::string InfodriverServer::Slot(int device, int32_t slot) const {
    std::lock_guard lock(mutex_);
    return slots_.Read(device, slot);
}

std::vector<InfodriverServer::DriverClient> InfodriverServer::DriverClients(int device) const {
    std::lock_guard lock(mutex_);
    return arbiter_.Drivers(device);
}

size_t InfodriverServer::ClientCount(int device) const {
    std::lock_guard lock(mutex_);
    return sockets_.count(device) == 0 ? 0 : connections_.ClientsOf(device).size();
}

size_t InfodriverServer::PeakQueuedBytes() const {
    std::lock_guard lock(mutex_);
    return connections_.PeakQueued();
}

bool InfodriverServer::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const {
    auto deadline = Clock::now() + timeout;
    std::unique_lock lock(roundMutex_);
    for (;;) {
        uint64_t seen = rounds_;
        lock.unlock();
        if (condition()) return true;
        lock.lock();
        if (!roundCv_.wait_until(lock, deadline, [&] { return rounds_ != seen; })) {
            lock.unlock();
            return condition();
        }
    }
}

}  // namespace vorn
