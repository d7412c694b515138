#pragma once
// The transport of one simulated panel, as the simulator's loop sees it.
// Implementations: TcpPanelLink (a listening socket and the one accepted
// connection) and PtyPanelLink (a pseudo-terminal master).
//
// Threading: every member runs on the simulator's one thread. The loop asks
// for the descriptors to watch (AddPollFds) and the next timer (NextTimer),
// waits, and hands back what became ready (OnReady, OnTimer). A link reports
// what happened through the callbacks given to SetCallbacks, from inside
// those calls only.

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::sim {

class PanelLink {
public:
    using Clock = std::chrono::steady_clock;

    struct Callbacks {
        // Bytes read from the driver (one read, at most kReadChunk bytes).
        std::function<void(std::span<const uint8_t>)> bytes;
        // The driver's side came or went; why is a short text for the log.
        std::function<void(bool connected, std::string_view why)> state;
        // Anything else worth a log line (write trouble, replaced connection).
        std::function<void(std::string_view)> log;
    };

    // Bytes taken per read; more waiting data is read on the next turn
    // (poll is level-triggered), so one busy link cannot starve the others.
    static constexpr std::size_t kReadChunk = 4096;

    virtual ~PanelLink() = default;

    void SetCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

    // "tcp" or "pty".
    virtual std::string_view Kind() const = 0;
    // The fields of the start-up line after the kind: "127.0.0.1 40123" or
    // "/dev/pts/7 /tmp/x/COM3" ("-" when there is no symlink).
    virtual std::string Where() const = 0;
    virtual bool Connected() const = 0;

    // Appends the descriptors to watch for input now.
    virtual void AddPollFds(std::vector<pollfd>& fds) const = 0;
    // Handles readiness of one descriptor given by AddPollFds; a descriptor
    // that is not the link's is ignored.
    virtual void OnReady(int fd, short revents) = 0;

    // When the link next wants OnTimer; Clock::time_point::max() for never.
    virtual Clock::time_point NextTimer() const { return Clock::time_point::max(); }
    virtual void OnTimer(Clock::time_point /*now*/) {}

    // Writes bytes to the driver. False, with the reason, when there is no
    // connection or not all bytes could be written (the rest is dropped:
    // a real panel's line does not queue for ever either).
    virtual bool Send(std::span<const uint8_t> bytes, std::string& error) = 0;

    // Ends the current connection as a panel would by going away. False with
    // the reason when there is none or the transport cannot.
    virtual bool Drop(std::string& error) = 0;

    // Releases every descriptor and anything made in the file system (the
    // COM symlink). Idempotent; also done by the destructor.
    virtual void Close() = 0;

    // A paused link reads nothing from the driver (AddPollFds leaves its
    // connection out), as a panel whose line or buffer stalls: what the
    // driver sends waits in the kernel. Sending to the driver goes on.
    void SetPaused(bool paused) { paused_ = paused; }
    bool Paused() const { return paused_; }

protected:
    // How WriteAll ended.
    enum class WriteEnd { kAll, kDriverNotReading, kFailed };

    // Writes all of bytes to the non-blocking descriptor fd: with send and
    // MSG_NOSIGNAL when socket is true (a closed peer gives an error, not
    // SIGPIPE), else with write. Retries after EINTR; each turn writes at
    // least one byte or leaves. kDriverNotReading: the descriptor was full
    // (EAGAIN) and the rest is dropped; kFailed: any other error. Both set
    // error to a log text.
    static WriteEnd WriteAll(int fd, bool socket, std::span<const uint8_t> bytes, std::string& error);

    Callbacks callbacks_;
    bool paused_ = false;
};

}  // namespace vorn::sim
