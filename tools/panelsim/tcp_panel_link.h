#pragma once
// A simulated TCP panel: listens on HOST:PORT and serves the driver's one
// connection. A new connection replaces the current one (as a panel that
// lost its link accepts the driver's reconnect). Non-blocking sockets; see
// PanelLink for the threading.

#include <memory>

#include "panel_link.h"

namespace vorn::sim {

class TcpPanelLink : public PanelLink {
public:
    // Receive buffer of the panel's connection (bytes).
    static constexpr int kReceiveBuffer = 4096;

    // Binds and listens; port 0 takes a free port (see Port()). nullptr with
    // the reason in error when the address cannot be used.
    static std::unique_ptr<TcpPanelLink> Open(const std::string& host, int port, std::string& error);

    ~TcpPanelLink() override;

    std::string_view Kind() const override { return "tcp"; }
    std::string Where() const override;
    bool Connected() const override { return conn_ >= 0; }
    void AddPollFds(std::vector<pollfd>& fds) const override;
    void OnReady(int fd, short revents) override;
    bool Send(std::span<const uint8_t> bytes, std::string& error) override;
    bool Drop(std::string& error) override;
    void Close() override;

    // The port actually listened on.
    int Port() const { return port_; }

private:
    TcpPanelLink(int listenFd, std::string host, int port) : listen_(listenFd), host_(std::move(host)), port_(port) {}
    void Accept();
    void CloseConnection(std::string_view why);

    int listen_ = -1;
    int conn_ = -1;
    std::string host_;  // numeric address listened on
    int port_ = 0;
};

}  // namespace vorn::sim
