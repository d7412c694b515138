#include "transport/info_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

// Milliseconds left to the deadline for poll(), rounded up so that a wait
// never ends just before it; 0 once the deadline has passed.
int MsLeft(InfoLink::Clock::time_point deadline) {
    auto left = deadline - InfoLink::Clock::now();
    if (left <= InfoLink::Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

}  // namespace

InfoLink::~InfoLink() { Close(); }

void InfoLink::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

InfoLink::OpenResult InfoLink::Open(const std::string& path, int* error) {
    Close();
    *error = 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = ENAMETOOLONG;
        return OpenResult::kNoServer;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return OpenResult::kNoSocket;
    }
    // A Unix stream connect completes at once or fails at once (EAGAIN when
    // the server's backlog is full); it never waits for the server to accept.
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = errno;
        close(fd);
        return OpenResult::kNoServer;
    }
    fd_ = fd;
    return OpenResult::kOk;
}

InfoLink::WaitResult InfoLink::WaitReadable(Clock::time_point deadline) {
    if (fd_ < 0) return WaitResult::kReady;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int n = poll(&p, 1, MsLeft(deadline));
        if (n > 0) return WaitResult::kReady;
        if (n == 0) return WaitResult::kTimeout;
        if (errno != EINTR) return WaitResult::kReady;  // the read will say what is wrong
        if (MsLeft(deadline) == 0) return WaitResult::kTimeout;
    }
}

InfoLink::ReadResult InfoLink::Read(char* buffer, size_t size, size_t* got, int* error) {
    *got = 0;
    *error = 0;
    if (fd_ < 0) return ReadResult::kClosed;
    for (;;) {
        ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return ReadResult::kData;
        }
        if (n == 0) return ReadResult::kClosed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::kNothing;
        *error = errno;
        return errno == ECONNRESET ? ReadResult::kClosed : ReadResult::kError;
    }
}

InfoLink::SendResult InfoLink::Send(std::string_view bytes, Clock::time_point deadline,
                                    const std::function<bool()>& onReadable, int* error) {
    *error = 0;
    if (fd_ < 0) return SendResult::kClosed;
    bool wantRead = static_cast<bool>(onReadable);
    size_t done = 0;
    // Bounded by the deadline: every pass either sends bytes, takes incoming
    // data, or waits in poll() for at most the time that is left.
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = errno;
            return SendResult::kClosed;
        }
        int left = MsLeft(deadline);
        if (left == 0) return SendResult::kTimeout;
        pollfd p{fd_, static_cast<short>(POLLOUT | (wantRead ? POLLIN : 0)), 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno != EINTR) {
            *error = errno;
            return SendResult::kClosed;
        }
        if (r > 0 && (p.revents & POLLIN) && wantRead) wantRead = onReadable();
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL))) {
            *error = EPIPE;
            return SendResult::kClosed;
        }
    }
    return SendResult::kOk;
}

bool InfoLink::PeerGone() const {
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace vorn
