#include "infodriver_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace vorn {

namespace {

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
// Time the clients get to take XOV_INFODISCONNECTED at shutdown.
constexpr auto kGoodbyeTime = std::chrono::milliseconds(1000);
constexpr auto kSaveRetry = std::chrono::milliseconds(1000);

const char* MessageName(uint32_t m) {
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

bool IsSlotWrite(const InfoFrame& frame) {
    return frame.message == XOV_SLOTWRITE || frame.message == XOV_SLOTWRITENEG;
}

long long MsSince(std::chrono::steady_clock::time_point then, std::chrono::steady_clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
}

bool EnsurePrivateDirectory(const std::string& dir, std::string* error) {
    // Create missing parents one by one (bounded by the path's length).
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create directory " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "socket directory " + dir + " is not a directory";
        return false;
    }
    if (st.st_uid != getuid()) {
        *error = "socket directory " + dir + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
        *error = "cannot restrict socket directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

InfodriverServer::InfodriverServer(InfodriverOptions options) : options_(std::move(options)) {
    if (!options_.stateFile.empty()) stateFile_ = std::make_unique<SlotStateFile>(options_.stateFile);
}

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
    auto it = devices_.find(device);
    return it == devices_.end() ? std::string() : it->second.path;
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
        for (auto& [number, device] : devices_) {
            if (device.listenFd >= 0) {
                close(device.listenFd);
                unlink(device.path.c_str());
            }
        }
        devices_.clear();
        slots_.clear();
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
    for (int device : options_.devices) {
        if (device < 1 || device > 65535) return fail("device number " + std::to_string(device) + " outside 1..65535");
        if (devices_.count(device) != 0) return fail("device " + std::to_string(device) + " given twice");
        devices_[device].number = device;
    }
    socketDir_ = options_.socketDir.empty() ? InfoSocketDirectory() : options_.socketDir;
    infoId_ = static_cast<int32_t>(getpid() & 0x7FFFFFFF);
    if (infoId_ == 0) infoId_ = 1;

    if (stateFile_) {
        std::string message;
        switch (stateFile_->Load(slots_, message)) {
            case SlotStateFile::LoadResult::kLoaded: {
                size_t count = 0;
                for (const auto& [device, slots] : slots_) count += slots.size();
                Log("loaded " + std::to_string(count) + " slot texts from " + stateFile_->path());
                break;
            }
            case SlotStateFile::LoadResult::kMissing:
                Log("no state file " + stateFile_->path() + " yet; starting with no slots");
                break;
            case SlotStateFile::LoadResult::kDamaged:
                Log(message);
                break;
            case SlotStateFile::LoadResult::kFailed:
                return fail(message);
        }
    }
    if (!EnsurePrivateDirectory(socketDir_, error)) return fail(*error);
    if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    for (auto& [number, device] : devices_) {
        std::string why;
        if (!BindDevice(device, &why)) return fail(why);
    }
    for (const auto& [number, device] : devices_) {
        Log("serving device " + std::to_string(number) + " on " + device.path);
    }
    started_ = true;
    return true;
}

bool InfodriverServer::BindDevice(Device& device, std::string* error) {
    device.path = socketDir_ + "/infodriver-" + std::to_string(device.number) + ".sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (device.path.size() >= sizeof addr.sun_path) {
        *error = "socket path " + device.path + " is too long";
        return false;
    }
    std::memcpy(addr.sun_path, device.path.c_str(), device.path.size() + 1);
    auto* sa = reinterpret_cast<sockaddr*>(&addr);

    struct stat st {};
    if (lstat(device.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = device.path + " exists and is not a socket";
            return false;
        }
        // A socket file: live if somebody accepts on it, stale otherwise.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            *error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        int rc = connect(probe, sa, sizeof addr);
        int err = errno;
        close(probe);
        if (rc == 0) {
            *error = "device " + std::to_string(device.number) + " already served";
            return false;
        }
        if (err != ECONNREFUSED) {
            *error = "cannot check existing socket " + device.path + ": " + std::strerror(err);
            return false;
        }
        if (unlink(device.path.c_str()) != 0) {
            *error = "cannot remove stale socket " + device.path + ": " + std::strerror(errno);
            return false;
        }
        Log("removed stale socket " + device.path);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(fd, sa, sizeof addr) != 0) {
        int err = errno;
        close(fd);
        *error = err == EADDRINUSE ? "device " + std::to_string(device.number) + " already served"
                                   : "cannot bind " + device.path + ": " + std::strerror(err);
        return false;
    }
    // The directory is 0700 already; the socket itself is owner-only too.
    if (chmod(device.path.c_str(), 0600) != 0 || listen(fd, 64) != 0 || stat(device.path.c_str(), &st) != 0) {
        *error = "cannot set up " + device.path + ": " + std::strerror(errno);
        close(fd);
        unlink(device.path.c_str());
        return false;
    }
    device.listenFd = fd;
    device.socketDev = st.st_dev;
    device.socketIno = st.st_ino;
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
    enum class Kind { kWake, kListener, kClient };
    std::vector<pollfd> fds;
    std::vector<std::pair<Kind, uint64_t>> owners;
    while (!stopRequested_.load()) {
        fds.clear();
        owners.clear();
        fds.push_back({wakePipe_[0], POLLIN, 0});
        owners.emplace_back(Kind::kWake, 0);
        for (auto& [number, device] : devices_) {
            fds.push_back({device.listenFd, POLLIN, 0});
            owners.emplace_back(Kind::kListener, static_cast<uint64_t>(number));
        }
        for (auto& [id, client] : clients_) {
            short events = 0;
            if (WantsInput(*client)) events |= POLLIN;
            if (client->Queued() > 0) events |= POLLOUT;
            // A client we do not read from is left out: a hang-up would wake
            // the loop over and over. Its hang-up is seen once it is read again.
            if (events == 0) continue;
            fds.push_back({client->fd, events, 0});
            owners.emplace_back(Kind::kClient, id);
        }
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
                case Kind::kListener:
                    AcceptClients(devices_.at(static_cast<int>(owners[i].second)));
                    break;
                case Kind::kClient: {
                    Client* client = Find(owners[i].second);
                    if (client == nullptr || client->dead) break;
                    if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && client->Queued() > 0) WriteClient(*client);
                    if (!client->dead && (fds[i].events & POLLIN) != 0 &&
                        (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                        ReadClient(*client);
                    }
                    break;
                }
            }
        }
        ExpireRequests(Clock::now());
        Supervise(Clock::now());
        AdvanceAllJobs();
        for (auto& [id, client] : clients_) {
            if (!client->dead && client->Queued() > 0) WriteClient(*client);
        }
        // After the writes, which are what lowers the queues. Frames handled
        // here queue output that the next round writes (POLLOUT is ready then).
        ResumeHeld();
        AdvanceAllJobs();
        SweepDead();
        if (dirty_ && Clock::now() >= saveAt_) SaveState(false);
        {
            std::lock_guard roundLock(roundMutex_);
            ++rounds_;
        }
        roundCv_.notify_all();
    }
    Shutdown();
}

