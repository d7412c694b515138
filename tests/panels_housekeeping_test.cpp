// The main window's timer ticks with hand-ticked timers: start-up load,
// housekeeping (mode check, polling, comms summary, chosen panel), flashing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/settings.h"
#include "core/version_info.h"
#include "app/driver_app.h"
#include "app/housekeeping.h"
#include "panels/mode_tracking.h"
#include "panels/panel_connections.h"
#include "panels/panel_senders.h"
#include "support/panel_fixture.h"

namespace vorn {
namespace {

using test::Bytes;

class HousekeepingTest : public test::PanelFixture {
protected:
    void SetUp() override {
        PanelFixture::SetUp();
        seam.SetTimerHandler(OnTimerTick);
    }
    void TearDown() override {
        unsetenv("QX_ROOT");
        unsetenv("QX_SYSTEM");
        PanelFixture::TearDown();
    }
    // Settings files (read at every access) live in the temporary directory.
    void UseTempConfig() {
        setenv("QX_ROOT", dir.path().c_str(), 1);
        setenv("QX_SYSTEM", "sys", 1);
        std::filesystem::create_directories(ResolvePaths());
    }
    int FieldWrites(int id) const {
        return static_cast<int>(std::count_if(seam.fieldHistory.begin(), seam.fieldHistory.end(),
                                              [&](const auto& w) { return w.first == id; }));
    }
    // A configured TCP panel whose transport is not open yet.
    test::FakeNetPort* ClosedTcpPanel(int n, int commsId) {
        auto* port = TcpPanel(n, "CP-1000E", commsId);
        port->sock = NetPort::kNoSocket;
        Panels[n].Connected = 0;
        return port;
    }
    // Ticks of a running timer, the clock moved on by its period before each.
    void Ticks(int id, int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(seam.TimerRunning(id));
            seam.Advance(std::chrono::milliseconds(seam.timers[id]));
            ASSERT_TRUE(seam.Tick(id));
        }
    }
};

TEST_F(HousekeepingTest, StartupLoadChoosesTheFirstListedPanel) {
    UseTempConfig();
    std::ofstream(ConfigDir + "/DEV_001.ini")
        << "[Pellax_Panel_2]\nPanel_ID=two\nPanel_Location=hall\nTCPIP_Address=10.0.0.2\n"
           "[Pellax_Panel_5]\nPanel_ID=five\nTCPIP_Address=10.0.0.5\n";
    info.setslot(351, "%s", "Hello world 12345678");
    info.setslot(401, "7");
    ShowAllMessages = 1;

    seam.StartTimer(kStartupLoadTimer, 300);
    ASSERT_TRUE(seam.Tick(kStartupLoadTimer));

    EXPECT_FALSE(seam.TimerRunning(kStartupLoadTimer));
    EXPECT_EQ(seam.Field(kFieldVersion), DottedProductVersion());
    EXPECT_EQ(seam.Field(kFieldVersion), "2. 1. 0. 30");
    std::vector<std::string> status;
    for (const auto& [id, text] : seam.fieldHistory) {
        if (id == kFieldDriverStatus) status.push_back(text);
    }
    EXPECT_EQ(status, (std::vector<std::string>{"Loading Data ....", "Running OK ...."}));
    EXPECT_EQ(DriverStatus, 0);
    EXPECT_EQ(ShowAllMessages, 0);
    EXPECT_EQ(Panels[2].Buttons[1].MainText, "Hello world 123");
    EXPECT_EQ(Panels[2].Buttons[1].Colour, 7);
    EXPECT_EQ(ChosenPanel, 2);
    EXPECT_EQ(seam.PanelListSelection(), 0);
    EXPECT_EQ(seam.Field(kFieldLocation), "hall");
    EXPECT_EQ(seam.timers, (std::map<int, int>{{kHousekeepingTimer, 1000}}));
    EXPECT_EQ(Panels[2].Connected, 0);  // connecting waits for the mode check
}

TEST_F(HousekeepingTest, StartupLoadWithoutPanels) {
    UseTempConfig();
    StartupLoadTick();
    EXPECT_EQ(PanelCount, 0);
    EXPECT_EQ(ChosenPanel, 0);
    EXPECT_EQ(seam.PanelListSelection(), -1);
    EXPECT_TRUE(seam.TimerRunning(kHousekeepingTimer));
}

TEST_F(HousekeepingTest, BecomingMainConnectsAndPollsTwoTicksLater) {
    auto* one = ClosedTcpPanel(1, 1);
    auto* three = ClosedTcpPanel(3, 3);
    seam.StartTimer(kHousekeepingTimer, 1000);

    Ticks(kHousekeepingTimer, 1);
    EXPECT_EQ(DriverMode, IFMODE_TXRX);
    EXPECT_EQ(Read(4001), "1");
    EXPECT_EQ(one->connects, 1);
    EXPECT_EQ(three->connects, 1);
    auto first = std::find(seam.debugLines.begin(), seam.debugLines.end(), "Connection opened OK to Panel 1=panel1");
    auto second = std::find(seam.debugLines.begin(), seam.debugLines.end(), "Connection opened OK to Panel 3=panel3");
    EXPECT_LT(first, second);
    EXPECT_FALSE(Logged("Driver now MAIN -- so connecting to all hardware"));  // verbose only
    EXPECT_TRUE(Frames(*one).empty());
    EXPECT_EQ(ModeCheckCountdown, 10);

    Ticks(kHousekeepingTimer, 1);
    EXPECT_TRUE(Frames(*one).empty());
    Ticks(kHousekeepingTimer, 1);  // third tick: first poll
    EXPECT_EQ(Frames(*one), (std::vector<Bytes>{{130, 1, 0}}));
    EXPECT_EQ(Frames(*three), (std::vector<Bytes>{{130, 3, 0}}));
    Ticks(kHousekeepingTimer, 3);
    EXPECT_EQ(Frames(*one).size(), 2u);

    // The mode is checked on tick 1 and again ten ticks later (tick 11).
    const int checks = FieldWrites(kFieldInfoStatus);
    Ticks(kHousekeepingTimer, 4);  // ticks 7..10
    EXPECT_EQ(FieldWrites(kFieldInfoStatus), checks);
    Ticks(kHousekeepingTimer, 1);
    EXPECT_EQ(FieldWrites(kFieldInfoStatus), checks + 1);
    EXPECT_EQ(one->connects, 1);  // no change, no reconnect
}

TEST_F(HousekeepingTest, BecomingReserveDisconnectsAndShowsRxOnly) {
    auto* port = TcpPanel(1, "CP-1000E", 1);
    extinfo other(kInfoInterfaceVersion);
    info.disconnect();
    ASSERT_EQ(other.connect(kDevice, nullptr), 15);
    ASSERT_EQ(info.connect(kDevice, nullptr), 15);
    DriverMode = IFMODE_TXRX;  // was main until now
    PollCountdown = 3;

    HousekeepingTick();
    EXPECT_EQ(DriverMode, IFMODE_RXONLY);
    EXPECT_TRUE(Logged("Driver now RESERVE -- so disconnecting to all hardware"));
    EXPECT_EQ(port->closes, 1);
    EXPECT_EQ(Panels[1].Connected, 0);
    EXPECT_EQ(Read(299), "0");
    EXPECT_EQ(PollCountdown, -1);
    EXPECT_EQ(seam.Field(kFieldCommsSummary), "RXOnly - Panels Disconnected");
    EXPECT_EQ(CommsSummary, 1);

    ClearFrames(*port);
    for (int i = 0; i < 5; ++i) HousekeepingTick();
    EXPECT_TRUE(Frames(*port).empty());  // no polling while reserve
    EXPECT_EQ(seam.Field(kFieldCommsSummary), "RXOnly - Panels Disconnected");
}

TEST_F(HousekeepingTest, CommsSummaryAndChosenPanelFields) {
    DriverMode = IFMODE_TXRX;
    ModeCheckCountdown = 1000;
    PollCountdown = 1000;
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldCommsSummary), "All Panels Comms OK");
    EXPECT_EQ(CommsSummary, 0);

    // The summary counts what slot 299 says: TCP panels from the connect,
    // heard from or not.
    for (int n : {1, 2, 3}) TcpPanel(n, "CP-1000E", n);
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldCommsSummary), "All Panels Comms OK");
    EXPECT_EQ(CommsSummary, 0);
    Panels[3].Connected = 0;
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldCommsSummary), " Comms FAIL for 1 panel(s)");
    EXPECT_EQ(CommsSummary, 1);
    Panels[1].Connected = 0;
    Panels[2].Connected = 0;
    DriverMode = -1;  // not decided yet: the summary rule applies too
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldCommsSummary), "NO COMMS to any Panels");
    EXPECT_EQ(CommsSummary, 2);

    ChosenPanel = 2;
    Panels[2].Connected = 1;
    Panels[2].RxCount = 3;  // blocks, but no alive message
    Panels[2].TxCount = 17;
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldConnection), "No Response yet");
    EXPECT_EQ(seam.Field(kFieldPanelRx), "3");
    EXPECT_EQ(seam.Field(kFieldPanelTx), "17");
    Panels[2].AliveSeen = 1;
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldConnection), "Connected OK");
    Panels[2].Connected = 0;
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldConnection), "No Connection");

    InfodriverTxCount = 42;
    InfodriverRxCount = 7;
    HousekeepingTick();
    EXPECT_EQ(seam.Field(kFieldInfoTx), "00000042");
    EXPECT_EQ(seam.Field(kFieldInfoRx), "00000007");
}

