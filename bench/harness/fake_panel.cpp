#include "fake_panel.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/panel_frames.h"

namespace vorn::bench {

FakePanel::~FakePanel() {
    if (aliveTimer_ != 0) loop_.Cancel(aliveTimer_);
    CloseConnection();
    if (listen_ >= 0) {
        loop_.Unwatch(listen_);
        close(listen_);
    }
}

void FakePanel::Listen() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_, 8) != 0 || getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw BenchError("panel " + std::to_string(number_) + ": cannot listen: " + std::strerror(errno));
    }
    port_ = ntohs(addr.sin_port);
    loop_.Watch(listen_, [] { return static_cast<short>(POLLIN); }, [this](short) { Accept(); });
}

void FakePanel::SetAlive(Clock::duration period, Clock::duration phase) {
    alivePeriod_ = period;
    alivePhase_ = phase;
    if (aliveTimer_ != 0) loop_.Cancel(aliveTimer_);
    aliveTimer_ = 0;
    if (Connected() && period > Clock::duration::zero()) ScheduleAlive(loop_.Now() + phase);
}

void FakePanel::Accept() {
    const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // gone before it was taken; the listener stays
    CloseConnection();
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conn_ = fd;
    carry_.Clear();
    ++accepts_;
    lastAccept_ = loop_.Now();
    firstByte_ = {};
    loop_.Watch(conn_, [this] { return static_cast<short>(paused_ ? 0 : POLLIN); }, [this](short revents) {
        // Paused, only a hang-up or an error wakes the panel: the line is gone.
        if (paused_ && (revents & (POLLHUP | POLLERR)) != 0) {
            CloseConnection();
            return;
        }
        if (!paused_) Read();
    });
    SendAlive();
    if (alivePeriod_ > Clock::duration::zero()) ScheduleAlive(loop_.Now() + alivePhase_);
}

void FakePanel::ScheduleAlive(Clock::time_point when) {
    aliveTimer_ = loop_.At(when, [this] {
        aliveTimer_ = 0;
        if (!Connected()) return;
        SendAlive();
        ScheduleAlive(loop_.Now() + alivePeriod_);
    });
}

void FakePanel::CloseConnection() {
    if (conn_ < 0) return;
    loop_.Unwatch(conn_);
    close(conn_);
    conn_ = -1;
    if (aliveTimer_ != 0) loop_.Cancel(aliveTimer_);
    aliveTimer_ = 0;
}

void FakePanel::Read() {
    uint8_t buffer[65536];
    const ssize_t n = recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        CloseConnection();
        return;
    }
    const Clock::time_point at = loop_.Now();
    if (firstByte_ == Clock::time_point{}) firstByte_ = at;
    sim::DecodeResult result = sim::DecodeDriverFrames(carry_, {buffer, static_cast<size_t>(n)}, address_);
    carry_ = result.carry;
    for (const sim::DecodedFrame& f : result.frames) {
        if (f.kind == sim::FrameKind::Junk) {  // also shows as lost changes
            junkBytes_ += f.bytes.size();
            continue;
        }
        lastFrame_ = at;
        if (onFrame) onFrame(f, at);
    }
}

bool FakePanel::SendBytes(const uint8_t* data, size_t size) {
    if (conn_ < 0) return false;
    // A few bytes on a connection whose peer reads: they fit the socket
    // buffer, or the connection is of no use for the bench anyway.
    const ssize_t n = send(conn_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(size);
}

void FakePanel::SendAlive() {
    const uint8_t alive[3] = {MSG_PANEL, address_, PANEL_ALIVE};
    SendBytes(alive, sizeof alive);
}

Clock::time_point FakePanel::SendButton(int button, bool press) {
    const uint8_t frame[4] = {MSG_BUTTON, address_, press ? ACTION_PRESS : ACTION_RELEASE, static_cast<uint8_t>(button)};
    const Clock::time_point at = Clock::now();
    return SendBytes(frame, sizeof frame) ? at : Clock::time_point{};
}

}  // namespace vorn::bench