void InfodriverServer::AdvanceAllJobs() {
    // Arbitration steps may finish jobs, release held clients and so queue
    // new jobs; each pass finishes at least one job or stops.
    for (bool progress = true; progress;) {
        progress = false;
        for (auto& [number, device] : devices_) progress = AdvanceJobs(device) || progress;
    }
}

void InfodriverServer::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    // No new clients from here on.
    for (auto& [number, device] : devices_) {
        if (device.listenFd >= 0) close(device.listenFd);
        device.listenFd = -1;
        struct stat st {};
        if (lstat(device.path.c_str(), &st) == 0 && st.st_dev == device.socketDev && st.st_ino == device.socketIno) {
            unlink(device.path.c_str());
        }
    }
    std::string goodbye = EncodeInfoFrame(InfoFrame{XOV_INFODISCONNECTED, 0, 0, 0, 0, ""});
    for (auto& [id, client] : clients_) {
        if (!client->dead) QueueBytes(*client, goodbye);
    }
    auto deadline = Clock::now() + kGoodbyeTime;
    std::vector<pollfd> fds;
    std::vector<Client*> owners;
    // Bounded by kGoodbyeTime; clients that do not read by then miss the goodbye.
    for (;;) {
        fds.clear();
        owners.clear();
        for (auto& [id, client] : clients_) {
            if (client->dead || client->Queued() == 0) continue;
            WriteClient(*client);
            if (client->dead || client->Queued() == 0) continue;
            fds.push_back({client->fd, POLLOUT, 0});
            owners.push_back(client.get());
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (fds.empty() || left <= 0) break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
    }
    for (auto& [id, client] : clients_) {
        if (client->fd >= 0) close(client->fd);
    }
    clients_.clear();
    if (dirty_) SaveState(true);
    Log("stopped");
    {
        std::lock_guard roundLock(roundMutex_);
        ++rounds_;
    }
    roundCv_.notify_all();
}

