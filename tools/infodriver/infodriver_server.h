#pragma once
// Reference Infodriver: holds the slot texts of one or more devices and
// serves the Infodriver link (docs/infodriver-link.md) on one Unix socket per
// device. Used by the `infodriver` executable and started in-process by tests.
//
// Behaviour in short:
// - Slots: any 32-bit slot number; a never-written slot reads "". Texts are
//   cut to 511 bytes. Every write (also of an unchanged text) is announced
//   with XOV_SLOTCHANGED to every other client of the device.
// - Modes: clients that sent XOV_DEVATTACHED are driver clients. At most one
//   is main per device; XOV_GETMODE answers 2 to the main, 1 to the other
//   driver clients and 0 (IFMODE_NONE) to clients that never attached.
//   Hand-overs ask the clients involved with XOV_REQDEVGORXONLY /
//   XOV_REQDEVGOTXRX without blocking the loop; an unanswered request counts
//   as refused after `requestTimeoutMs`. While a client's own mode request or
//   attach is being arbitrated, its later frames wait (replies excepted), so
//   its next XOV_GETMODE sees the outcome.
// - Flow control: a client's outgoing queue above `queueHighWaterBytes`
//   holds the slot writes of every client of its device (they wait, in
//   order, in the writer's inbox and socket; nothing is dropped) until every
//   queue of the device is at or below `queueLowWaterBytes`. A client's own
//   requests wait while its own queue is above the high-water mark.
// - Liveness: every `probeIntervalMs` each driver client is sent an XOV_DATA
//   request; one that does not answer within `probeTimeoutMs` of its
//   delivery, or that takes no byte for `drainTimeoutMs` while data waits
//   for it, is cut off. A main that is cut off hands the main role at once
//   to the next driver client in attach order, which is told with
//   XOV_REQDEVGOTXRX.
// - Robustness: a bad frame length, an unknown message number, a frame cut
//   off by EOF, or a client that does not drain (see above) costs that client
//   its connection (one log line), nothing else.
//
// Threading: Start() and Run() belong to one thread (the loop thread, which
// RunInThread() creates). Stop() may be called from any thread and from a
// signal handler. The accessors (Slot, DriverClients, ...) are thread-safe:
// the loop holds an internal mutex whenever it is not waiting in poll(), and
// during the shutdown's goodbye (at most one second).

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "slot_state_file.h"
#include "transport/info_frame.h"

namespace vorn {

struct InfodriverOptions {
    std::vector<int> devices;             // 1..65535, each served on its own socket
    std::string stateFile;                // "" keeps slots in memory only
    std::string socketDir;                // "" means InfoSocketDirectory()
    // Outgoing queue per client. Above the high-water mark the device's slot
    // writes wait until every queue of the device is at or below the
    // low-water mark. The hard cap is a backstop against memory use only:
    // flow control keeps a queue within about the high-water mark plus one
    // frame, so only a client that defeats it (none of the link's messages
    // can) would reach the cap; it is cut off there. Needs low <= high <= cap.
    size_t queueHighWaterBytes = 512u << 10;
    size_t queueLowWaterBytes = 128u << 10;
    size_t queueHardCapBytes = 16u << 20;
    size_t maxClients = 256;              // all devices together; more are refused
    size_t maxSlotsPerDevice = 100000;    // writes to further new slots are refused
    // Below the client's own 2 s wait, so an asker's follow-up XOV_GETMODE is
    // answered before it gives up even when the other side never replies.
    int requestTimeoutMs = 1500;
    int saveDelayMs = 200;                // slot changes are saved at most this often
    // Liveness of driver clients: an XOV_DATA request this often (one at a
    // time), to be answered within probeTimeoutMs of the moment it was handed
    // to the client's socket. Time during which the server does not read the
    // client (its inbox is full) does not count.
    int probeIntervalMs = 1000;
    int probeTimeoutMs = 2000;
    // A client that takes no byte for this long while data waits for it is
    // cut off: a driver client with anything queued, any other client with
    // more than the high-water mark queued.
    int drainTimeoutMs = 3000;
    // Receives each log line ("infodriver: ..." without newline). Default:
    // standard error. Called on the loop thread with the internal lock held.
    std::function<void(const std::string&)> log;
};

class InfodriverServer {
public:
    struct DriverClient {
        uint64_t id;
        int mode;  // 2 main (TXRX), 1 reserve (RXONLY)
    };

    explicit InfodriverServer(InfodriverOptions options);
    // Stops and joins a RunInThread() loop; removes the sockets.
    ~InfodriverServer();
    InfodriverServer(const InfodriverServer&) = delete;
    InfodriverServer& operator=(const InfodriverServer&) = delete;

    // Loads the state file and binds every device's socket. False with the
    // reason in `error` (e.g. "device 7 already served") and nothing left bound.
    bool Start(std::string* error);
    // Serves until Stop(); then sends XOV_INFODISCONNECTED to every client,
    // removes the sockets and saves the slots. Requires a successful Start().
    void Run();
    // Run() on a new thread.
    void RunInThread();
    // Asks the loop to end. Async-signal-safe (an atomic store and a write()).
    void Stop();
    // Waits for the RunInThread() thread to end.
    void Join();

