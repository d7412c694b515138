#pragma once
// Settings of the reference Infodriver server (InfodriverServer); the
// defaults are what the `infodriver` executable runs with.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

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
    // Fencing: a main that is cut off has its process ended (SIGKILL, the
    // peer named by the socket's credentials) before the next driver client
    // is made main, so that the ports it held are free when the new main
    // opens them. Only a peer of this process's user, or any peer when the
    // server runs as root; never this process, the process that started it
    // or pid 1. The hand-over waits until the process has ended, at most
    // fenceWaitMs. Off: the cut-off main is left running (it ends itself
    // once it runs again and finds its link closed).
    bool fence = true;
    int fenceWaitMs = 1000;
    // Called on the loop thread about every heartbeatIntervalMs while the
    // loop turns (0: never), at the end of a round: a loop that hangs stops
    // calling it. For a service manager's watchdog.
    int heartbeatIntervalMs = 0;
    std::function<void()> heartbeat;
    // Called on the loop thread once, when the loop ends and the shutdown
    // (goodbye to the clients, final save) begins.
    std::function<void()> stopping;
    // Receives each log line ("infodriver: ..." without newline). Default:
    // standard error. Called on the loop thread with the internal lock held.
    std::function<void(const std::string&)> log;
};

}  // namespace vorn