int InfodriverServer::NextTimeoutMs(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (const auto& [number, device] : devices_) {
        if (device.pending) consider(device.pending->deadline);
    }
    if (dirty_) consider(saveAt_);
    for (const auto& [id, client] : clients_) {
        if (client->dead) continue;
        if (client->driver && !client->eof && !client->writeClosed) {
            if (client->probeId == 0) {
                consider(client->nextProbeAt);
            } else if (client->probeDue) {
                consider(*client->probeDue);
            }
        }
        if (client->stalledSince) consider(*client->stalledSince + std::chrono::milliseconds(options_.drainTimeoutMs));
    }
    if (!next) return -1;
    if (*next <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

void InfodriverServer::AcceptClients(Device& device) {
    for (int i = 0; i < kAcceptPerRound; ++i) {
        int fd = accept4(device.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) Log(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        if (clients_.size() >= options_.maxClients) {
            Log("device " + std::to_string(device.number) + ": more than " + std::to_string(options_.maxClients) +
                " clients; connection refused");
            close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->id = nextClientId_++;
        client->fd = fd;
        client->device = device.number;
        device.clients.push_back(client->id);
        Log("device " + std::to_string(device.number) + ": client " + std::to_string(client->id) + " connected");
        clients_.emplace(client->id, std::move(client));
    }
}

void InfodriverServer::ReadClient(Client& client) {
    char buf[kReadChunk];
    ssize_t n = read(client.fd, buf, sizeof buf);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        DropClient(client, std::string("read failed: ") + std::strerror(errno));
        return;
    }
    if (n == 0) {
        if (client.reader.Buffered() > 0) {
            DropClient(client, "connection closed in the middle of a frame");
            return;
        }
        client.eof = true;
        Device& device = DeviceOf(client);
        if (device.pending && device.pending->client == client.id) device.pending->deadline = Clock::now();
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
            DropClient(client, "frame length outside " + std::to_string(kInfoFrameFixed) + ".." +
                                   std::to_string(kInfoFrameMaxPayload) + " bytes");
            break;
        }
        if (!IsKnownInfoMessage(frame.message)) {
            DropClient(client, "unknown message number " + std::to_string(frame.message));
            break;
        }
        if (frame.IsReply()) {
            HandleReply(client, frame);
        } else {
            client.inboxBytes += kInfoFrameFixed + frame.text.size();
            client.inbox.push_back(std::move(frame));
            Drain(client);
        }
    }
}

void InfodriverServer::WriteClient(Client& client) {
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
            DropClient(client, std::string("connection lost: ") + std::strerror(errno));
            return;
        }
        noteProgress(static_cast<size_t>(n));
    }
    client.out.clear();
    client.outOffset = 0;
}

void InfodriverServer::Queue(Client& client, const InfoFrame& frame) {
    QueueBytes(client, EncodeInfoFrame(frame));
}

void InfodriverServer::QueueBytes(Client& client, const std::string& bytes) {
    if (client.dead || client.writeClosed) return;
    if (client.Queued() + bytes.size() > options_.queueHardCapBytes) {
        DropClient(client, "more than " + std::to_string(options_.queueHardCapBytes) + " bytes waiting to be sent",
                   Leave::kCutOff);
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
        Device& device = DeviceOf(client);
        if (!device.held) {
            device.held = true;
            auto now = Clock::now();
            if (!device.lastHoldLog || now - *device.lastHoldLog >= kHoldLogEvery) {
                device.lastHoldLog = now;
                Log("device " + std::to_string(device.number) + ": slot writes held: client " +
                    std::to_string(client.id) + " has more than " + std::to_string(options_.queueHighWaterBytes) +
                    " bytes waiting (further holds within " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kHoldLogEvery).count()) +
                    " s not logged)");
            }
        }
    }
}

