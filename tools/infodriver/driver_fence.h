#pragma once
// Fencing of a cut-off main: before another driver client is made main, the
// process of the old one is ended, so that every port it held (serial lines
// with their locks, TCP connections to the panels) is free when the new main
// opens them. A main that is merely slow would otherwise wake up and drive
// the panels next to its successor, or keep their serial lines.
//
// The peer process comes from the socket's credentials and is pinned with a
// pidfd when the client attaches as a driver, so that a later fence cannot
// hit another process that got the same pid. Fenced: a peer of this
// process's user, or any peer when the Infodriver runs as root; never this
// process (an in-process server's own clients), the process that started the
// Infodriver (a supervisor, a script or a test harness) or pid 1. A peer
// that cannot be fenced is logged as such and the hand-over goes on without
// waiting.
//
// The signal is SIGKILL: a hung process cannot be asked. Begin() does not
// wait; the loop watches the pidfds (AddPollFds) and Settle() names the
// devices whose fenced process has ended, or whose wait (fenceWaitMs) ran
// out, e.g. a process stuck in the kernel.
//
// Loop thread only.

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "info_client.h"
#include "infodriver_options.h"

namespace vorn {

class DriverFence {
public:
    using Clock = std::chrono::steady_clock;

    DriverFence(const InfodriverOptions& options, ServerLog log);
    ~DriverFence();  // closes the pidfds; processes being fenced are not waited for
    DriverFence(const DriverFence&) = delete;
    DriverFence& operator=(const DriverFence&) = delete;

    // The client has just attached as a driver: notes its peer process.
    void NotePeer(const InfoClient& client);
    // The client is no driver any more (detached, or left without a fence).
    void Forget(uint64_t client);
    // The main `client` was cut off: SIGKILL to its process. True when the
    // hand-over is to wait for Settle(); false (logged why) when there is
    // nothing to wait for.
    bool Begin(const InfoClient& client);

    // One pollfd per process being fenced (readable once it has ended).
    void AddPollFds(std::vector<pollfd>& fds) const;
    // Devices whose fence is over, each once.
    std::vector<int> Settle(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;

private:
    struct Peer {
        pid_t pid = 0;
        uid_t uid = 0;
        int pidfd = -1;
        std::string refusal;  // why it cannot be fenced ("" when it can)
    };
    struct Waiting {
        int device;
        std::string who;      // "device N: client C (pid P)"
        int pidfd;
        Clock::time_point since;
        Clock::time_point deadline;
    };

    const InfodriverOptions& options_;
    ServerLog log_;
    std::map<uint64_t, Peer> peers_;  // driver clients
    std::vector<Waiting> waiting_;    // at most one per device
};

}  // namespace vorn
