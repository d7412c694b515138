// The receive path: port events and serial notifications turned into panel
// state and Infodriver slot writes, on fake ports against a real in-process
// Infodriver.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/driver_state.h"
#include "core/seam.h"
#include "panels/panel_table.h"
#include "protocol/message_cutter.h"
#include "protocol/panel_frames.h"
#include "panels/receive_path.h"
#include "support/panel_fixture.h"

namespace vorn::test {
namespace {

class ReceivePathTest : public PanelFixture {
protected:
    // A TCP panel whose port reports to the receive path, as ConnectToPanel
    // leaves it.
    FakeNetPort* Tcp(int n, int commsId, const std::string& address = "", int port = 2001) {
        FakeNetPort* p = TcpPanel(n, "2048", commsId);
        if (!address.empty()) Panels[n].IpAddress = address;
        Panels[n].Port = port;
        p->host = Panels[n].IpAddress;
        return p;
    }

    static void Read(FakeNetPort* port, const Bytes& bytes) {
        port->Feed(bytes);
        port->Raise(NetPort::kFdRead);
    }

    static void Notify(FakeSerialPort* port, const Bytes& bytes, uint32_t errors = 0) {
        port->Feed(bytes);
        port->errorFlags = errors;
        port->Notify();
    }

    int Writes() const { return InfodriverTxCount; }
};

TEST_F(ReceivePathTest, ButtonPressAndReleaseAlwaysReachTheInfodriver) {
    FakeNetPort* port = Tcp(2, 5);
    ChosenPanel = 2;
    ShowAllMessages = 1;
    info.setslot(307, "1");  // already "1": the press must still be written

    int before = Writes();
    Read(port, {131, 5, 1, 7});
    EXPECT_EQ(Writes(), before + 1);
    EXPECT_EQ(SlotNow(307), "1");
    EXPECT_EQ(Panels[2].LastButton, 7);
    EXPECT_EQ(seam.Field(kFieldLastButton), "7");
    EXPECT_EQ(Panels[2].RxCount, 1);
    EXPECT_TRUE(Logged("RX-> 83 05 01 07 , Read 4 bytes from panel 2"));
    EXPECT_TRUE(Logged("Pressed Button 7 from panel 2"));

    // Release by action 0 and by action 5; a second release is written too.
    before = Writes();
    Read(port, {131, 5, 0, 7});
    Read(port, {131, 5, 5, 7});
    EXPECT_EQ(Writes(), before + 2);
    EXPECT_EQ(SlotNow(307), "0");
    EXPECT_EQ(seam.CountDebugLines("Released Button 7 from panel 2"), 2);

    // Another panel chosen: the field is left alone, LastButton still moves.
    ChosenPanel = 1;
    const size_t fieldWrites = seam.fieldHistory.size();
    Read(port, {131, 5, 1, 9});
    EXPECT_EQ(Panels[2].LastButton, 9);
    EXPECT_EQ(seam.fieldHistory.size(), fieldWrites);
    EXPECT_EQ(SlotNow(309), "1");
}

TEST_F(ReceivePathTest, JoystickWritesItsStateSlotAndShowsItsNumber) {
    FakeNetPort* port = Tcp(1, 1);
    ChosenPanel = 1;
    Panels[1].LastButton = 4;

    Read(port, {131, 65, 1, 3});
    EXPECT_EQ(SlotNow(273), "1");
    EXPECT_EQ(seam.Field(kFieldLastButton), "J-3");
    EXPECT_EQ(Panels[1].LastButton, 4);

    Read(port, {131, 65, 5, 3});
    EXPECT_EQ(SlotNow(273), "0");
}

TEST_F(ReceivePathTest, NumbersOutsideThePanelsSlotsAreNotWritten) {
    FakeNetPort* port = Tcp(1, 1);
    info.setslot(299, "1");
    info.setslot(351, "label");
    const int before = Writes();

    // Joystick 29 would hit the connection-state slot, 81 the next panel's
    // label; button 51 of a 48-button panel a label of this panel.
    Read(port, {131, 65, 1, 29, 131, 65, 1, 81, 131, 1, 1, 51, 131, 1, 1, 0});
    EXPECT_EQ(Writes(), before);
    EXPECT_EQ(SlotNow(299), "1");
    EXPECT_EQ(SlotNow(351), "label");
    EXPECT_EQ(Panels[1].LastButton, 0);
    EXPECT_TRUE(Logged("Warning-  joystick 29 out of range from panel 1 "));
    EXPECT_TRUE(Logged("Warning-  button 51 out of range from panel 1 "));

    // The highest joystick and button that do belong to the panel.
    Read(port, {131, 65, 1, 25, 131, 1, 1, 48});
    EXPECT_EQ(SlotNow(295), "1");
    EXPECT_EQ(SlotNow(48), "1");

    // Buttons beyond the configured type but within the button-state offsets
    // (hardware larger than its settings say) still reach their slots.
    Read(port, {131, 1, 1, 50});
    EXPECT_EQ(SlotNow(50), "1");
    EXPECT_EQ(Panels[1].LastButton, 50);
}

TEST_F(ReceivePathTest, LargePanelButtonsAboveFiftyAreWritten) {
    FakeNetPort* port = Tcp(1, 1);
    ApplyPanelType(Panels[1], "CP-6401E");  // 80 lamp buttons
    Read(port, {131, 1, 1, 80, 131, 1, 1, 81});
    EXPECT_EQ(SlotNow(80), "1");
    EXPECT_EQ(SlotNow(81), "");
    EXPECT_TRUE(Logged("Warning-  button 81 out of range from panel 1 "));
}

TEST_F(ReceivePathTest, TcpConnectAndCloseEvents) {
    FakeNetPort* port = Tcp(2, 5);
    PanelRecord& p = Panels[2];

    p.Connected = 0;
    port->Raise(NetPort::kFdConnect, 0);
    EXPECT_EQ(p.Connected, 1);
    EXPECT_EQ(p.RefreshPending, 1);
    EXPECT_EQ(SlotNow(599), "1");
    EXPECT_TRUE(Logged("Connect OK to panel 2 - addr 10.0.0.2"));
    EXPECT_TRUE(Frames(*port).empty()) << "nothing is resent before the first alive message";

    port->Raise(NetPort::kFdClose, 104);
    EXPECT_EQ(p.Connected, 0);
    EXPECT_EQ(p.RefreshPending, 1);
    EXPECT_EQ(SlotNow(599), "0");
    EXPECT_TRUE(Logged("**** Connection CLOSED to panel 2 - 10.0.0.2 - code 104"));

    // Without RefreshOnConnection the connect marks nothing for refresh.
    Settings.RefreshOnConnection = 0;
    p.RefreshPending = 0;
    port->sock = 99;
    port->Raise(NetPort::kFdConnect, 0);
    EXPECT_EQ(p.RefreshPending, 0);

    p.Connected = 1;
    port->sock = 99;
    port->Raise(NetPort::kFdConnect, 111);
    EXPECT_EQ(p.Connected, 0);
    EXPECT_EQ(SlotNow(599), "0");
    EXPECT_TRUE(Logged("Failed to connect to panel 2 - 10.0.0.2"));

    // Unknown event codes change nothing.
    const int before = Writes();
    port->sock = 99;
    p.Connected = 1;
    port->Raise(8, 0);
    EXPECT_EQ(p.Connected, 1);
    EXPECT_EQ(Writes(), before);
}

TEST_F(ReceivePathTest, AliveMessagesOnTcp) {
    FakeNetPort* port = Tcp(2, 5);
    PanelRecord& p = Panels[2];
    ShowAllMessages = 1;

    // 125 while disconnected: connected again and refreshed in the same call.
    p.Connected = 0;
    info.setslot(599, "0");
    Read(port, {130, 5, 125});
    EXPECT_EQ(p.Connected, 1);
    EXPECT_EQ(p.RefreshPending, 0);
    EXPECT_EQ(SlotNow(599), "1");
    EXPECT_TRUE(Logged("Alive message from panel 2"));
    EXPECT_TRUE(Logged("Reconnected - refreshing panel 2 "));
    ASSERT_FALSE(Frames(*port).empty());
    EXPECT_EQ(Frames(*port).front(), (Bytes{130, 5, 4})) << "a text panel's refresh starts with a clear";

    // 125 while connected: the slot already reads "1", so nothing is written
    // and nothing is resent.
    ClearFrames(*port);
    int before = Writes();
    Read(port, {130, 5, 125});
    EXPECT_EQ(Writes(), before);
    EXPECT_TRUE(Frames(*port).empty());

    // 124: neither the slot nor Connected, in both states, but a pending
    // refresh still happens.
    info.setslot(599, "0");
    before = Writes();
    Read(port, {130, 5, 124});
    EXPECT_EQ(p.Connected, 1);
    p.Connected = 0;
    Read(port, {130, 5, 124});
    EXPECT_EQ(p.Connected, 0);
    EXPECT_EQ(Writes(), before);
    EXPECT_TRUE(Frames(*port).empty());

    p.Connected = 1;
    p.RefreshPending = 1;
    Read(port, {130, 5, 124});
    EXPECT_EQ(p.RefreshPending, 0);
    EXPECT_FALSE(Frames(*port).empty());
    EXPECT_EQ(SlotNow(599), "0");
}

TEST_F(ReceivePathTest, ConnectThenFirstAliveRefreshes) {
    FakeNetPort* port = Tcp(2, 5);
    Panels[2].Connected = 0;
    port->Raise(NetPort::kFdConnect, 0);
    EXPECT_TRUE(Frames(*port).empty());
    Read(port, {130, 5, 125});
    EXPECT_EQ(seam.CountDebugLines("Reconnected - refreshing panel 2 "), 1);
    // Clear, then text and colour of each of the 48 buttons.
    EXPECT_EQ(Frames(*port).size(), 1u + 2u * 48u);
}

TEST_F(ReceivePathTest, SerialBlocksAndLineErrors) {
    FakeSerialPort* port = SerialPanel(3, "1000", 2, 4);
    PanelRecord& p = Panels[3];

    // Blocks that carry only other panels' ids make no panel connected.
    p.Connected = 0;
    Notify(port, {130, 7, 125, 131, 7, 1, 5});
    EXPECT_EQ(p.Connected, 0);
    EXPECT_EQ(SlotNow(899), "");
    Notify(port, {130, 2, 99, 131, 2, 1, 5});  // a serial panel's alive code is not examined
    EXPECT_EQ(p.Connected, 1);
    EXPECT_EQ(SlotNow(899), "1");
    EXPECT_EQ(SlotNow(605), "1");
    EXPECT_EQ(p.RxCount, 2);
    EXPECT_EQ(seam.Field(kFieldInfoTx).size(), 8u) << "counters shown at every notification";

    // Each flag alone, and flags together, drop the block.
    for (uint32_t flags : {1u, 2u, 4u, 8u, 16u, 256u, 1024u, 10u, 1024u + 1u}) {
        SCOPED_TRACE(flags);
        info.setslot(899, "1");
        const int before = Writes();
        Notify(port, {131, 2, 0, 5}, flags);
        EXPECT_EQ(Writes(), before + 1) << "only the connection state is written";
        EXPECT_EQ(SlotNow(899), "0");
        EXPECT_EQ(SlotNow(605), "1");
        EXPECT_EQ(p.Connected, 1) << "Connected stays as it was";
        EXPECT_TRUE(Logged("*** Serial Com port 4 ERROR \"" + std::to_string(flags) + "\""));
    }
    EXPECT_EQ(p.RxCount, 2) << "dropped blocks are not parsed";

    // A flag outside the list is not a line error; the panel counts as heard
    // from again at its next alive message.
    Notify(port, {131, 2, 0, 5}, 32);
    EXPECT_EQ(SlotNow(605), "0");
    EXPECT_EQ(SlotNow(899), "0");
    Notify(port, {130, 2, 125});
    EXPECT_EQ(SlotNow(899), "1");
}

TEST_F(ReceivePathTest, SerialErrorDropsTheCarriedPartialMessage) {
    FakeSerialPort* port = SerialPanel(3, "1000", 2, 4);
    Notify(port, {131, 2});
    EXPECT_EQ(Panels[3].RxTail.Size(), 2u);
    Notify(port, {9, 9}, 8);
    EXPECT_TRUE(Panels[3].RxTail.Empty());
    Notify(port, {1, 5});
    EXPECT_NE(SlotNow(605), "1");
}

TEST_F(ReceivePathTest, EmptyReadCountsOneBlock) {
    FakeNetPort* port = Tcp(2, 5);
    const size_t lines = seam.debugLines.size();
    Read(port, {});
    EXPECT_EQ(Panels[2].RxCount, 1);
    EXPECT_EQ(seam.debugLines.size(), lines);

    FakeSerialPort* serial = SerialPanel(3, "1000", 2, 4);
    Notify(serial, {});
    EXPECT_EQ(Panels[3].RxCount, 1);
}

TEST_F(ReceivePathTest, ReadErrorsParseNothing) {
    FakeNetPort* port = Tcp(2, 5);
    port->Feed({131, 5, 1, 7});
    port->Raise(NetPort::kFdRead, 10054);
    EXPECT_TRUE(Logged("Main Panel 2---Read Error-2--"));

    port->sock = NetPort::kNoSocket;  // Receive gives -1
    port->Raise(NetPort::kFdRead, 0);
    EXPECT_TRUE(Logged("Main Panel 2 ---Read Error-1--"));
    EXPECT_EQ(Panels[2].RxCount, 0);
    EXPECT_EQ(Panels[2].Connected, 1);
}

TEST_F(ReceivePathTest, EventsBelongToThePortThatRaisedThem) {
    // "10.0.0.12" contains "10.0.0.1": an address search would pick panel 1.
    FakeNetPort* one = Tcp(1, 1, "10.0.0.12");
    FakeNetPort* three = Tcp(3, 3, "10.0.0.1");
    Read(three, {131, 3, 1, 2});
    EXPECT_EQ(SlotNow(602), "1");
    EXPECT_EQ(SlotNow(2), "");
    EXPECT_EQ(Panels[1].RxCount, 0);
    three->Raise(NetPort::kFdClose, 0);
    EXPECT_EQ(Panels[3].Connected, 0);
    EXPECT_EQ(Panels[1].Connected, 1);
    EXPECT_EQ(SlotNow(299), "");

    // Two panels on one address, different TCP ports.
    FakeNetPort* a = Tcp(5, 7, "10.9.9.9", 2001);
    FakeNetPort* b = Tcp(6, 7, "10.9.9.9", 2002);
    Read(b, {131, 7, 1, 1});
    EXPECT_EQ(SlotNow(1501), "1");
    EXPECT_EQ(SlotNow(1201), "");
    a->Raise(NetPort::kFdClose, 0);
    EXPECT_EQ(Panels[5].Connected, 0);
    EXPECT_EQ(Panels[6].Connected, 1);

    // A link that belongs to no panel, or to an unused one, changes nothing.
    auto strayPort = std::make_unique<FakeNetPort>();
    FakeNetPort* stray = strayPort.get();
    TcpPanelLink strayLink("10.0.0.1", 2001, std::move(strayPort));
    strayLink.SetHandler(&NetEventMain);
    stray->sock = 99;
    const int before = Writes();
    Read(stray, {131, 1, 1, 1});
    Panels[1].InUse = 0;
    Read(one, {131, 1, 1, 1});
    EXPECT_EQ(Writes(), before);
    EXPECT_EQ(Panels[1].RxCount, 0);
    EXPECT_EQ(Panels[1].LastButton, 0);
    stray->sock = NetPort::kNoSocket;
}

TEST_F(ReceivePathTest, SplitMessageIsJoinedAndForgottenOnClose) {
    FakeNetPort* port = Tcp(2, 5);
    Read(port, {130, 5, 125, 131, 5});
    EXPECT_EQ(Panels[2].RxTail.Size(), 2u);
    Read(port, {1, 7});
    EXPECT_EQ(SlotNow(307), "1");
    EXPECT_EQ(Panels[2].RxCount, 2);

    Read(port, {131, 5, 0});
    port->Raise(NetPort::kFdClose, 0);
    EXPECT_TRUE(Panels[2].RxTail.Empty());
    port->sock = 99;
    port->Raise(NetPort::kFdConnect, 0);
    Read(port, {7});
    EXPECT_EQ(SlotNow(307), "1") << "bytes of the old connection never complete a message";
}

// A port whose write raises another receive event while the first one is
// being handled (as a nested event loop would).
class ReentrantNetPort : public FakeNetPort {
public:
    int Send(const void* data, int len) override {
        if (nested++ == 0) {
            Feed({131, 5, 1, 9});
            Raise(kFdRead);
        }
        return FakeNetPort::Send(data, len);
    }
    int nested = 0;
};

class ReentrantSerialPort : public FakeSerialPort {
public:
    int Write(const void* data, int length) override {
        if (nested++ == 0) Notify();
        return FakeSerialPort::Write(data, length);
    }
    int nested = 0;
};

TEST_F(ReceivePathTest, ReentryGivesUpAtOnceAndLeavesTheHandlerUsable) {
    Tcp(2, 5)->sock = NetPort::kNoSocket;  // replaced below: its end reports nothing
    auto tcp = std::make_unique<ReentrantNetPort>();
    ReentrantNetPort* port = tcp.get();
    InstallPanelLink(2, std::make_unique<TcpPanelLink>("10.0.0.2", 2001, std::move(tcp)));
    port->sock = 99;
    Panels[2].Connected = 0;

    Read(port, {130, 5, 125});  // refresh: the first frame re-enters
    EXPECT_EQ(seam.CountDebugLines("NetEventMain - ERROR - timeout / fail to aquire netPort semaphore "), 1);
    EXPECT_EQ(Panels[2].LastButton, 0);
    EXPECT_GT(Frames(*port).size(), 1u) << "the outer event ran to its end";
    Read(port, {});  // the queued press is read by the next event
    EXPECT_EQ(Panels[2].LastButton, 9);

    SerialPanel(3, "1000", 2, 4);
    auto serial = std::make_unique<ReentrantSerialPort>();
    ReentrantSerialPort* sp = serial.get();
    InstallPanelLink(3, std::make_unique<SerialPanelLink>(4, std::move(serial)));
    Panels[3].Link->Open();
    Panels[3].RefreshPending = 1;
    Notify(sp, {130, 2, 125});
    EXPECT_EQ(seam.CountDebugLines("NetEventMain - ERROR - timeout / fail to aquire SerialPort semaphore "), 1);
    Notify(sp, {131, 2, 1, 3});
    EXPECT_EQ(Panels[3].LastButton, 3);
}

TEST_F(ReceivePathTest, ReadTraceIsVerboseOnly) {
    FakeNetPort* port = Tcp(2, 5);
    FakeSerialPort* serial = SerialPanel(3, "1000", 2, 4);
    Read(port, {130, 5, 125});
    Notify(serial, {130, 2, 125});
    EXPECT_EQ(seam.CountDebugLines("RX-> 82 05 7D , Read 3 bytes from panel 2"), 0);
    EXPECT_EQ(seam.CountDebugLines("RX-> 82 02 7D , Read 3 bytes from port 4"), 0);
    EXPECT_EQ(seam.CountDebugLines("Alive message from panel 2"), 0);
    ShowAllMessages = 1;
    Read(port, {130, 5, 125});
    Notify(serial, {130, 2, 125});
    EXPECT_TRUE(Logged("RX-> 82 05 7D , Read 3 bytes from panel 2"));
    EXPECT_TRUE(Logged("RX-> 82 02 7D , Read 3 bytes from port 4"));
}

TEST_F(ReceivePathTest, RxCountNeverOverflows) {
    FakeNetPort* port = Tcp(2, 5);
    Panels[2].RxCount = INT_MAX;
    Read(port, {});
    EXPECT_EQ(Panels[2].RxCount, 1) << "starts again at 1 past INT_MAX";
}

// Random blocks on a configured panel: no crash, no read outside the block
// (a sanitizer build reports one), and every slot written lies in the
// panel's own button, joystick or connection-state slots.
TEST_F(ReceivePathTest, RandomBlocksWriteOnlyThePanelsOwnSlots) {
    FakeNetPort* tcp = Tcp(2, 5);                          // slots 300..599, 48 buttons
    FakeSerialPort* serial = SerialPanel(12, "3201", 64, 4);  // slots 3300..3599, 40 lamps
    ASSERT_EQ(Panels[12].SlotOffset, 3300);
    constexpr int kCheckedSlots = 4200;  // beyond the highest slot any byte could name
    std::vector<std::string> before(kCheckedSlots);
    for (int s = 0; s < kCheckedSlots; ++s) before[s] = Slot(s);

    std::mt19937 rng(4242);
    for (int panel : {2, 12}) {
        PanelRecord& p = Panels[panel];
        const uint8_t id = static_cast<uint8_t>(p.CommsId);
        const uint8_t hot[] = {130, 131, 130, 131, id, id, static_cast<uint8_t>(id + 64), 0, 1, 5, 124, 125, 26, 255};
        ChosenPanel = panel;
        int blocks = 0;
        for (int round = 0; round < 1500; ++round) {
            ShowAllMessages = round % 2;
            if (round % 97 == 0) p.Connected = 0;  // the next alive refreshes
            Bytes block(rng() % (kSerialBlockMax + 1));
            for (uint8_t& b : block) b = (rng() % 3) ? hot[rng() % std::size(hot)] : static_cast<uint8_t>(rng());
            if (panel == 2 && round % 3 == 0) {
                // Through the link: one read event takes everything, in
                // blocks of at most 64 bytes (an empty read counts one).
                tcp->Feed(block);
                tcp->Raise(NetPort::kFdRead);
                blocks += std::max<int>(1, static_cast<int>((block.size() + 63) / 64));
                ASSERT_TRUE(tcp->incoming.empty());
            } else {
                // An exact-size heap copy: any read past it is an overflow.
                const std::unique_ptr<uint8_t[]> exact(new uint8_t[block.size() + 1]);
                std::copy(block.begin(), block.end(), exact.get());
                ParsePanelData(block.empty() ? nullptr : exact.get(), block.size(), panel);
                ++blocks;
            }
            ClearFrames(*tcp);
            ClearFrames(*serial);
        }
        EXPECT_EQ(p.RxCount, blocks);
        EXPECT_GE(p.LastButton, 1);
        EXPECT_LE(p.LastButton, std::max(p.ButtonCount, kLabelOffset));
        EXPECT_LE(p.RxTail.Size(), RxCarry::kMaxBytes);
    }

    SlotNow(0);  // every write has reached the Infodriver
    const auto ownSlot = [](int slot) {
        for (int panel : {2, 12}) {
            const int e = slot - Panels[panel].SlotOffset;
            if ((e >= 1 && e <= std::max(Panels[panel].ButtonCount, kLabelOffset)) || (e >= 270 && e <= 295) ||
                e == 299) {
                return true;
            }
        }
        return false;
    };
    int written = 0;
    for (int s = 0; s < kCheckedSlots; ++s) {
        if (Slot(s) == before[s]) continue;
        ++written;
        EXPECT_TRUE(ownSlot(s)) << "slot " << s << " written: " << Slot(s);
    }
    EXPECT_GT(written, 50) << "the random blocks did reach the handlers";
    EXPECT_EQ(Slot(599), "1");
    EXPECT_EQ(Slot(3599), "1");
}

TEST_F(ReceivePathTest, ParsePanelDataRejectsABadPanelNumber) {
    const uint8_t block[] = {131, 1, 1, 1};
    ParsePanelData(block, sizeof block, 13);
    ParsePanelData(nullptr, 4, 0);
    EXPECT_TRUE(Logged("ParsePanelData - invalid panel 13 "));
    ParsePanelData(nullptr, 4, 1);
    EXPECT_EQ(Panels[1].RxCount, 1);
}

}  // namespace
}  // namespace vorn::test