void InfodriverServer::Reply(Client& client, const InfoFrame& request, int32_t wParam, std::string text) {
    if (request.id == 0) return;  // one-way use of a request: nobody waits
    Queue(client, InfoFrame{request.message, request.id, kInfoFlagReply, wParam, 0, std::move(text)});
}

bool InfodriverServer::WantsInput(const Client& client) const {
    return !client.eof && client.inbox.size() < kInboxLimit && client.inboxBytes < kInboxBytes;
}

bool InfodriverServer::MayDispatch(const Client& client, const InfoFrame& frame) const {
    // What a client asks for lands in its own queue: not while that queue is
    // above the mark (a client that asks without reading cannot grow it).
    if (client.Queued() > options_.queueHighWaterBytes) return false;
    // A slot write lands in every other client's queue.
    return !IsSlotWrite(frame) || !devices_.at(client.device).held;
}

void InfodriverServer::Drain(Client& client) {
    // Bounded by the inbox (kInboxLimit plus one read); stops at the first
    // frame that has to wait, so the client's frames keep their order.
    while (!client.dead && client.holds == 0 && !client.inbox.empty() && MayDispatch(client, client.inbox.front())) {
        InfoFrame frame = std::move(client.inbox.front());
        client.inbox.pop_front();
        client.inboxBytes -= std::min(client.inboxBytes, kInfoFrameFixed + frame.text.size());
        Dispatch(client, frame);
    }
    if (!client.dead && client.eof && client.holds == 0 && client.inbox.empty()) {
        DropClient(client, "disconnected", Leave::kPolite);
    }
}

void InfodriverServer::Dispatch(Client& client, const InfoFrame& frame) {
    Device& device = DeviceOf(client);
    const std::string who = "device " + std::to_string(device.number) + ": client " + std::to_string(client.id);
    switch (frame.message) {
        case XOV_DEVFIND:
            if ((frame.lParam & 0xFFFF) == (device.number & 0xFFFF)) {
                Queue(client, InfoFrame{XOV_INFOWINDOW, 0, 0, infoId_, 0, ""});
                Reply(client, frame, 1);
            } else {
                Log(who + " looked for device " + std::to_string(frame.lParam) + " here");
                Reply(client, frame, 0);
            }
            break;
        case XOV_DEVATTACHED:
            Attach(client);
            break;
        case XOV_DEVQUERY:
            Queue(client, InfoFrame{XOV_DEVSTATE, 0, 0, 1, 0, ""});
            break;
        case XOV_DEVCLOSE:
            Detach(client);
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
        case XOV_SLOTREAD: {
            if (frame.wParam == INT32_MIN) {
                Reply(client, frame, 0);
                break;
            }
            int32_t slot = frame.wParam < 0 ? -frame.wParam : frame.wParam;
            std::string text;
            if (auto dit = slots_.find(device.number); dit != slots_.end()) {
                if (auto sit = dit->second.find(slot); sit != dit->second.end()) text = sit->second;
            }
            Reply(client, frame, 1, std::move(text));
            break;
        }
        case XOV_GETMODE:
            Reply(client, frame, ModeOf(client));
            break;
        case XOV_SETMODE:
            SetMode(client, frame.wParam);
            break;
        case XOV_LISTCLIENTS: {
            std::string text;
            for (uint64_t id : device.drivers) {
                text += std::to_string(id) + ' ' + std::to_string(device.main == id ? 2 : 1) + '\n';
            }
            Reply(client, frame, static_cast<int32_t>(device.drivers.size()), std::move(text));
            break;
        }
        default:
            // Known, but only the Infodriver sends it.
            Log(who + " sent " + MessageName(frame.message) + " (" + std::to_string(frame.message) +
                "), which only the Infodriver sends; ignored");
            Reply(client, frame, 0);
            break;
    }
}

