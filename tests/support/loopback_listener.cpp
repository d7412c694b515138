#include "support/loopback_listener.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vorn::test {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Binds fd to 127.0.0.1 on a port the kernel picks; that port, 0 on failure.
int BindAnyPort(int fd) {
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

}  // namespace

LoopbackListener::LoopbackListener(int flags) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    const int port = BindAnyPort(fd_);
    if (port != 0 && listen(fd_, 4) == 0) port_ = port;
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) close(fd_);
}

int LoopbackListener::Accept(int flags) const { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | flags); }

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int port = BindAnyPort(fd);
    if (fd >= 0) close(fd);
    return port;
}

int ConnectLoopback(int port, int receiveBuffer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace vorn::test