TEST_F(HousekeepingTest, FlashTickAlternatesAndStopsItself) {
    auto* text = TcpPanel(1, "CP-1000E", 1);
    auto* lamp = TcpPanel(2, "CP-3201E", 2);
    Panels[1].Buttons[5].MainText = "main";
    Panels[1].Buttons[5].AltText = "alt";
    Panels[1].Buttons[5].Colour = 1;
    Panels[1].Buttons[5].AltColour = 2;
    SetFlashButton(1, 5);
    SetFlashButton(2, 3);
    ASSERT_TRUE(seam.TimerRunning(kFlashTimer));
    ClearFrames(*text);
    ClearFrames(*lamp);

    Ticks(kFlashTimer, 1);  // alternative face shown: back to main, lamp on
    EXPECT_EQ(Frames(*text), (std::vector<Bytes>{{142, 1, 32, 'm', 'a', 'i', 'n', ' ', ' ', ' ', ' ', ' ', ' ', 0, 5},
                                              {132, 1, 64, 5, 1}}));
    EXPECT_EQ(Frames(*lamp), (std::vector<Bytes>{{131, 2, 2, 3}}));
    EXPECT_EQ(Panels[1].Buttons[5].LampState, 1);
    EXPECT_EQ(Panels[2].Buttons[3].LampState, 1);

    Ticks(kFlashTimer, 1);
    EXPECT_EQ(Frames(*text).back(), (Bytes{132, 1, 64, 5, 2}));
    EXPECT_EQ(Frames(*lamp).back(), (Bytes{131, 2, 3, 3}));
    EXPECT_EQ(Panels[1].Buttons[5].LampState, 0);

    // The refresh ends the flashing without touching the timer; the next
    // tick finds nothing to flash and stops it.
    RefreshPanel(1);
    RefreshPanel(2);
    EXPECT_TRUE(seam.TimerRunning(kFlashTimer));
    Ticks(kFlashTimer, 1);
    EXPECT_FALSE(seam.TimerRunning(kFlashTimer));
    EXPECT_EQ(FlashTimerRunning, 0);
    EXPECT_TRUE(Logged("Button Flash Timer terminated - as no buttons set any more"));
    SetFlashButton(1, 2);
    EXPECT_TRUE(seam.TimerRunning(kFlashTimer));
}