void InfodriverServer::HandleReply(Client& client, const InfoFrame& frame) {
    Device& device = DeviceOf(client);
    if (device.pending && device.pending->client == client.id && device.pending->requestId == frame.id &&
        device.pending->message == frame.message) {
        ResolvePending(device, frame.wParam == 1);
        return;
    }
    if (frame.message == XOV_DATA && frame.id != 0 && frame.id == client.probeId) {
        client.probeId = 0;
        client.probeDue.reset();
        // Keeps the cadence; a late answer makes the next probe go at once.
        client.nextProbeAt = client.probeSentAt + std::chrono::milliseconds(options_.probeIntervalMs);
        return;
    }
    if (frame.message == XOV_REQDEVGOTXRX && frame.id != 0 && frame.id == client.handOverId) {
        client.handOverId = 0;
        if (frame.wParam == 1 || device.main != client.id) return;
        // Made main without being asked, and it does not want the role.
        device.main = 0;
        Log("device " + std::to_string(device.number) + ": client " + std::to_string(client.id) +
            " refused the main role it was handed; offering it to the others");
        device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
        return;
    }
    Log("device " + std::to_string(device.number) + ": client " + std::to_string(client.id) +
        " sent a reply nobody waits for (message " + std::to_string(frame.message) + ", id " +
        std::to_string(frame.id) + "); ignored");
}

void InfodriverServer::WriteSlot(Client& client, int32_t slot, std::string text) {
    Device& device = DeviceOf(client);
    if (text.size() > SlotStateFile::kMaxText) {
        Log("device " + std::to_string(device.number) + ": text for slot " + std::to_string(slot) + " cut from " +
            std::to_string(text.size()) + " to " + std::to_string(SlotStateFile::kMaxText) + " bytes");
        text.resize(SlotStateFile::kMaxText);
    }
    auto& table = slots_[device.number];
    auto it = table.find(slot);
    if (text.empty()) {
        if (it != table.end()) table.erase(it);
    } else if (it != table.end()) {
        it->second = text;
    } else if (table.size() >= options_.maxSlotsPerDevice) {
        Log("device " + std::to_string(device.number) + ": already " + std::to_string(table.size()) +
            " slots in use; write to slot " + std::to_string(slot) + " refused");
        return;
    } else {
        table.emplace(slot, text);
    }
    MarkDirty();
    std::string note = EncodeInfoFrame(InfoFrame{XOV_SLOTCHANGED, 0, 0, slot, 0, text});
    // A copy: queuing may drop a slow client, which edits the list.
    std::vector<uint64_t> others = device.clients;
    for (uint64_t id : others) {
        Client* other = Find(id);
        if (other == nullptr || other == &client || other->dead || other->detached || other->eof) continue;
        QueueBytes(*other, note);
    }
}

int InfodriverServer::ModeOf(const Client& client) const {
    if (!client.driver) return 0;
    return devices_.at(client.device).main == client.id ? 2 : 1;
}

void InfodriverServer::SetMain(Device& device, uint64_t id, const std::string& why) {
    device.main = id;
    Log("device " + std::to_string(device.number) + ": client " + std::to_string(id) + " is main (TXRX): " + why);
}

void InfodriverServer::Attach(Client& client) {
    Device& device = DeviceOf(client);
    client.detached = false;
    if (client.driver) return;  // attached already
    client.driver = true;
    client.probeId = 0;
    client.probeDue.reset();
    client.nextProbeAt = Clock::now() + std::chrono::milliseconds(options_.probeIntervalMs);
    device.drivers.push_back(client.id);
    const std::string who = "device " + std::to_string(device.number) + ": client " + std::to_string(client.id);
    if (device.drivers.size() > 2) {
        Queue(client, InfoFrame{XOV_DEVICEIDINUSE, 0, 0, device.number & 0xFFFF, 0, ""});
        Log(who + " is a further driver client; told XOV_DEVICEIDINUSE, kept as reserve");
    }
    if (device.main != 0) {
        Log(who + " attached as reserve (RXONLY)");
    } else if (!Busy(device)) {
        SetMain(device, client.id, "attached while there was no main");
    } else {
        // An arbitration is running; decide once it is over.
        device.jobs.push_back(Job{JobKind::kClaimIfFree, client.id, {}});
        ++client.holds;
        Log(who + " attached during a mode change; waits for its outcome");
    }
}

