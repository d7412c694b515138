// Real ports through the seam's descriptor watches: a TCP port against a
// loopback panel (connect, a press split over two writes, the close), and a
// serial port on a pseudo-terminal whose line goes away and comes back.

#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "core/driver_state.h"
#include "panels/panel_connections.h"
#include "panels/panel_table.h"
#include "support/loopback_listener.h"
#include "support/panel_fixture.h"
#include "support/unique_fd.h"
#include "transport/net_port.h"
#include "transport/serial_panel_link.h"

namespace vorn::test {
namespace {

using std::chrono::milliseconds;

class ReceiveNetTest : public PanelFixture {};

TEST_F(ReceiveNetTest, PressOverLoopbackThenClose) {
    LoopbackListener listener(SOCK_NONBLOCK);
    ASSERT_GT(listener.port(), 0);

    PanelRecord& p = LoopbackPanel(2, "2048", 5, listener.port());
    p.PanelId = "loop";
    p.Location = "bench";

    ConnectToPanel(2);
    ASSERT_EQ(p.Connected, 1) << "connect under way";

    // Accept without blocking the pump: the listener is non-blocking.
    UniqueFd peer;
    ASSERT_TRUE(seam.PumpUntil([&] {
        if (peer.get() < 0) peer.Reset(listener.Accept());
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

// A serial panel whose line goes away (the adapter unplugged: here the
// pseudo-terminal's other end closes) is noticed at once: marked down, its
// port closed, status slot "0". When the line is back the poll opens it
// again and the first alive message refreshes the panel.
TEST_F(ReceiveNetTest, SerialLineGoneIsNoticedAndReopenedByThePoll) {
    setenv("VORN_COM_DIR", dir.path().c_str(), 1);
    auto newPty = [&](UniqueFd& master) {
        master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_GE(master.get(), 0);
        ASSERT_EQ(grantpt(master.get()), 0);
        ASSERT_EQ(unlockpt(master.get()), 0);
        const std::string link = dir.path() + "/COM4";
        unlink(link.c_str());
        ASSERT_EQ(symlink(ptsname(master.get()), link.c_str()), 0);
    };
    auto readFrames = [](UniqueFd& master) {
        std::vector<uint8_t> got;
        pollfd p{master.get(), POLLIN, 0};
        while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN) != 0) {
            uint8_t buf[512];
            ssize_t n = read(master.get(), buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    };
    UniqueFd master;
    newPty(master);
    PanelRecord& p = Panels[3];
    p.InUse = 1;
    p.IpAddress = "0.0.0.0";
    p.ComPort = 4;
    p.CommsId = 2;
    p.PanelId = "line";
    ApplyPanelType(p, "1000");
    InstallPanelLink(3, std::make_unique<SerialPanelLink>(4, std::make_unique<SerialPort>()));
    ConnectToPanel(3);
    ASSERT_EQ(p.Connected, 1);
    const uint8_t alive[] = {130, 2, 125};
    ASSERT_EQ(write(master.get(), alive, sizeof alive), 3);
    ASSERT_TRUE(seam.PumpUntil([&] { return server->Slot(kDevice, 899) == "1"; }, milliseconds(5000)));

    master.Reset();  // the line goes away
    ASSERT_TRUE(seam.PumpUntil([&] { return p.Connected == 0; }, milliseconds(5000)));
    ASSERT_TRUE(seam.PumpUntil([&] { return server->Slot(kDevice, 899) == "0"; }, milliseconds(5000)));
    EXPECT_EQ(seam.WatchCount(), 1) << "only the Infodriver link is watched";

    newPty(master);  // the line is back
    PollPanel(3);
    ASSERT_EQ(p.Connected, 1);
    ASSERT_EQ(write(master.get(), alive, sizeof alive), 3);
    ASSERT_TRUE(seam.PumpUntil([&] { return p.RefreshPending == 0 && p.TxCount > 0; }, milliseconds(5000)));
    const std::vector<uint8_t> frames = readFrames(master);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(frames.begin(), frames.begin() + 3), (std::vector<uint8_t>{130, 2, 4}))
        << "the refresh starts with a clear";
    unsetenv("VORN_COM_DIR");
}

}  // namespace
}  // namespace vorn::test