TEST_F(HousekeepingTest, OtherTimerIdsDoNothingAndFiveStepsThePanelTest) {
    const size_t lines = seam.debugLines.size();
    OnTimerTick(3);
    OnTimerTick(99);
    OnTimerTick(-1);
    EXPECT_EQ(seam.debugLines.size(), lines);
    EXPECT_TRUE(seam.fieldHistory.empty());
    OnTimerTick(kPanelTestTimer);
    EXPECT_TRUE(Logged("Panel-test timer error -- no chosen panel"));
}

// A TCP panel that has sent alive messages and then stays silent while the
// driver is main is taken as dead after PanelSilenceTimeout ticks and
// reconnected by the poll; one that never sends alive messages is left
// alone, and 0 turns the watch off.
TEST_F(HousekeepingTest, SilentPanelIsClosedAfterTheTimeout) {
    DriverMode = IFMODE_TXRX;
    ModeCheckCountdown = 1000;  // no mode check in this test
    PollCountdown = 1000;       // and no poll until asked
    Settings.PanelSilenceTimeout = 3;
    seam.StartTimer(kHousekeepingTimer, 1000);
    test::FakeNetPort* talker = TcpPanel(1, "CP-1000E", 1);
    test::FakeNetPort* mute = TcpPanel(2, "CP-1000E", 2);
    talker->Feed({130, 1, 125});
    talker->Raise(NetPort::kFdRead);
    Ticks(kHousekeepingTimer, 2);
    talker->Feed({131, 1, 1, 3});  // any data counts as a sign of life
    talker->Raise(NetPort::kFdRead);
    Ticks(kHousekeepingTimer, 2);
    EXPECT_EQ(Panels[1].Connected, 1);
    Ticks(kHousekeepingTimer, 1);
    EXPECT_EQ(Panels[1].Connected, 0);
    EXPECT_EQ(talker->closes, 1);
    EXPECT_TRUE(Logged("Panel 1 silent for 3 s - connection closed "));
    EXPECT_EQ(SlotNow(299), "0");
    Ticks(kHousekeepingTimer, 20);
    EXPECT_EQ(Panels[2].Connected, 1) << "never sent an alive message";
    EXPECT_EQ(mute->closes, 0);
    PollCountdown = 1;
    Ticks(kHousekeepingTimer, 1);
    EXPECT_EQ(talker->connects, 1) << "the poll reconnects it";
    // It sent alive messages before: on a new connection it counts from its
    // first one, and the connection is closed if none comes.
    PollCountdown = 1000;
    talker->sock = 99;
    talker->Raise(NetPort::kFdConnect);
    EXPECT_EQ(SlotNow(299), "0");
    Ticks(kHousekeepingTimer, 3);
    EXPECT_EQ(talker->closes, 2);
    talker->sock = 99;
    talker->Raise(NetPort::kFdConnect);
    talker->Feed({130, 1, 125});
    talker->Raise(NetPort::kFdRead);
    EXPECT_EQ(SlotNow(299), "1");

    Settings.PanelSilenceTimeout = 0;
    mute->Feed({130, 2, 125});
    mute->Raise(NetPort::kFdRead);
    Ticks(kHousekeepingTimer, 30);
    EXPECT_EQ(Panels[2].Connected, 1);
}

