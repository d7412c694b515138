// Connecting, polling, disconnecting and refreshing panels on fake ports
// against a real in-process Infodriver.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/driver_state.h"
#include "panels/panel_connections.h"
#include "panels/panel_senders.h"
#include "panels/panel_table.h"
#include "panels/receive_path.h"
#include "support/panel_fixture.h"

namespace vorn::test {
namespace {

class ConnectionsTest : public PanelFixture {
protected:
    // Panel 2, TCP, configured but not connected.
    FakeNetPort* ClosedPanel() {
        FakeNetPort* port = TcpPanel(2, "2048", 6);
        port->sock = NetPort::kNoSocket;
        Panels[2].Connected = 0;
        return port;
    }
    int Writes() const { return InfodriverTxCount; }
    size_t Lines() const { return seam.debugLines.size(); }
};

TEST_F(ConnectionsTest, ConnectedOrUnconfiguredPanelIsLeftAlone) {
    TcpPanel(2, "2048", 5);
    const int writes = Writes();
    const size_t lines = Lines();
    ConnectToPanel(2);  // Connected is 1
    ConnectToPanel(7);  // never configured: no address, no COM port
    EXPECT_EQ(Writes(), writes);
    EXPECT_EQ(Lines(), lines);
    EXPECT_EQ(SlotNow(596), "") << "panel 2's name slot";
    EXPECT_EQ(SlotNow(2096), "") << "panel 7's name slot";
}

TEST_F(ConnectionsTest, TcpConnectUnderWay) {
    FakeNetPort* port = TcpPanel(2, "2048", 5);
    PanelRecord& p = Panels[2];
    p.Connected = 0;
    p.TxCount = 4;
    p.RxCount = 6;
    p.RxTail.Assign(std::vector<uint8_t>{131, 5});
    port->sock = NetPort::kNoSocket;

    ConnectToPanel(2);
    EXPECT_EQ(port->connects, 1);
    EXPECT_EQ(port->host, "10.0.0.2");
    EXPECT_EQ(port->lastPort, 2001);
    EXPECT_EQ(port->eventMask, 49) << "read events requested";
    EXPECT_EQ(p.Connected, 1);
    EXPECT_EQ(p.TxCount, 0);
    EXPECT_EQ(p.RxCount, 0);
    EXPECT_TRUE(p.RxTail.Empty());
    EXPECT_TRUE(Logged("Connection opened OK to Panel 2=panel2"));
    EXPECT_EQ(SlotNow(596), "panel2");
    EXPECT_EQ(SlotNow(597), "desk 2");
    EXPECT_EQ(SlotNow(598), "CP-2048E");

    // The callback given to the port is the receive path.
    port->Raise(NetPort::kFdConnect, 0);
    EXPECT_EQ(SlotNow(599), "1");
    EXPECT_TRUE(Logged("Connect OK to panel 2 - addr 10.0.0.2"));
}

TEST_F(ConnectionsTest, TcpConnectRefusedAtOnce) {
    for (int result : {-1, 1}) {
        SCOPED_TRACE(result);
        FakeNetPort* port = TcpPanel(2, "2048", 5);
        PanelRecord& p = Panels[2];
        p.Connected = 0;
        p.TxCount = 3;
        port->sock = NetPort::kNoSocket;
        port->connectResult = result;
        // A second apart, so that the log does not fold the repeated line.
        std::time_t now = 1000;
        SetDiagnosticsClock([&now] { return now; });
        ConnectToPanel(2);  // writes the name slots the first time
        info.setslot(599, "0");
        const int writes = Writes();
        ++now;
        ConnectToPanel(2);
        EXPECT_EQ(Writes(), writes + 1) << "\"0\" is written even though the slot holds it";
        EXPECT_EQ(p.Connected, 0);
        EXPECT_EQ(p.TxCount, 0);
        EXPECT_EQ(seam.CountDebugLines("Connection FAILED to Panel 2=panel2"), 2);
        EXPECT_EQ(SlotNow(599), "0");
        ResetPanelTable();
        SetDiagnosticsClock(nullptr);
        seam.debugLines.clear();
    }
}

TEST_F(ConnectionsTest, MissingTransportIsLoggedAfterTheNameSlots) {
    TcpPanel(2, "2048", 5);
    Panels[2].Connected = 0;
    Panels[2].Link.reset();
    ConnectToPanel(2);
    EXPECT_TRUE(Logged("ConnectToPanel - NO NETPORT Class for panel 2 "));
    EXPECT_EQ(SlotNow(596), "panel2");

    SerialPanel(3, "1000", 2, 4);
    Panels[3].Connected = 0;
    Panels[3].Link.reset();
    ConnectToPanel(3);
    EXPECT_TRUE(Logged("ConnectToPanel - NO SERIAL Class for panel 3 "));
    EXPECT_EQ(SlotNow(896), "panel3");
}

TEST_F(ConnectionsTest, SerialOpenResults) {
    Settings.Speed = 38400;
    FakeSerialPort* port = SerialPanel(3, "1000", 2, 4);
    PanelRecord& p = Panels[3];
    port->Close();
    p.Connected = 0;
    p.TxCount = 5;

    port->openResult = -1;
    ConnectToPanel(3);
    EXPECT_TRUE(Logged("opened serial port 4, status -1"));
    EXPECT_TRUE(Logged("Serial port 4 ERROR - does not exist,or is already open"));
    EXPECT_EQ(p.Connected, 0);

    port->openResult = -2;
    ConnectToPanel(3);
    EXPECT_TRUE(Logged("opened serial port 4, status -2"));
    EXPECT_TRUE(Logged("Serial port 4 ERROR - already open"));
    EXPECT_EQ(p.Connected, 0);
    EXPECT_FALSE(Logged("Successfully opened serial port 4, speed 38400"));

    port->openResult = 1;
    p.RxTail.Assign(std::vector<uint8_t>{131});
    info.setslot(899, "1");  // left by an earlier driver
    ConnectToPanel(3);
    EXPECT_TRUE(Logged("opened serial port 4, status 1"));
    EXPECT_TRUE(Logged("Successfully opened serial port 4, speed 38400"));
    EXPECT_EQ(p.Connected, 1);
    EXPECT_TRUE(p.RxTail.Empty());
    EXPECT_EQ(p.TxCount, 5) << "a serial connection leaves the counters alone";
    EXPECT_EQ(SlotNow(899), "0") << "an open port is not a panel heard from";

    // Data waiting on the line reaches the receive path; only an alive
    // message makes the panel connected.
    port->Feed({131, 2, 1, 9, 130, 7, 125});
    port->Notify();
    EXPECT_EQ(SlotNow(609), "1");
    EXPECT_EQ(SlotNow(899), "0");

    // The open line marks the panel for a refresh at its first alive message.
    EXPECT_EQ(p.RefreshPending, 1);
    ClearFrames(*port);
    port->Feed({130, 2, 125});
    port->Notify();
    EXPECT_TRUE(Logged("Reconnected - refreshing panel 3 "));
    EXPECT_EQ(p.RefreshPending, 0);
    ASSERT_FALSE(Frames(*port).empty());
    EXPECT_EQ(Frames(*port).front(), (std::vector<uint8_t>{130, 2, 4})) << "refresh starts with a clear";
    EXPECT_EQ(SlotNow(899), "1");
}

// A COM port that another panel of this driver holds is named as such, and
// not opened; a COM port that names another device than the one held now is
// closed and opened again at the poll.
TEST_F(ConnectionsTest, SerialPortOfAnotherPanelAndAMovedComLink) {
    FakeSerialPort* first = SerialPanel(3, "1000", 2, 4);
    FakeSerialPort* second = SerialPanel(5, "1000", 6, 4);
    second->Close();
    Panels[5].Connected = 0;
    ConnectToPanel(5);
    EXPECT_TRUE(Logged("Serial port 4 ERROR - in use by panel 3"));
    EXPECT_EQ(second->opens, 1) << "only the fixture's open";

    Panels[5].InUse = 0;
    Panels[3].Connected = 1;
    Panels[3].AliveSeen = 1;
    PollPanel(3);
    EXPECT_EQ(first->closes, 0) << "still the device COM4 names";
    first->moved = true;
    PollPanel(3);
    EXPECT_TRUE(Logged("Serial port 4 now names another device or none - port closed "));
    EXPECT_EQ(first->closes, 1);
    EXPECT_EQ(first->opens, 2) << "opened again on the device the name gives now";
    EXPECT_EQ(Panels[3].Connected, 1);
    EXPECT_EQ(SlotNow(899), "0");
}

TEST_F(ConnectionsTest, SerialOpenWithRefreshOff_marksNoRefresh) {
    Settings.RefreshOnConnection = 0;
    FakeSerialPort* port = SerialPanel(3, "1000", 2, 4);
    port->Close();
    Panels[3].Connected = 0;
    ConnectToPanel(3);
    EXPECT_EQ(Panels[3].Connected, 1);
    EXPECT_EQ(Panels[3].RefreshPending, 0);
}

TEST_F(ConnectionsTest, PollPingsTcpAndRetriesTheUnconnected) {
    FakeNetPort* tcp = TcpPanel(1, "2048", 5);
    FakeSerialPort* serial = SerialPanel(2, "1000", 2, 4);
    PollPanel(1);
    PollPanel(2);
    EXPECT_EQ(Frames(*tcp), (std::vector<Bytes>{{130, 5, 0}}));
    EXPECT_EQ(Panels[1].TxCount, 1);
    EXPECT_TRUE(Frames(*serial).empty());
    EXPECT_EQ(Panels[2].TxCount, 0);

    Panels[1].Connected = 0;
    tcp->sock = NetPort::kNoSocket;
    PollAllPanels();
    EXPECT_TRUE(Logged("Poll - attempting to reconnect to panel 1 "));
    EXPECT_EQ(tcp->connects, 1);
    EXPECT_EQ(Panels[1].Connected, 1);
    EXPECT_FALSE(Logged("Poll - attempting to reconnect to panel 2 "));

    // A driver that stays main for years keeps counting: past INT_MAX the
    // count starts again at 1 instead of overflowing.
    Panels[1].Connected = 1;
    tcp->sock = 99;
    Panels[1].TxCount = INT_MAX;
    PollPanel(1);
    EXPECT_EQ(Panels[1].TxCount, 1);
}

TEST_F(ConnectionsTest, DisconnectAllClosesEveryConfiguredPanel) {
    FakeNetPort* tcp = TcpPanel(1, "2048", 5);
    tcp->host = "10.0.0.1";
    FakeSerialPort* serial = SerialPanel(4, "1000", 2, 4);
    Panels[1].RxTail.Assign(std::vector<uint8_t>{131});
    Panels[4].RxTail.Assign(std::vector<uint8_t>{130, 2});
    info.setslot(299, "1");
    info.setslot(1199, "0");  // already "0": not written again

    const int writes = Writes();
    DisconnectAllPanels();
    EXPECT_TRUE(Logged("Disconnecting from all panels "));
    EXPECT_TRUE(Logged("**** Connection CLOSED to panel 1 - 10.0.0.1 - code 0"));
    EXPECT_EQ(tcp->closes, 1);
    EXPECT_EQ(serial->closes, 1);
    EXPECT_EQ(Panels[1].Connected, 0);
    EXPECT_EQ(Panels[4].Connected, 0);
    EXPECT_TRUE(Panels[1].RxTail.Empty());
    EXPECT_TRUE(Panels[4].RxTail.Empty());
    EXPECT_EQ(Writes(), writes + 1);
    EXPECT_EQ(SlotNow(299), "0");
    EXPECT_EQ(SlotNow(1199), "0");
}

TEST_F(ConnectionsTest, RefreshAllPanelsResendsEachConfiguredPanel) {
    FakeNetPort* text = TcpPanel(1, "1000", 5);
    FakeNetPort* lamps = TcpPanel(3, "3201", 6);
    Panels[3].Buttons[2].Colour = 3;
    RefreshAllPanels();
    ASSERT_EQ(Frames(*text).size(), 1u + 2u * 16u);
    EXPECT_EQ(Frames(*text).front(), (Bytes{130, 5, 4}));
    ASSERT_EQ(Frames(*lamps).size(), 40u);
    EXPECT_EQ(Frames(*lamps)[0], (Bytes{131, 6, 3, 1}));
    EXPECT_EQ(Frames(*lamps)[1], (Bytes{131, 6, 2, 2}));
}

// A serial line that hangs up (the event) or fails a read is noticed: the
// panel is marked down (status slot "0"), its port closed and the line
// logged once; the poll opens it again and the first alive message
// refreshes the panel.
TEST_F(ConnectionsTest, SerialLineLossIsNoticedAndThePollReopensIt) {
    FakeSerialPort* port = SerialPanel(3, "1000", 2, 4);
    info.setslot(899, "1");
    port->HangUp(5);  // EIO
    EXPECT_EQ(Panels[3].Connected, 0);
    EXPECT_EQ(port->isOpen, 0);
    EXPECT_EQ(SlotNow(899), "0");
    EXPECT_EQ(seam.CountDebugLines("**** Serial line CLOSED to panel 3 - COM4 - Input/output error "), 1);

    PollPanel(3);
    EXPECT_EQ(port->isOpen, 1);
    EXPECT_EQ(Panels[3].Connected, 1);
    port->Feed({130, 2, 125});
    port->Notify();
    EXPECT_TRUE(Logged("Reconnected - refreshing panel 3 "));
    EXPECT_EQ(SlotNow(899), "1");

    // A read that finds the line gone ends it the same way.
    port->readError = 6;  // ENXIO: the adapter was unplugged
    port->Notify();
    EXPECT_EQ(Panels[3].Connected, 0);
    EXPECT_EQ(port->isOpen, 0);
    EXPECT_EQ(SlotNow(899), "0");
    EXPECT_EQ(seam.CountDebugLines("**** Serial line CLOSED to panel 3 - COM4 - No such device or address "), 1);
}

// A driver whose Infodriver link is gone (cut off while it hung, or the
// Infodriver left) sends no further frame and opens no connection: the
// other driver may be main by now. The loss is then reported as usual.
TEST_F(ConnectionsTest, NoPanelTrafficOnceTheInfodriverLinkIsGone) {
    FakeNetPort* tcp = TcpPanel(1, "2048", 5);
    FakeNetPort* down = ClosedPanel();
    server.reset();  // the Infodriver closes every link
    ASSERT_TRUE(seam.PumpUntil([&] { return info.linklost(); }));
    PollPanel(1);
    PollPanel(2);
    EXPECT_EQ(SendClearPanel(1), SendResult::kDone);
    EXPECT_TRUE(Frames(*tcp).empty());
    EXPECT_EQ(down->connects, 0);
}

}  // namespace
}  // namespace vorn::test
