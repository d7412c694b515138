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
//   XOV_REQDEVGOTXRX; with `fence`, once its process has been ended.
// - Robustness: a bad frame length, an unknown message number, a frame cut
//   off by EOF, or a client that does not drain (see above) costs that client
//   its connection (one log line), nothing else.
//
// The parts: ClientConnections (sockets, queues, flow control), ModeArbiter
// (main/reserve and its request jobs), LivenessSupervisor (probes, drain
// rule), DriverFence (ending a cut-off main), SlotStore (texts and state
// file), DeviceSocket (the listening sockets). This class owns them, runs the
// loop and routes each frame to the part it concerns.
//
// Threading: Start() and Run() belong to one thread (the loop thread, which
// RunInThread() creates). Stop() may be called from any thread and from a
// signal handler. The accessors (Slot, DriverClients, ...) are thread-safe:
// the loop holds an internal mutex whenever it is not waiting in poll(), and
// during the shutdown's goodbye (at most one second).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_connections.h"
#include "device_socket.h"
#include "driver_fence.h"
#include "infodriver_options.h"
#include "liveness_supervisor.h"
#include "mode_arbiter.h"
#include "slot_store.h"

namespace vorn {

class InfodriverServer : private ConnectionEvents {
public:
    using DriverClient = ModeArbiter::DriverClient;

    explicit InfodriverServer(InfodriverOptions options);
    // Stops and joins a RunInThread() loop; removes the sockets.
    ~InfodriverServer() override;
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

    // ConnectionEvents
    void OnFrame(InfoClient& client, const InfoFrame& frame) override;
    void OnReply(InfoClient& client, const InfoFrame& frame) override;
    void OnInputEnded(InfoClient& client) override;
    void OnDropped(InfoClient& client, ClientLeave how) override;

    void Log(const std::string& line) const;
    void WriteSlot(InfoClient& client, int32_t slot, std::string text);
    void Heartbeat(Clock::time_point now);
    int NextTimeoutMs(Clock::time_point now) const;
    void CountRound();
    void Shutdown();

    InfodriverOptions options_;
    std::string socketDir_;
    int32_t infoId_ = 1;                 // wParam of XOV_INFOWINDOW

    mutable std::mutex mutex_;           // guards everything below against the views
    std::map<int, DeviceSocket> sockets_;
    SlotStore slots_;
    DriverFence fence_;
    ClientConnections connections_;
    ModeArbiter arbiter_;
    LivenessSupervisor supervisor_;
    Clock::time_point nextHeartbeat_{};
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