// A serial panel that falls silent is shown "0" after PanelSilenceTimeout
// ticks, its port kept open and left alone by the poll; its next alive
// message makes it connected again and repaints it, as after a power cycle.
TEST_F(HousekeepingTest, SilentSerialPanelIsMarkedDownAndRepaintedWhenBack) {
    DriverMode = IFMODE_TXRX;
    ModeCheckCountdown = 1000;
    PollCountdown = 1000;
    Settings.PanelSilenceTimeout = 3;
    seam.StartTimer(kHousekeepingTimer, 1000);
    test::FakeSerialPort* port = SerialPanel(4, "CP-1000E", 4, 7);
    port->Feed({130, 4, 125});
    port->Notify();
    Ticks(kHousekeepingTimer, 2);
    EXPECT_EQ(SlotNow(1199), "1");
    port->Feed({130, 9, 125, 131, 9, 1, 2});  // another panel's bytes prove nothing
    port->Notify();
    Ticks(kHousekeepingTimer, 1);
    EXPECT_EQ(SlotNow(1199), "0");
    EXPECT_TRUE(Logged("Panel 4 silent for 3 s - marked not connected "));
    EXPECT_EQ(seam.Field(kFieldCommsSummary), "NO COMMS to any Panels");
    PollCountdown = 1;
    Ticks(kHousekeepingTimer, 10);
    EXPECT_EQ(port->closes, 0);
    EXPECT_EQ(port->opens, 1);

    ClearFrames(*port);
    port->Feed({130, 4, 125});
    port->Notify();
    EXPECT_EQ(SlotNow(1199), "1");
    EXPECT_TRUE(Logged("Reconnected - refreshing panel 4 "));
    EXPECT_EQ(Frames(*port).size(), 1u + 2u * 16u) << "clear, then text and colour of the 16 buttons";
}

// A reserve never writes the main's state: its first mode check leaves the
// status slots of the main's live panels alone, and so does its shutdown.
// "Force to RX-Only" lets a main's panels go at once.
TEST_F(HousekeepingTest, ReserveLeavesTheMainsStatusSlotsAlone) {
    extinfo main(kInfoInterfaceVersion);  // stands for the main driver
    ASSERT_EQ(main.connect(kDevice, nullptr), 15);
    main.setslot(kDriverStatusSlot, "1");
    main.setslot(299, "1");
    ClosedTcpPanel(1, 1);
    ASSERT_TRUE(seam.PumpUntil([&] { return Read(299) == "1" && Read(kDriverStatusSlot) == "1"; }));
    DriverMode = IFMODE_RXONLY;  // as the first mode check of a reserve leaves it
    DisconnectAllPanels();
    CloseApp();
    EXPECT_EQ(Read(299), "1");
    EXPECT_EQ(Read(kDriverStatusSlot), "1");
    main.disconnect();
}

TEST_F(HousekeepingTest, ForceToRxOnlyLetsThePanelsGoAtOnce) {
    test::FakeNetPort* port = TcpPanel(1, "CP-1000E", 1);
    DriverMode = IFMODE_TXRX;
    info.setslot(299, "1");
    HandleMenuCommand(kCmdForceRxOnly);
    EXPECT_EQ(port->closes, 1);
    EXPECT_EQ(Panels[1].Connected, 0);
    EXPECT_EQ(SlotNow(299), "0");
    EXPECT_EQ(DriverMode, -1);
    // Given up: a shutdown before the next check leaves slot 4001 alone.
    info.setslot(kDriverStatusSlot, "1");
    CloseApp();
    EXPECT_EQ(SlotNow(kDriverStatusSlot), "1");
}

}  // namespace
}  // namespace vorn