void InfodriverServer::Detach(Client& client) {
    Device& device = DeviceOf(client);
    client.detached = true;
    if (!client.driver) return;
    client.driver = false;
    client.probeId = 0;  // a late answer is logged as unexpected, nothing else
    client.probeDue.reset();
    device.drivers.erase(std::remove(device.drivers.begin(), device.drivers.end(), client.id), device.drivers.end());
    Log("device " + std::to_string(device.number) + ": client " + std::to_string(client.id) + " detached");
    if (device.pending && device.pending->client == client.id) device.pending->deadline = Clock::now();
    if (device.main == client.id) {
        device.main = 0;
        device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
    }
}

void InfodriverServer::SetMode(Client& client, int mode) {
    Device& device = DeviceOf(client);
    const std::string who = "device " + std::to_string(device.number) + ": client " + std::to_string(client.id);
    if (!client.driver) {
        Log(who + " sent XOV_SETMODE " + std::to_string(mode) + " without XOV_DEVATTACHED; ignored");
        return;
    }
    if (mode == 2 || mode == 3) {
        if (device.main == client.id) return;
        device.jobs.push_back(Job{JobKind::kTakeover, client.id, {}});
        ++client.holds;
        Log(who + " asks to be main (mode " + std::to_string(mode) + ")");
    } else if (mode == 1 || mode == 5) {
        if (device.main != client.id) return;
        device.main = 0;
        Log(who + " gives up main (mode " + std::to_string(mode) + ")");
        device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
    } else {
        Log(who + " sent XOV_SETMODE " + std::to_string(mode) + "; no change");
    }
}

InfodriverServer::Client* InfodriverServer::Find(uint64_t id) {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

InfodriverServer::Client* InfodriverServer::LiveDriver(uint64_t id) {
    Client* client = Find(id);
    return client != nullptr && !client->dead && !client->eof && client->driver ? client : nullptr;
}

uint32_t InfodriverServer::NextRequestId() {
    uint32_t id = nextRequestId_++;
    if (id == 0) id = nextRequestId_++;  // 0 marks one-way frames
    return id;
}

void InfodriverServer::SendRequest(Device& device, Client& target, uint32_t message) {
    uint32_t id = NextRequestId();
    auto deadline = target.eof || target.writeClosed ? Clock::now()
                                                     : Clock::now() + std::chrono::milliseconds(options_.requestTimeoutMs);
    // Set before queuing: a drop while queuing expires it at once.
    device.pending = Pending{target.id, id, message, deadline};
    Log("device " + std::to_string(device.number) + ": asking client " + std::to_string(target.id) + " " +
        MessageName(message));
    Queue(target, InfoFrame{message, id, 0, 0, 0, ""});
}

bool InfodriverServer::AdvanceJobs(Device& device) {
    bool progress = false;
    // Each pass finishes the front job or sends a request and returns.
    while (!device.pending && !device.jobs.empty()) {
        Job& job = device.jobs.front();
        switch (job.kind) {
            case JobKind::kTakeover: {
                Client* asker = LiveDriver(job.asker);
                if (asker != nullptr && device.main != asker->id) {
                    if (device.main == 0) {
                        SetMain(device, asker->id, "asked while there was no main");
                    } else {
                        SendRequest(device, *Find(device.main), XOV_REQDEVGORXONLY);
                        return progress;
                    }
                }
                break;
            }
            case JobKind::kClaimIfFree: {
                Client* asker = LiveDriver(job.asker);
                if (asker != nullptr && device.main == 0) SetMain(device, asker->id, "attached while there was no main");
                break;
            }
            case JobKind::kOffer: {
                if (device.main != 0) break;
                Client* candidate = nullptr;
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
                    Log("device " + std::to_string(device.number) + ": no driver client took main; no main now");
                }
                break;
            }
        }
        FinishFrontJob(device);
        progress = true;
    }
    return progress;
}

