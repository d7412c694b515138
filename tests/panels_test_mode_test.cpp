// The operator's panel test over its ten ticks, driven by the hand-ticked
// timer 5, with the frames captured by fake ports.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/driver_state.h"
#include "core/seam.h"
#include "app/housekeeping.h"
#include "panels/panel_table.h"
#include "panels/panel_test.h"
#include "protocol/panel_frames.h"
#include "support/panel_fixture.h"

namespace vorn::test {
namespace {

Bytes Text(int commsId, int button, const std::string& text, TextForm form = TextForm::Long10) {
    const PanelFrame f = BuildTextFrame(commsId, button, text, form);
    return Bytes(f.Bytes().begin(), f.Bytes().end());
}
Bytes Colour(int commsId, int button, int colour) {
    const PanelFrame f = BuildColourFrame(commsId, button, colour);
    return Bytes(f.Bytes().begin(), f.Bytes().end());
}

class PanelTestModeTest : public PanelFixture {
protected:
    void SetUp() override {
        PanelFixture::SetUp();
        seam.SetTimerHandler([](int id) { OnTimerTick(id); });
        DriverMode = IFMODE_TXRX;
    }

    FakeNetPort* TextPanel() {
        FakeNetPort* port = TcpPanel(1, "1000", 26);  // 16 buttons
        Panels[1].IpAddress = "10.2.30.4";
        ChosenPanel = 1;
        return port;
    }
};

TEST_F(PanelTestModeTest, TextPanelShowsItsSettingsThenStepsTheColours) {
    FakeNetPort* port = TextPanel();
    Panels[1].Buttons[3].MainText = PadLabel10("START");
    Panels[1].Buttons[3].Colour = 4;

    StartPanelTest(1);
    EXPECT_EQ(TestPanel, 1);
    EXPECT_EQ(TestColour, 9);
    EXPECT_EQ(seam.timers.at(kPanelTestTimer), 5000);
    EXPECT_EQ(seam.Field(kFieldConnection), "TESTING PANEL");
    EXPECT_TRUE(Logged("Panel 1 -- going into test mode "));

    std::vector<Bytes> expected = {
        {130, 26, 4},
        Text(26, 1, "IP     010"),
        Text(26, 2, "       002"),
        Text(26, 3, "       030"),
        Text(26, 4, "       004"),
        Text(26, 6, "ID      1A"),
        Text(26, 8, "NAME"),
        Text(26, 9, "panel1"),
        Text(26, 11, "Location"),
        Text(26, 12, "desk 1"),
        Text(26, 14, "Color 9"),
    };
    for (int b = 1; b <= 16; ++b) expected.push_back(Colour(26, b, 9));
    EXPECT_EQ(Frames(*port), expected);

    for (int colour = 8; colour >= 0; --colour) {
        SCOPED_TRACE(colour);
        ClearFrames(*port);
        ASSERT_TRUE(seam.Tick(kPanelTestTimer));
        EXPECT_EQ(TestColour, colour);
        ASSERT_EQ(Frames(*port).size(), 17u);
        EXPECT_EQ(Frames(*port)[0], Text(26, 14, "Color " + std::to_string(colour)));
        EXPECT_EQ(Frames(*port)[16], Colour(26, 16, colour));
    }

    // Tenth tick: the panel shows the table again and the test ends.
    ClearFrames(*port);
    ASSERT_TRUE(seam.Tick(kPanelTestTimer));
    EXPECT_EQ(TestPanel, -1);
    EXPECT_EQ(TestColour, -1);
    EXPECT_FALSE(seam.TimerRunning(kPanelTestTimer));
    EXPECT_EQ(seam.Field(kFieldConnection), " ");
    ASSERT_EQ(Frames(*port).size(), 1u + 2u * 16u);
    EXPECT_EQ(Frames(*port)[0], (Bytes{130, 26, 4}));
    EXPECT_EQ(Frames(*port)[5], Text(26, 3, "START"));
    EXPECT_EQ(Frames(*port)[6], Colour(26, 3, 4));
    EXPECT_EQ(Panels[1].Buttons[3].MainText, PadLabel10("START")) << "the test leaves the table alone";
    EXPECT_FALSE(seam.Tick(kPanelTestTimer));
}

TEST_F(PanelTestModeTest, LampPanelBlinksOnEvenSteps) {
    FakeNetPort* port = TcpPanel(2, "1604", 3);  // 20 lamps
    ChosenPanel = 2;
    Panels[2].Buttons[1].Colour = 5;

    StartPanelTest(2);
    ASSERT_EQ(Frames(*port).size(), 20u);
    EXPECT_EQ(Frames(*port)[19], (Bytes{131, 3, 2, 20}));
    for (int step = 8; step >= 0; --step) {
        SCOPED_TRACE(step);
        ClearFrames(*port);
        ASSERT_TRUE(seam.Tick(kPanelTestTimer));
        ASSERT_EQ(Frames(*port).size(), 20u);
        const uint8_t action = step % 2 == 0 ? 2 : 3;
        EXPECT_EQ(Frames(*port)[0], (Bytes{131, 3, action, 1}));
    }
    ClearFrames(*port);
    ASSERT_TRUE(seam.Tick(kPanelTestTimer));
    ASSERT_EQ(Frames(*port).size(), 20u);
    EXPECT_EQ(Frames(*port)[0], (Bytes{131, 3, 2, 1})) << "lamp value 5: on";
    EXPECT_EQ(Frames(*port)[1], (Bytes{131, 3, 3, 2})) << "lamp value 0: off";
    EXPECT_EQ(TestPanel, -1);
}

TEST_F(PanelTestModeTest, RefusedWhileReserveOrTesting) {
    FakeNetPort* port = TextPanel();
    TcpPanel(2, "1000", 4);
    DriverMode = IFMODE_RXONLY;
    StartPanelTest(1);
    EXPECT_EQ(TestPanel, -1);
    EXPECT_TRUE(Frames(*port).empty());
    EXPECT_FALSE(seam.TimerRunning(kPanelTestTimer));

    DriverMode = IFMODE_TXRX;
    StartPanelTest(1);
    StartPanelTest(2);
    EXPECT_EQ(TestPanel, 1);
    EXPECT_EQ(seam.CountDebugLines("Driver in RXONLY or currently testing - so Test Panel ignored"), 2);
    ASSERT_TRUE(Panels[2].Link != nullptr);
    EXPECT_TRUE(Frames(static_cast<FakeNetPort&>(static_cast<TcpPanelLink&>(*Panels[2].Link).Port())).empty());

    // A mode change does not stop a running test; a tick without a chosen
    // panel only logs.
    DriverMode = IFMODE_RXONLY;
    ChosenPanel = 0;
    seam.Tick(kPanelTestTimer);
    EXPECT_TRUE(Logged("Panel-test timer error -- no chosen panel"));
    EXPECT_EQ(TestColour, 9);
    EXPECT_TRUE(seam.TimerRunning(kPanelTestTimer));
}

TEST_F(PanelTestModeTest, IdentityTexts) {
    // A serial panel has no address: 000 everywhere, in the short text form.
    FakeSerialPort* serial = SerialPanel(3, "1000", -1, 4);
    ChosenPanel = 3;
    StartPanelTest(3);
    ASSERT_GE(Frames(*serial).size(), 6u);
    EXPECT_EQ(Frames(*serial)[1], Text(-1, 1, "IP     000", TextForm::Short8));
    EXPECT_EQ(Frames(*serial)[4], Text(-1, 4, "       000", TextForm::Short8));
    EXPECT_EQ(Frames(*serial)[5], Text(-1, 6, "ID      ??", TextForm::Short8));
}

TEST_F(PanelTestModeTest, OddAddressesStayWithinALabel) {
    FakeNetPort* port = TextPanel();
    ShowAllMessages = 1;
    Panels[1].IpAddress = "..99999999999.-7..3.4.5";
    Panels[1].PanelId = "a panel name longer than fifteen";
    StartPanelTest(1);
    EXPECT_TRUE(Logged("TX-> IP     21474836 to panel 1 button 1 "));
    EXPECT_TRUE(Logged("TX->        -07 to panel 1 button 2 "));
    EXPECT_TRUE(Logged("TX->        004 to panel 1 button 4 "));
    EXPECT_FALSE(Logged("TX->        005 to panel 1 button 5 "));
    EXPECT_TRUE(Logged("TX-> a panel name lo to panel 1 button 9 "));
    EXPECT_EQ(Panels[1].IpAddress, "..99999999999.-7..3.4.5");
    EXPECT_EQ(Frames(*port)[1], Text(26, 1, "IP     214"));
}

}  // namespace
}  // namespace vorn::test
