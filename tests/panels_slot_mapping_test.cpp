// Slot mapping: the road of a slot change from another client to the panel,
// SlotChange's ranges and confirmations, InfoNotify and the start-up load.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "panels/slot_mapping.h"
#include "panels/panel_senders.h"
#include "support/panel_fixture.h"

namespace vorn {
namespace {

using test::Bytes;

class SlotMappingTest : public test::PanelFixture {
protected:
    // A change as the Infodriver reports it, with a text the slot does not
    // hold yet, so a confirmation shows as a write.
    void Change(int slot, const char* text) { SlotChange(kDevice, slot, text); }
};

TEST_F(SlotMappingTest, RoadOfASlotChangeFromAnotherClient) {
    info.setnotify(InfoNotify);
    auto* port = TcpPanel(2, "CP-2048E", 2);
    extinfo other(kInfoInterfaceVersion);
    ASSERT_EQ(other.connect(kDevice, nullptr), 15);

    const int txBefore = InfodriverTxCount;
    other.setslot(351, "%s", "Hello");
    ASSERT_TRUE(seam.PumpUntil([&] { return Panels[2].TxCount == 1; }));
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{142, 2, 32, 'H', 'e', 'l', 'l', 'o', ' ', ' ', ' ', ' ', ' ', 0, 1}}));
    EXPECT_EQ(Panels[2].Buttons[1].MainText, "Hello     ");
    // The echo and the confirmation find the text already there: no write.
    EXPECT_EQ(Read(351), "Hello");
    EXPECT_EQ(InfodriverTxCount, txBefore);
    EXPECT_EQ(seam.Field(kFieldInfoRx), "00000001");
    EXPECT_EQ(seam.Field(kFieldInfoTx), "00000000");

    // Slot 300 is panel 2's offset 0: nothing happens.
    other.setslot(300, "%s", "x");
    other.setslot(352, "%s", "done");
    ASSERT_TRUE(seam.PumpUntil([&] { return Panels[2].TxCount == 2; }));
    EXPECT_EQ(Frames(*port).size(), 2u);
}

TEST_F(SlotMappingTest, ConfirmationOnlyForWhatWasCarriedOut) {
    auto* text = TcpPanel(1, "CP-1000E", 1);
    auto* lamp = TcpPanel(2, "CP-3201E", 2);

    Change(101, "7");
    EXPECT_EQ(Panels[1].Buttons[1].Colour, 7);
    EXPECT_EQ(Frames(*text).back(), (Bytes{132, 1, 64, 1, 7}));
    EXPECT_EQ(Read(101), "7");

    // Out of 0..9: ignored, not written back.
    for (const char* bad : {"12", "-1", "10"}) {
        Change(102, bad);
        Change(202, bad);
        Change(255, bad);
    }
    EXPECT_EQ(Panels[1].Buttons[2].Colour, 0);
    EXPECT_EQ(Panels[1].Buttons[2].AltColour, 0);
    EXPECT_EQ(Read(102), "");
    EXPECT_EQ(Read(202), "");
    EXPECT_EQ(Read(255), "");

    // Lamp values on a lamp panel: on with the value, off with 0.
    Change(405, "3");
    EXPECT_EQ(Frames(*lamp).back(), (Bytes{131, 2, 2, 5}));
    EXPECT_EQ(Panels[2].Buttons[5].Colour, 3);
    Change(405, "0");
    EXPECT_EQ(Frames(*lamp).back(), (Bytes{131, 2, 3, 5}));
    EXPECT_EQ(Panels[2].Buttons[5].Colour, 0);
    EXPECT_EQ(Read(405), "0");

    // Disconnected: the lamp panel stores the value for its next refresh but
    // cannot send it, so nothing is confirmed; the text panel still stores
    // and confirms.
    Panels[1].Connected = 0;
    Panels[2].Connected = 0;
    Change(406, "4");
    EXPECT_EQ(Panels[2].Buttons[6].Colour, 4);
    EXPECT_EQ(Read(406), "");
    Change(103, "5");
    Change(203, "6");
    Change(53, "Label");
    Change(153, "Alt");
    EXPECT_EQ(Panels[1].Buttons[3].Colour, 5);
    EXPECT_EQ(Panels[1].Buttons[3].AltColour, 6);
    EXPECT_EQ(Panels[1].Buttons[3].MainText, "Label     ");
    EXPECT_EQ(Panels[1].Buttons[3].AltText, "Alt       ");
    EXPECT_EQ(Read(103), "5");
    EXPECT_EQ(Read(203), "6");
    EXPECT_EQ(Read(53), "Label");
    EXPECT_EQ(Read(153), "Alt");

    // A non-number reads as 0; labels with percent signs stay data.
    Change(104, "abc");
    EXPECT_EQ(Read(104), "abc");
    Change(54, "100%s%n");
    EXPECT_EQ(Read(54), "100%s%n");
}

