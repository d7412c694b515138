#pragma once
// A panel reached over TCP: a PanelLink on a NetPort. Open starts the
// connect to the address given at construction; the port's events become
// link events (connect 16 -> kConnected / kConnectFailed, read 1 ->
// kDataWaiting, close 32 -> kClosed). Output goes while the connection is
// up, as the socket takes it (PanelLink). GUI thread only.

#include <memory>
#include <string>

#include "transport/net_port.h"
#include "transport/panel_link.h"

namespace vorn {

class TcpPanelLink : public PanelLink {
public:
    // One read takes at most this much; the port raises its read event again
    // while more waits.
    static constexpr int kBlockSize = 64;

    // port: the NetPort to drive (tests pass a stand-in); a new one if null.
    TcpPanelLink(std::string host, int port, std::unique_ptr<NetPort> netPort = nullptr);
    ~TcpPanelLink() override;

    LinkKind Kind() const override { return LinkKind::kTcp; }
    int BlockSize() const override { return kBlockSize; }
    // kPending (outcome as an event), kFailed (no socket) or kNoAddress. A
    // port that had a connection reports its close first.
    LinkOpen Open() override;
    void Close() override;
    LinkRead Read(uint8_t* buffer, int size, int* got, int* error) override;
    std::string Address() const override { return port_->host; }

    NetPort& Port() { return *port_; }

protected:
    bool LineUp() const override { return port_->IsConnected(); }
    long LineWrite(const uint8_t* data, size_t size, int* error) override;
    int LineDescriptor() const override { return port_->sock; }

private:
    static void OnPortEvent(NetPort* port);

    std::string host_;
    int portNumber_;
    std::unique_ptr<NetPort> port_;
};

}  // namespace vorn
