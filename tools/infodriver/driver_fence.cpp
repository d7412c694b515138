#include "driver_fence.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5; older kernels refuse it and pidfd_open is used
#endif

namespace vorn {

namespace {

long long MsBetween(DriverFence::Clock::time_point from, DriverFence::Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

DriverFence::DriverFence(const InfodriverOptions& options, ServerLog log) : options_(options), log_(std::move(log)) {}

DriverFence::~DriverFence() {
    for (auto& [id, peer] : peers_) {
        if (peer.pidfd >= 0) close(peer.pidfd);
    }
    for (const Waiting& w : waiting_) close(w.pidfd);
}

void DriverFence::NotePeer(const InfoClient& client) {
    Forget(client.id);
    Peer peer;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(client.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        peer.refusal = std::string("no peer credentials (") + std::strerror(errno) + ")";
        peers_[client.id] = peer;
        return;
    }
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    if (!options_.fence) {
        peer.refusal = "fencing is off";
    } else if (cred.pid <= 1) {
        // 0: the peer lives in a pid namespace this process cannot see.
        peer.refusal = "its process is not known here";
    } else if (cred.pid == getpid()) {
        peer.refusal = "it is this process";
    } else if (geteuid() != 0 && cred.uid != geteuid()) {
        peer.refusal = "it runs as another user (uid " + std::to_string(cred.uid) + ")";
    } else {
        socklen_t fdLen = sizeof peer.pidfd;
        if (getsockopt(client.fd, SOL_SOCKET, SO_PEERPIDFD, &peer.pidfd, &fdLen) != 0) {
            // The pid could in theory be reused between the connect and
            // now; the peer is talking to us, so it is still there.
            peer.pidfd = static_cast<int>(syscall(SYS_pidfd_open, cred.pid, 0));
        }
        if (peer.pidfd < 0) {
            peer.pidfd = -1;
            peer.refusal = std::string("its process cannot be pinned (") + std::strerror(errno) + ")";
        }
    }
    peers_[client.id] = peer;
}

void DriverFence::Forget(uint64_t client) {
    auto it = peers_.find(client);
    if (it == peers_.end()) return;
    if (it->second.pidfd >= 0) close(it->second.pidfd);
    peers_.erase(it);
}

bool DriverFence::Begin(const InfoClient& client) {
    auto it = peers_.find(client.id);
    if (it == peers_.end()) {
        log_(client.Who() + " cannot be fenced: its process is not known");
        return false;
    }
    Peer peer = it->second;
    peers_.erase(it);
    const std::string who = client.Who() + " (pid " + std::to_string(peer.pid) + ")";
    if (peer.refusal.empty() && peer.pid == getppid()) peer.refusal = "it started the Infodriver";
    if (!peer.refusal.empty()) {
        if (peer.pidfd >= 0) close(peer.pidfd);
        log_(who + (options_.fence ? " cannot be fenced: " : " not fenced: ") + peer.refusal);
        return false;
    }
    if (syscall(SYS_pidfd_send_signal, peer.pidfd, SIGKILL, nullptr, 0) != 0) {
        const int err = errno;
        close(peer.pidfd);
        if (err == ESRCH) {
            log_(who + " has ended already; not fenced");
        } else {
            log_(who + " cannot be fenced: SIGKILL failed (" + std::strerror(err) + ")");
        }
        return false;
    }
    const auto now = Clock::now();
    log_(who + " fenced: SIGKILL sent; main is handed over once it has ended");
    waiting_.push_back({client.device, who, peer.pidfd, now, now + std::chrono::milliseconds(options_.fenceWaitMs)});
    return true;
}

void DriverFence::AddPollFds(std::vector<pollfd>& fds) const {
    for (const Waiting& w : waiting_) fds.push_back({w.pidfd, POLLIN, 0});
}

std::vector<int> DriverFence::Settle(Clock::time_point now) {
    std::vector<int> over;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        pollfd p{it->pidfd, POLLIN, 0};
        const bool ended = poll(&p, 1, 0) > 0;
        if (!ended && now < it->deadline) {
            ++it;
            continue;
        }
        if (ended) {
            log_(it->who + " has ended, " + std::to_string(MsBetween(it->since, Clock::now())) + " ms after SIGKILL");
        } else {
            log_(it->who + " still there " + std::to_string(MsBetween(it->since, now)) +
                 " ms after SIGKILL; main is handed over without waiting longer");
        }
        close(it->pidfd);
        over.push_back(it->device);
        it = waiting_.erase(it);
    }
    return over;
}

std::optional<DriverFence::Clock::time_point> DriverFence::NextDeadline() const {
    std::optional<Clock::time_point> next;
    for (const Waiting& w : waiting_) {
        if (!next || w.deadline < *next) next = w.deadline;
    }
    return next;
}

}  // namespace vorn