TEST_F(SlotMappingTest, EightyButtonPanelRangesOverlapInFixedOrder) {
    auto* port = TcpPanel(1, "CP-6401E", 1);  // 80 lamps
    Change(180, "2");                         // lamp 80
    EXPECT_EQ(Frames(*port).back(), (Bytes{131, 1, 2, 80}));
    Change(100, "Main 50");                   // main label 50
    EXPECT_EQ(Panels[1].Buttons[50].MainText, "Main 50   ");
    Change(181, "Alt 31");                    // alternative label 31
    EXPECT_EQ(Panels[1].Buttons[31].AltText, "Alt 31    ");
    ClearFrames(*port);
    // 250..259 are alternative colours of buttons 50..59 here, not commands.
    Change(250, "4");
    Change(255, "5");
    Change(259, "6");
    EXPECT_TRUE(Frames(*port).empty());
    EXPECT_EQ(Panels[1].Buttons[50].AltColour, 4);
    EXPECT_EQ(Panels[1].Buttons[55].AltColour, 5);
    EXPECT_EQ(Panels[1].Buttons[59].AltColour, 6);
    EXPECT_EQ(Read(259), "6");
}

TEST_F(SlotMappingTest, PanelCommands) {
    auto* port = TcpPanel(1, "CP-1000E", 1);

    Change(250, "1");
    EXPECT_EQ(Frames(*port).back(), (Bytes{130, 1, 6}));
    Change(253, "9");
    EXPECT_EQ(Frames(*port).back(), (Bytes{131, 1, 2, 9}));
    Change(252, "9");
    EXPECT_EQ(Frames(*port).back(), (Bytes{131, 1, 3, 9}));
    EXPECT_EQ(Read(252), "9");

    // 251 starts and stops flashing, never confirmed.
    Change(251, "5");
    EXPECT_EQ(Panels[1].FlashButton, 5);
    EXPECT_TRUE(seam.TimerRunning(kFlashTimer));
    EXPECT_EQ(Read(251), "");

    // 255 stops the flash first, then colours every button.
    Change(255, "2");
    EXPECT_EQ(Panels[1].FlashButton, 0);
    EXPECT_FALSE(seam.TimerRunning(kFlashTimer));
    for (int b = 1; b <= 16; ++b) EXPECT_EQ(Panels[1].Buttons[b].Colour, 2) << b;
    EXPECT_EQ(Read(255), "2");

    // 254: one label for all, each echoed into its own label slot.
    Change(254, "ALL");
    EXPECT_EQ(Panels[1].Buttons[16].MainText, "ALL       ");
    EXPECT_EQ(Read(51), "ALL");
    EXPECT_EQ(Read(66), "ALL");
    EXPECT_EQ(Read(254), "ALL");

    // 259: refresh (clear, then every main face), confirmed.
    ClearFrames(*port);
    Change(259, "1");
    EXPECT_EQ(Frames(*port).front(), (Bytes{130, 1, 4}));
    EXPECT_EQ(Frames(*port).size(), 33u);
    EXPECT_EQ(Read(259), "1");
}

