#include "status_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vorn::bench {

namespace {

// Waits for fd to be ready for `events` until the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, static_cast<int>(left));
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

}  // namespace

std::optional<double> FetchMetric(int port, const std::string& name, Clock::duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EINPROGRESS;
    if (connected && WaitFor(fd, POLLOUT, deadline) &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        // Bounded by the deadline and by the server closing after its answer.
        while (WaitFor(fd, POLLIN, deadline)) {
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    const std::string key = "\n" + name + " ";
    const size_t at = answer.find(key);
    if (at == std::string::npos) return std::nullopt;
    return std::strtod(answer.c_str() + at + key.size(), nullptr);
}

}  // namespace vorn::bench
