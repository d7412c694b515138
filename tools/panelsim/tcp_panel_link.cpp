#include "tcp_panel_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::sim {

namespace {

std::string NumericHost(const sockaddr* addr, socklen_t len, int* port) {
    char host[NI_MAXHOST] = "?";
    char serv[NI_MAXSERV] = "0";
    getnameinfo(addr, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    if (port != nullptr) *port = std::atoi(serv);
    return host;
}

}  // namespace

std::unique_ptr<TcpPanelLink> TcpPanelLink::Open(const std::string& host, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve '" + host + "': " + gai_strerror(rc);
        return nullptr;
    }
    error = "no address for '" + host + "'";
    std::unique_ptr<TcpPanelLink> link;
    // The first address that binds wins; the list is short (getaddrinfo).
    for (addrinfo* ai = found; ai != nullptr && !link; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // A panel's own TCP stack takes a few KiB at a time, not the
        // megabytes a desktop's does: a panel that stops reading soon makes
        // the driver wait. Accepted connections inherit this.
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 4) != 0) {
            error = "cannot listen on " + host + ":" + service + ": " + std::strerror(errno);
            close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
        int boundPort = 0;
        std::string boundHost = NumericHost(reinterpret_cast<sockaddr*>(&bound), len, &boundPort);
        link.reset(new TcpPanelLink(fd, std::move(boundHost), boundPort));
    }
    freeaddrinfo(found);
    if (link) error.clear();
    return link;
}

TcpPanelLink::~TcpPanelLink() { Close(); }

std::string TcpPanelLink::Where() const { return host_ + " " + std::to_string(port_); }

void TcpPanelLink::AddPollFds(std::vector<pollfd>& fds) const {
    if (listen_ >= 0) fds.push_back({listen_, POLLIN, 0});
    if (conn_ >= 0 && !paused_) fds.push_back({conn_, POLLIN, 0});
}

void TcpPanelLink::OnReady(int fd, short revents) {
    if (fd < 0) return;
    if (fd == listen_) {
        Accept();
        return;
    }
    if (fd != conn_ || revents == 0) return;
    uint8_t buf[kReadChunk];
    const ssize_t n = recv(conn_, buf, sizeof buf, 0);
    if (n > 0) {
        if (callbacks_.bytes) callbacks_.bytes({buf, static_cast<std::size_t>(n)});
    } else if (n == 0) {
        CloseConnection("closed by the driver");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        CloseConnection(std::string("read error: ") + std::strerror(errno));
    }
}

void TcpPanelLink::Accept() {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        // EAGAIN: the connection went away before we took it; others are
        // worth a line but not fatal (the listener stays).
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && callbacks_.log)
            callbacks_.log(std::string("accept: ") + std::strerror(errno));
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string from = NumericHost(reinterpret_cast<sockaddr*>(&peer), len, nullptr);
    if (conn_ >= 0) CloseConnection("replaced by a new connection from " + from);
    conn_ = fd;
    if (callbacks_.state) callbacks_.state(true, "connection from " + from);
}

void TcpPanelLink::CloseConnection(std::string_view why) {
    if (conn_ < 0) return;
    close(conn_);
    conn_ = -1;
    if (callbacks_.state) callbacks_.state(false, why);
}

bool TcpPanelLink::Send(std::span<const uint8_t> bytes, std::string& error) {
    if (conn_ < 0) {
        error = "not connected";
        return false;
    }
    const WriteEnd end = WriteAll(conn_, true, bytes, error);
    // A broken connection is closed; a full one stays (the driver may read later).
    if (end == WriteEnd::kFailed) CloseConnection(error);
    return end == WriteEnd::kAll;
}

bool TcpPanelLink::Drop(std::string& error) {
    if (conn_ < 0) {
        error = "not connected";
        return false;
    }
    CloseConnection("dropped by command");
    return true;
}

void TcpPanelLink::Close() {
    if (conn_ >= 0) close(conn_);
    if (listen_ >= 0) close(listen_);
    conn_ = -1;
    listen_ = -1;
}

}  // namespace vorn::sim