TEST_F(SlotMappingTest, ResetAndSelectOnlyWhileMainButAlwaysConfirmed) {
    auto* port = TcpPanel(1, "CP-2048E", 1);
    auto& b = Panels[1].Buttons;
    b[1].Colour = 4;
    b[2].Colour = 5;
    b[3].Colour = 0;
    b[15].Colour = 0;
    b[4].Colour = 7;

    DriverMode = IFMODE_RXONLY;
    Change(257, "1");
    Change(258, "3");
    EXPECT_TRUE(Frames(*port).empty());
    EXPECT_EQ(b[1].Colour, 4);
    EXPECT_EQ(Read(257), "1");
    EXPECT_EQ(Read(258), "3");

    DriverMode = IFMODE_TXRX;
    b[6].Colour = 4;
    Change(258, "8");
    EXPECT_EQ(b[1].Colour, 1);
    EXPECT_EQ(b[6].Colour, 1);
    EXPECT_EQ(b[8].Colour, 2);
    EXPECT_EQ(Read(101), "1");
    EXPECT_EQ(Read(106), "1");
    EXPECT_EQ(Read(108), "2");

    Change(257, "2");
    EXPECT_EQ(b[2].Colour, 2);
    EXPECT_EQ(b[3].Colour, 1);
    EXPECT_EQ(b[15].Colour, 3);  // yellow rest on a 48-button panel
    EXPECT_EQ(b[4].Colour, 7);   // no rest colour: stays
    EXPECT_EQ(Read(115), "3");
    EXPECT_EQ(Read(104), "7");
    EXPECT_EQ(Frames(*port).back(), (Bytes{132, 1, 64, 48, 3}));
}

TEST_F(SlotMappingTest, SlotsOutsideConfiguredPanelsAreLoggedAndIgnored) {
    TcpPanel(12, "CP-1000E", 1);
    Change(3600, "x");
    EXPECT_TRUE(Logged("SlotChange function from device 1 - invalid panel - slot 3600 - change ignored 'x'"));
    Change(-1, "%s%s");
    EXPECT_TRUE(Logged("SlotChange function from device 1 - invalid panel - slot -1 - change ignored '%s%s'"));
    Change(351, "x");
    EXPECT_TRUE(Logged("SlotChange function for invalid device 1 - invalid panel - 2 "));
    Change(3599, "1");  // panel 12's connection state
    Change(3300 + 270, "1");
    Change(3300 + 5, "1");
    EXPECT_EQ(Read(3599), "");
    EXPECT_EQ(Read(3305), "");
    SlotChange(kDevice, 3600, nullptr);
}

TEST_F(SlotMappingTest, InfoNotifyByStatus) {
    info.setslot(4001, "1");

    info.iStatus = kInfoReqTxRx;
    DriverMode = IFMODE_TXRX;
    ModeCheckCountdown = 7;
    InfoNotify(&info, 0, "");
    EXPECT_EQ(ModeCheckCountdown, 7);  // main: nothing

    DriverMode = IFMODE_RXONLY;
    info.iMode = IFMODE_RXONLY;
    InfoNotify(&info, 0, "");
    EXPECT_EQ(ModeCheckCountdown, 0);
    EXPECT_EQ(info.iMode, IFMODE_TXRX);
    EXPECT_EQ(seam.Field(kFieldInfoStatus), "Req Tx/Rx :- MAIN ");

    info.iStatus = kInfoReqRxOnly;
    InfoNotify(&info, 0, "");
    EXPECT_FALSE(Logged("Infodriver 1 received request to go RX Only"));
    ShowAllMessages = 1;
    InfoNotify(&info, 0, "");
    EXPECT_TRUE(Logged("Infodriver 1 received request to go RX Only"));

    const size_t lines = seam.debugLines.size();
    for (int quiet : {kInfoInquiry, kInfoDeviceIdInUse}) {
        info.iStatus = quiet;
        InfoNotify(&info, 0, "");
    }
    EXPECT_EQ(seam.debugLines.size(), lines);
    info.iStatus = 42;
    InfoNotify(&info, 0, nullptr);
    EXPECT_TRUE(Logged("InfoNotify - iStatus=42"));

    info.iStatus = kInfoDisconnected;
    InfoNotify(&info, 0, "Infodriver has disconnected");
    EXPECT_TRUE(Logged("Infodriver 1 has disconnected"));
    EXPECT_EQ(seam.Field(kFieldInfoStatus), " ERROR: Disconnected");
    EXPECT_EQ(seam.closeRequests, 1);
    info.iStatus = kInfoSlotChanged;
    EXPECT_EQ(Read(4001), "0");
}