void InfodriverServer::ResolvePending(Device& device, bool agreed) {
    Pending pending = *device.pending;
    device.pending.reset();
    if (device.jobs.empty()) return;
    Job& job = device.jobs.front();
    const std::string target = "client " + std::to_string(pending.client);
    if (job.kind == JobKind::kTakeover) {
        Client* asker = LiveDriver(job.asker);
        if (asker == nullptr) {
            Log("device " + std::to_string(device.number) + ": the client that asked for main is gone; no change");
        } else if (device.main == asker->id) {
            // Handed the role meanwhile (its main was cut off).
        } else if (device.main == 0) {
            SetMain(device, asker->id, "asked while there was no main");
        } else if (device.main != pending.client) {
            Log("device " + std::to_string(device.number) + ": client " + std::to_string(device.main) +
                " became main meanwhile; client " + std::to_string(asker->id) + " stays RXONLY");
        } else if (agreed) {
            SetMain(device, asker->id, target + " agreed to go RXONLY");
        } else {
            Log("device " + std::to_string(device.number) + ": " + target +
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
            Log("device " + std::to_string(device.number) + ": " + target + " declined main");
        }
    }
}

void InfodriverServer::FinishFrontJob(Device& device) {
    Job job = std::move(device.jobs.front());
    device.jobs.pop_front();
    if (job.kind == JobKind::kOffer) return;
    Client* asker = Find(job.asker);
    if (asker == nullptr || asker->dead) return;
    if (--asker->holds == 0) Drain(*asker);
}

void InfodriverServer::ExpireRequests(Clock::time_point now) {
    for (auto& [number, device] : devices_) {
        if (!device.pending || device.pending->deadline > now) continue;
        Log("device " + std::to_string(number) + ": no answer from client " + std::to_string(device.pending->client) +
            " to " + MessageName(device.pending->message) + "; counted as refused");
        ResolvePending(device, false);
    }
}

void InfodriverServer::DropClient(Client& client, const std::string& reason, Leave how) {
    if (client.dead) return;
    client.dead = true;
    Device& device = DeviceOf(client);
    const std::string who = "device " + std::to_string(device.number) + ": client " + std::to_string(client.id);
    switch (how) {
        case Leave::kFault: Log(who + ": " + reason + "; connection dropped"); break;
        case Leave::kPolite: Log(who + " " + reason); break;
        case Leave::kCutOff: Log(who + " cut off: " + reason); break;
    }
    device.clients.erase(std::remove(device.clients.begin(), device.clients.end(), client.id), device.clients.end());
    if (client.driver) {
        client.driver = false;
        device.drivers.erase(std::remove(device.drivers.begin(), device.drivers.end(), client.id),
                             device.drivers.end());
        if (device.main == client.id) {
            device.main = 0;
            if (how == Leave::kCutOff) {
                HandOverMain(device, client.id);
            } else {
                Log("device " + std::to_string(device.number) + ": main client " + std::to_string(client.id) +
                    " left");
                device.jobs.push_back(Job{JobKind::kOffer, 0, {client.id}});
            }
        }
    }
    if (device.pending && device.pending->client == client.id) device.pending->deadline = Clock::now();
    client.inbox.clear();
    client.inboxBytes = 0;
    client.out.clear();
    client.outOffset = 0;
    client.stalledSince.reset();
    client.probeId = 0;
    client.probeDue.reset();
}

// A main that stops answering leaves the panels undriven; the reserve has
// kept answering its probes, so it takes the role without being asked first
// and is then told, so that its driver re-reads its mode. A refusal of that
// notice gives the role up again (HandleReply).
void InfodriverServer::HandOverMain(Device& device, uint64_t leaving) {
    const std::string dev = "device " + std::to_string(device.number);
    Client* next = nullptr;
    for (uint64_t id : device.drivers) {
        if (id != leaving && (next = LiveDriver(id)) != nullptr) break;
    }
    if (next == nullptr) {
        Log(dev + ": main client " + std::to_string(leaving) + " was cut off; no driver client left to take main");
        return;
    }
    SetMain(device, next->id, "main client " + std::to_string(leaving) + " was cut off");
    next->handOverId = NextRequestId();
    Queue(*next, InfoFrame{XOV_REQDEVGOTXRX, next->handOverId, 0, 0, 0, ""});
}

void InfodriverServer::SendProbe(Client& client, Clock::time_point now) {
    client.probeId = NextRequestId();
    client.probeSentAt = now;
    client.probeDue.reset();
    Queue(client, InfoFrame{XOV_DATA, client.probeId, 0, 0, 0, ""});
    client.probeEnd = client.queuedTotal;
}

void InfodriverServer::Supervise(Clock::time_point now) {
    const auto probeTimeout = std::chrono::milliseconds(options_.probeTimeoutMs);
    const auto drainTimeout = std::chrono::milliseconds(options_.drainTimeoutMs);
    // Cut-offs only mark clients dead (and queue frames for others), so the
    // map stays as it is during the walk.
    for (auto& [id, owned] : clients_) {
        Client& client = *owned;
        if (client.dead) continue;
        if (client.driver && !client.eof && !client.writeClosed) {
            if (client.probeId == 0) {
                if (now >= client.nextProbeAt) SendProbe(client, now);
            } else if (client.probeDue && !WantsInput(client)) {
                // Its answer could be waiting behind frames we do not read yet.
                client.probeDue = std::max(*client.probeDue, now + probeTimeout);
            } else if (client.probeDue && now >= *client.probeDue) {
                ReadClient(client);  // an answer that came after poll() returned
                // A client that closed meanwhile keeps its last frames (it
                // is dropped once they are handled).
                if (!client.dead && !client.eof && client.probeId != 0) {
                    DropClient(client,
                               "did not answer the liveness check within " +
                                   std::to_string(options_.probeTimeoutMs) + " ms",
                               Leave::kCutOff);
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
            DropClient(client,
                       "took no data for " + std::to_string(MsSince(*client.stalledSince, now)) + " ms with " +
                           std::to_string(client.Queued()) + " bytes waiting",
                       Leave::kCutOff);
        }
    }
}

void InfodriverServer::ResumeHeld() {
    for (auto& [number, device] : devices_) {
        if (device.held) {
            bool low = true;
            for (uint64_t id : device.clients) {
                const Client* client = Find(id);
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
            Client* client = Find(order[(start + i) % order.size()]);
            if (client != nullptr && !client->dead && !client->inbox.empty()) Drain(*client);
        }
    }
}

void InfodriverServer::SweepDead() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second->dead) {
            close(it->second->fd);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void InfodriverServer::MarkDirty() {
    if (!stateFile_ || dirty_) return;
    dirty_ = true;
    saveAt_ = Clock::now() + std::chrono::milliseconds(options_.saveDelayMs);
}

void InfodriverServer::SaveState(bool final) {
    if (!stateFile_) return;
    std::string error;
    if (stateFile_->Save(slots_, error)) {
        dirty_ = false;
        return;
    }
    Log("cannot save slot texts: " + error + (final ? "; changes since the last save are lost" : "; will retry"));
    saveAt_ = Clock::now() + kSaveRetry;
}

std::string InfodriverServer::Slot(int device, int32_t slot) const {
    std::lock_guard lock(mutex_);
    auto dit = slots_.find(device);
    if (dit == slots_.end()) return "";
    auto sit = dit->second.find(slot);
    return sit == dit->second.end() ? "" : sit->second;
}

std::vector<InfodriverServer::DriverClient> InfodriverServer::DriverClients(int device) const {
    std::lock_guard lock(mutex_);
    std::vector<DriverClient> out;
    auto it = devices_.find(device);
    if (it == devices_.end()) return out;
    for (uint64_t id : it->second.drivers) out.push_back({id, it->second.main == id ? 2 : 1});
    return out;
}

size_t InfodriverServer::ClientCount(int device) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(device);
    return it == devices_.end() ? 0 : it->second.clients.size();
}

size_t InfodriverServer::PeakQueuedBytes() const {
    std::lock_guard lock(mutex_);
    return peakQueued_;
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