    std::string SocketPath(int device) const;

    // Thread-safe views for tests and tools.
    std::string Slot(int device, int32_t slot) const;
    std::vector<DriverClient> DriverClients(int device) const;
    size_t ClientCount(int device) const;
    // Largest outgoing queue any client had, in bytes.
    size_t PeakQueuedBytes() const;
    // Calls `condition` (which may use the views above) after every loop
    // round until it returns true or `timeout` passes. Never from the loop thread.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

private:
    using Clock = std::chrono::steady_clock;

    struct Client {
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
    };

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
        int listenFd = -1;
        std::string path;
        dev_t socketDev = 0;            // identity of the socket file we bound,
        ino_t socketIno = 0;            // so that we remove only our own
        std::vector<uint64_t> clients;  // connect order
        std::vector<uint64_t> drivers;  // attach order
        uint64_t main = 0;
        std::deque<Job> jobs;           // one at a time; at most one per client plus offers
        std::optional<Pending> pending;
        // Slot writes wait: a queue went above the high-water mark and not
        // every queue is back at the low-water mark yet.
        bool held = false;
        std::optional<Clock::time_point> lastHoldLog;
        size_t resumeCursor = 0;        // where the next resume pass starts (fairness)
    };
    enum class Leave {
        kFault,   // protocol error or lost peer
        kPolite,  // the peer closed after its last frame
        kCutOff,  // did not drain or answer in time; a main hands over at once
    };

    void Log(const std::string& line) const;
    bool BindDevice(Device& device, std::string* error);
    void AcceptClients(Device& device);
    void ReadClient(Client& client);
    void WriteClient(Client& client);
    void Drain(Client& client);
    void Dispatch(Client& client, const InfoFrame& frame);
    void HandleReply(Client& client, const InfoFrame& frame);
    void Queue(Client& client, const InfoFrame& frame);
    void QueueBytes(Client& client, const std::string& bytes);
    void SendRequest(Device& device, Client& target, uint32_t message);
    void Reply(Client& client, const InfoFrame& request, int32_t wParam, std::string text = {});
    // Marks the client dead (closed at the end of the round) and gives up its
    // roles. A main that leaves is offered to the others in turn, except on
    // a cut-off, which hands it over at once (HandOverMain).
    void DropClient(Client& client, const std::string& reason, Leave how = Leave::kFault);
    void HandOverMain(Device& device, uint64_t leaving);
    bool WantsInput(const Client& client) const;
    bool MayDispatch(const Client& client, const InfoFrame& frame) const;
    void SendProbe(Client& client, Clock::time_point now);
    // Probes, probe deadlines and the drain rule; cuts off who fails them.
    void Supervise(Clock::time_point now);
    // Lifts holds whose queues are all low again and hands waiting inbox
    // frames to Drain, starting at a different client each time.
    void ResumeHeld();
    void AdvanceAllJobs();
    uint32_t NextRequestId();
    void WriteSlot(Client& client, int32_t slot, std::string text);
    void Attach(Client& client);
    void Detach(Client& client);
    void SetMode(Client& client, int mode);
    int ModeOf(const Client& client) const;
    void SetMain(Device& device, uint64_t id, const std::string& why);
    bool Busy(const Device& device) const { return device.pending.has_value() || !device.jobs.empty(); }
    bool AdvanceJobs(Device& device);
    void ResolvePending(Device& device, bool agreed);
    void FinishFrontJob(Device& device);
    void ExpireRequests(Clock::time_point now);
    Client* Find(uint64_t id);
    Client* LiveDriver(uint64_t id);
    Device& DeviceOf(const Client& client) { return devices_.at(client.device); }
    void SweepDead();
    void MarkDirty();
    void SaveState(bool final);
    int NextTimeoutMs(Clock::time_point now) const;
    void Shutdown();

    InfodriverOptions options_;
    std::string socketDir_;
    std::unique_ptr<SlotStateFile> stateFile_;
    int32_t infoId_ = 1;                 // wParam of XOV_INFOWINDOW

    mutable std::mutex mutex_;           // guards everything below against the views
    std::map<int, Device> devices_;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    SlotTable slots_;
    uint64_t nextClientId_ = 1;
    uint32_t nextRequestId_ = 1;
    size_t peakQueued_ = 0;
    bool dirty_ = false;
    Clock::time_point saveAt_{};
    bool started_ = false;
    bool shutDown_ = false;

    std::atomic<bool> stopRequested_{false};
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex roundMutex_;      // guards rounds_; WaitUntil waits on roundCv_
    mutable std::condition_variable roundCv_;
    uint64_t rounds_ = 0;                // loop rounds done (and one for the shutdown)
};

}  // namespace vorn