TEST_F(SlotMappingTest, InfodriverGoingAwayPostsTheCloseRequest) {
    info.setnotify(InfoNotify);
    server.reset();
    ASSERT_TRUE(seam.PumpUntil([&] { return seam.closeRequests == 1; }));
    EXPECT_TRUE(Logged("Infodriver 1 has disconnected"));
}

TEST_F(SlotMappingTest, StartupLoadReadsLabelsAndColours) {
    TcpPanel(1, "CP-1000E", 1);
    TcpPanel(2, "CP-3201E", 2);
    TcpPanel(3, "nothing known", 3);
    info.setslot(51, "%s", "A label of twenty ch");
    info.setslot(52, "%s", "50%s");
    info.setslot(101, "7");
    info.setslot(102, "12");    // not a colour: not stored
    info.setslot(151, "alt");
    info.setslot(201, "3");
    info.setslot(351, "lamp label");
    info.setslot(401, "9");
    LoadAllInfodriverData();

    auto& b = Panels[1].Buttons;
    EXPECT_EQ(b[1].MainText, "A label of twen");
    EXPECT_EQ(b[2].MainText, "50%s");
    EXPECT_EQ(b[3].MainText, "");
    EXPECT_EQ(b[1].Colour, 7);
    EXPECT_EQ(b[2].Colour, 0);
    EXPECT_EQ(b[1].AltText, "alt");
    EXPECT_EQ(b[1].AltColour, 3);
    EXPECT_TRUE(Logged("loading ALL infodrv data for panel 1 panel1"));
    EXPECT_TRUE(Logged("  --> slot 51 main text A label of twenty ch - button 1 "));
    EXPECT_TRUE(Logged("  --> slot 101 colr 7 - button 1 7 "));
    EXPECT_TRUE(Logged("  --> slot 201 altcolr 3 - button 1 3 "));
    // Lamp panel: only the lamp values.
    EXPECT_EQ(Panels[2].Buttons[1].Colour, 9);
    EXPECT_EQ(Panels[2].Buttons[1].MainText, "          -");
    EXPECT_TRUE(Logged("loading colour infodrv data only for panel 2 panel2"));
    EXPECT_FALSE(Logged("loading ALL infodrv data for panel 3 panel3"));
}

// What the slots hold is what a refresh shows: a lamp value set while the
// panel is down is stored and sent by the refresh after the reconnection,
// and a button that slot 251 still names goes on flashing after a refresh.
TEST_F(SlotMappingTest, RefreshShowsWhatTheSlotsHoldAndKeepsTheFlashing) {
    info.setnotify(InfoNotify);
    auto* lamp = TcpPanel(2, "CP-3201E", 2);
    Panels[2].Connected = 0;
    Change(405, "3");
    EXPECT_TRUE(Frames(*lamp).empty());
    Panels[2].Connected = 1;
    RefreshPanel(2);
    EXPECT_NE(std::find(Frames(*lamp).begin(), Frames(*lamp).end(), Bytes{131, 2, 2, 5}), Frames(*lamp).end());

    auto* text = TcpPanel(1, "CP-2048E", 1);
    extinfo other(kInfoInterfaceVersion);
    ASSERT_EQ(other.connect(kDevice, nullptr), 15);
    other.setslot(251, "4");
    ASSERT_TRUE(seam.PumpUntil([&] { return Panels[1].FlashButton == 4; }));
    RefreshPanel(1);
    EXPECT_EQ(Panels[1].FlashButton, 4);
    EXPECT_TRUE(seam.TimerRunning(kFlashTimer));
    other.setslot(251, "0");
    ASSERT_TRUE(seam.PumpUntil([&] { return Panels[1].FlashButton == 0; }));
    RefreshPanel(1);
    EXPECT_EQ(Panels[1].FlashButton, 0);
    EXPECT_FALSE(Frames(*text).empty());
    other.disconnect();
}

}  // namespace
}  // namespace vorn
