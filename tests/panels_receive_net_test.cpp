// A real TCP port against a loopback panel: connect, a press split over two
// writes, and the close, all through the seam's descriptor watches.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "core/driver_state.h"
#include "panels/panel_connections.h"
#include "panels/panel_table.h"
#include "support/panel_fixture.h"
#include "transport/net_port.h"

namespace vorn::test {
namespace {

using std::chrono::milliseconds;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

class ReceiveNetTest : public PanelFixture {};

TEST_F(ReceiveNetTest, PressOverLoopbackThenClose) {
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ASSERT_GE(listener.get(), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);

    PanelRecord& p = Panels[2];
    p.InUse = 1;
    p.IpAddress = "127.0.0.1";
    p.Port = ntohs(addr.sin_port);
    p.ComPort = 0;
    p.CommsId = 5;
    p.PanelId = "loop";
    p.Location = "bench";
    ApplyPanelType(p, "2048");
    InstallPanelLink(2, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port));

    ConnectToPanel(2);
    ASSERT_EQ(p.Connected, 1) << "connect under way";

    // Accept without blocking the pump: the listener is non-blocking.
    Fd peer;
    ASSERT_TRUE(seam.PumpUntil([&] {
        if (peer.get() < 0) peer.Reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return peer.get() >= 0 && server->Slot(kDevice, 599) == "1";
    }, milliseconds(5000)));
    EXPECT_TRUE(Logged("Connect OK to panel 2 - addr 127.0.0.1"));

    // The press arrives in two pieces; the first leaves a partial message.
    const uint8_t first[] = {131, 5};
    const uint8_t second[] = {1, 7};
    ASSERT_EQ(write(peer.get(), first, sizeof first), 2);
    ASSERT_TRUE(seam.PumpUntil([&] { return p.RxCount >= 1; }, milliseconds(5000)));
    EXPECT_EQ(p.RxTail.Size(), 2u);
    ASSERT_EQ(write(peer.get(), second, sizeof second), 2);
    ASSERT_TRUE(seam.PumpUntil([&] { return server->Slot(kDevice, 307) == "1"; }, milliseconds(5000)));
    EXPECT_EQ(p.LastButton, 7);

    peer.Reset();
    ASSERT_TRUE(seam.PumpUntil([&] { return server->Slot(kDevice, 599) == "0"; }, milliseconds(5000)));
    EXPECT_EQ(p.Connected, 0);
    EXPECT_TRUE(p.RxTail.Empty());
    EXPECT_TRUE(Logged("**** Connection CLOSED to panel 2 - 127.0.0.1 - code 0"));
}

}  // namespace
}  // namespace vorn::test
