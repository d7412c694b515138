// Panel command senders: frames on the wire, refusals, flashing and refresh.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "panels/panel_senders.h"
#include "support/panel_fixture.h"

namespace vorn {
namespace {

using test::Bytes;

Bytes TextFrame(uint8_t type, int id, const std::string& label, int chars, int button) {
    Bytes f{type, static_cast<uint8_t>(id), 32};
    for (int i = 0; i < chars; ++i) f.push_back(i < static_cast<int>(label.size()) ? label[i] : ' ');
    f.push_back(0);
    f.push_back(static_cast<uint8_t>(button));
    return f;
}
Bytes Long(int id, const std::string& label, int button) { return TextFrame(142, id, label, 10, button); }
Bytes Short(int id, const std::string& label, int button) { return TextFrame(140, id, label, 8, button); }

class SendersTest : public test::PanelFixture {};

TEST_F(SendersTest, TextFormFollowsTheComPortAndLabelsAreStoredPadded) {
    auto* tcp = TcpPanel(1, "CP-1000E", 7);
    auto* serial = SerialPanel(2, "CP-1000E", 8, 4);
    auto* tcpWithCom = TcpPanel(3, "CP-1000E", 9, 3);

    EXPECT_EQ(SendButtonText(1, 3, "hi"), SendResult::kDone);
    EXPECT_EQ(SendButtonText(2, 3, "hi"), SendResult::kDone);
    EXPECT_EQ(SendButtonText(3, 3, "hi"), SendResult::kDone);
    EXPECT_EQ(Frames(*tcp), (std::vector<Bytes>{Long(7, "hi", 3)}));
    EXPECT_EQ(Frames(*serial), (std::vector<Bytes>{Short(8, "hi", 3)}));
    EXPECT_EQ(Frames(*tcpWithCom), (std::vector<Bytes>{Short(9, "hi", 3)}));
    EXPECT_EQ(Panels[1].TxCount, 1);

    // Thirteen characters: ten stored and sent (eight on serial), all
    // thirteen echoed to the label slot.
    EXPECT_EQ(ButtonLabel(1, 3, "ABCDEFGHIJKLM"), SendResult::kDone);
    EXPECT_EQ(ButtonLabel(2, 3, "ABCDEFGHIJKLM"), SendResult::kDone);
    EXPECT_EQ(Panels[1].Buttons[3].MainText, "ABCDEFGHIJ");
    EXPECT_EQ(Frames(*tcp).back(), Long(7, "ABCDEFGHIJ", 3));
    EXPECT_EQ(Frames(*serial).back(), Short(8, "ABCDEFGH", 3));
    EXPECT_EQ(Read(53), "ABCDEFGHIJKLM");
    EXPECT_EQ(Read(353), "ABCDEFGHIJKLM");

    // Empty, percent signs and high bytes: stored and sent as they are,
    // echoed unchanged (never used as a format).
    EXPECT_EQ(ButtonLabel(1, 4, ""), SendResult::kDone);
    EXPECT_EQ(Panels[1].Buttons[4].MainText, "          ");
    EXPECT_EQ(Frames(*tcp).back(), Long(7, "", 4));
    const std::string odd = "%s%n%d\xff\x80 x";
    EXPECT_EQ(ButtonLabel(1, 5, odd), SendResult::kDone);
    EXPECT_EQ(Frames(*tcp).back(), Long(7, odd, 5));
    EXPECT_EQ(Read(55), odd);
}

TEST_F(SendersTest, ColourAndGraphicFramesCarryTheButtonAtOppositeOffsets) {
    auto* port = TcpPanel(1, "CP-1000E", 1);
    EXPECT_EQ(SendButtonColour(1, 7, 3), SendResult::kDone);
    EXPECT_EQ(SendButtonGraphic(1, 7, 3), SendResult::kDone);
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{132, 1, 64, 7, 3}, {132, 1, 65, 3, 7}}));
    EXPECT_EQ(SendButtonGraphic(1, 7, 14), SendResult::kRefused);  // never a stray graphic number
    EXPECT_EQ(Panels[1].TxCount, 2);
}

TEST_F(SendersTest, GraphicLabels) {
    auto* port = TcpPanel(1, "CP-1000E", 1);
    ShowAllMessages = 1;
    Panels[1].Buttons[2].Colour = 5;

    Panels[1].Buttons[2].MainText = "#>12";
    ShowButtonMain(1, 2);
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{132, 1, 65, 12, 2}, {132, 1, 64, 2, 5}}));

    ClearFrames(*port);
    Panels[1].Buttons[2].MainText = "#>14";  // no such graphic: colour only
    ShowButtonMain(1, 2);
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{132, 1, 64, 2, 5}}));

    ClearFrames(*port);
    Panels[1].Buttons[2].MainText = "#>";  // no digits: graphic 0
    ShowButtonMain(1, 2);
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{132, 1, 65, 0, 2}, {132, 1, 64, 2, 5}}));

    // ButtonLabel with an invalid graphic: logged, nothing stored or sent,
    // still echoed and done.
    ClearFrames(*port);
    Panels[1].Buttons[3].MainText = "old";
    EXPECT_EQ(ButtonLabel(1, 3, "#>20"), SendResult::kDone);
    EXPECT_TRUE(Logged("ButtonLabel - gfx 20 from #>20 "));
    EXPECT_EQ(Panels[1].Buttons[3].MainText, "old");
    EXPECT_TRUE(Frames(*port).empty());
    EXPECT_EQ(Read(53), "#>20");

    // A valid graphic label is kept as it is, cut to 15 characters.
    EXPECT_EQ(ButtonLabel(1, 3, "#>7 with a very long tail"), SendResult::kDone);
    EXPECT_EQ(Panels[1].Buttons[3].MainText, "#>7 with a very");
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{132, 1, 65, 7, 3}}));

    // A short label loaded at start-up goes out padded with blanks.
    ClearFrames(*port);
    Panels[1].Buttons[4].MainText = "ABCD";
    ShowButtonMain(1, 4);
    EXPECT_EQ(Frames(*port).front(), Long(1, "ABCD", 4));
}

TEST_F(SendersTest, RefusalsAndTheirLogLines) {
    auto* port = TcpPanel(1, "CP-1000E", 1);  // 16 buttons
    ShowAllMessages = 1;

    EXPECT_EQ(SendButtonText(1, 0, "x"), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 - no connection or button 0 "));
    EXPECT_EQ(SendButtonColour(1, 17, 1), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 - no connection or button 17 "));
    EXPECT_EQ(SetButtonColour(1, 17, 1), SendResult::kRefused);
    EXPECT_EQ(ButtonLabel(1, 17, "x"), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 - invalid button 17 "));
    for (int panel : {0, 13, -1}) {
        EXPECT_EQ(SendButtonText(panel, 1, "x"), SendResult::kRefused);
        EXPECT_EQ(SendLampOn(panel, 1), SendResult::kRefused);
        EXPECT_EQ(ButtonLabel(panel, 1, "x"), SendResult::kRefused);
        EXPECT_EQ(SetFlashButton(panel, 1), SendResult::kRefused);
        EXPECT_EQ(RefreshPanel(panel), SendResult::kDone);
    }

    // A valid button on a disconnected panel: refused without a line.
    Panels[1].Connected = 0;
    const size_t lines = seam.debugLines.size();
    EXPECT_EQ(SendButtonText(1, 1, "x"), SendResult::kRefused);
    EXPECT_EQ(SendButtonGraphic(1, 1, 1), SendResult::kRefused);
    EXPECT_EQ(SendButtonColour(1, 1, 1), SendResult::kRefused);
    EXPECT_EQ(seam.debugLines.size(), lines);
    // ... but the store operations still store and report done.
    EXPECT_EQ(SetButtonColour(1, 1, 6), SendResult::kDone);
    EXPECT_EQ(Panels[1].Buttons[1].Colour, 6);

    // Lamp senders test the connection and the button together.
    EXPECT_EQ(SendLampOn(1, 1), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 - no connection or button 1 "));
    EXPECT_EQ(SendClearPanel(1), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 -  NOT connected "));
    EXPECT_EQ(SendPanelCode6(1), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 - no connection "));
    EXPECT_TRUE(Frames(*port).empty());

    Panels[1].Connected = 1;
    EXPECT_EQ(SendLampOn(1, 0), SendResult::kRefused);
    EXPECT_EQ(SendLampOff(1, 100), SendResult::kRefused);
    EXPECT_TRUE(Logged("Pellax_Panel - 1 - no connection or button 100 "));
    // Button 99 goes out even on a 16-button panel.
    EXPECT_EQ(SendLampOn(1, 99), SendResult::kDone);
    EXPECT_EQ(Panels[1].Buttons[99].LampState, 1);
    EXPECT_EQ(SendLampOff(1, 99), SendResult::kDone);
    EXPECT_EQ(Panels[1].Buttons[99].LampState, 0);
    EXPECT_TRUE(Logged("TX-> Lamp OFF for panel 1 button 99 "));
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{{131, 1, 2, 99}, {131, 1, 3, 99}}));

    // Connected without any port object: the panel-wide senders say done,
    // the others refuse; nothing is counted.
    Panels[1].Link.reset();
    Panels[1].TxCount = 0;
    EXPECT_EQ(SendClearPanel(1), SendResult::kDone);
    EXPECT_EQ(SendPanelCode6(1), SendResult::kDone);
    EXPECT_EQ(SendLampOn(1, 2), SendResult::kRefused);
    EXPECT_EQ(Panels[1].Buttons[2].LampState, 1);
    EXPECT_EQ(SendButtonText(1, 2, "x"), SendResult::kRefused);
    EXPECT_EQ(Panels[1].TxCount, 0);
}

TEST_F(SendersTest, TraceLinesOnBothTransportsAreVerboseOnly) {
    TcpPanel(1, "CP-1000E", 1);
    SerialPanel(2, "CP-1000E", 2, 4);
    const auto sendAll = [] {
        for (int panel : {1, 2}) {
            SendButtonText(panel, 3, "AB%sCD");
            SendButtonGraphic(panel, 3, 6);
            SendButtonColour(panel, 3, 2);
            SendLampOn(panel, 4);
            SendLampOff(panel, 4);
            SendClearPanel(panel);
            SendPanelCode6(panel);
        }
    };
    sendAll();
    EXPECT_TRUE(seam.debugLines.empty()) << "nothing is traced while verbose is off";

    ShowAllMessages = 1;
    sendAll();
    EXPECT_EQ(seam.debugLines, (std::vector<std::string>{
                                   "TX-> AB%sCD to panel 1 button 3 ",
                                   "TX-> gfx 6 to panel 1 button 3 ",
                                   "TX-> col 2 to panel 1 button 3 ",
                                   "TX-> Lamp ON for panel 1 button 4 ",
                                   "TX-> Lamp OFF for panel 1 button 4 ",
                                   "TX-> CLEAR panel ",
                                   "TX-> SERIAL AB%sCD to panel 2 button 3 ",
                                   "TX-> SERIAL gfx 6 to panel 2 button 3 ",
                                   "TX-> SERIAL col 2 to panel 2 button 3 ",
                                   "TX-> SERIAL Lamp ON for panel 2 button 4 ",
                                   "TX-> SERIAL Lamp OFF for panel 2 button 4 ",
                                   "TX-> SERIAL CLEAR panel ",
                               }));
}

TEST_F(SendersTest, RefusalsAreSilentWhileVerboseIsOff) {
    TcpPanel(1, "CP-1000E", 1);
    EXPECT_EQ(SendButtonText(1, 0, "x"), SendResult::kRefused);
    EXPECT_EQ(SendButtonColour(1, 17, 1), SendResult::kRefused);
    EXPECT_EQ(SendLampOn(1, 100), SendResult::kRefused);
    EXPECT_EQ(ButtonLabel(1, 17, "x"), SendResult::kRefused);
    EXPECT_EQ(SetButtonAltColour(1, 0, 1), SendResult::kRefused);
    ShowButtonMain(1, 0);
    Panels[1].Connected = 0;
    EXPECT_EQ(SendClearPanel(1), SendResult::kRefused);
    EXPECT_EQ(SendPanelCode6(1), SendResult::kRefused);
    EXPECT_TRUE(seam.debugLines.empty());
}

TEST_F(SendersTest, TxCountNeverOverflows) {
    auto* port = TcpPanel(1, "CP-1000E", 1);
    Panels[1].TxCount = INT_MAX;
    EXPECT_EQ(SendButtonColour(1, 1, 1), SendResult::kDone);
    EXPECT_EQ(Panels[1].TxCount, 1) << "starts again at 1 past INT_MAX";
    EXPECT_EQ(SendLampOn(1, 1), SendResult::kDone);
    EXPECT_EQ(Frames(*port).size(), 2u);
    EXPECT_EQ(Panels[1].TxCount, 2);
}

TEST_F(SendersTest, FlashStartsSwitchesAndStopsTimerFour) {
    auto* port = TcpPanel(1, "CP-1000E", 1);
    for (int b : {5, 7}) {
        Panels[1].Buttons[b].MainText = "main" + std::to_string(b);
        Panels[1].Buttons[b].AltText = "alt" + std::to_string(b);
        Panels[1].Buttons[b].Colour = 1;
        Panels[1].Buttons[b].AltColour = 2;
    }

    EXPECT_EQ(SetFlashButton(1, 5), SendResult::kRefused);
    EXPECT_EQ(seam.timers, (std::map<int, int>{{4, 250}}));
    EXPECT_EQ(FlashTimerRunning, 1);
    EXPECT_EQ(Panels[1].FlashButton, 5);
    EXPECT_EQ(Panels[1].Buttons[5].LampState, 0);
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{Long(1, "alt5", 5), {132, 1, 64, 5, 2}}));

    ClearFrames(*port);
    EXPECT_EQ(SetFlashButton(1, 7), SendResult::kRefused);
    EXPECT_EQ(Frames(*port), (std::vector<Bytes>{Long(1, "main5", 5), {132, 1, 64, 5, 1}, Long(1, "alt7", 7),
                                              {132, 1, 64, 7, 2}}));
    EXPECT_EQ(Panels[1].Buttons[5].LampState, 1);
    EXPECT_EQ(seam.timerStarts.size(), 1u);  // still the one timer

    // A second panel flashing keeps the timer when the first stops.
    TcpPanel(2, "CP-1000E", 2);
    SetFlashButton(2, 1);
    SetFlashButton(1, 0);
    EXPECT_TRUE(seam.TimerRunning(4));
    ClearFrames(*port);
    EXPECT_EQ(SetFlashButton(2, 0), SendResult::kRefused);
    EXPECT_FALSE(seam.TimerRunning(4));
    EXPECT_EQ(FlashTimerRunning, 0);
    EXPECT_EQ(Panels[1].FlashButton, 0);
    EXPECT_EQ(Panels[1].Buttons[7].LampState, 1);

    SetFlashButton(1, 7);  // starts again
    EXPECT_TRUE(seam.TimerRunning(4));
    EXPECT_EQ(seam.timerStarts.size(), 2u);
}

TEST_F(SendersTest, RefreshPanelOnTextAndLampPanels) {
    auto* text = TcpPanel(1, "CP-1000E", 1);
    Panels[1].FlashButton = 3;
    EXPECT_EQ(RefreshPanel(1), SendResult::kDone);
    EXPECT_EQ(Panels[1].FlashButton, 0);
    ASSERT_EQ(Frames(*text).size(), 1u + 2 * 16);
    EXPECT_EQ(Frames(*text)[0], (Bytes{130, 1, 4}));
    EXPECT_EQ(Frames(*text)[1], Long(1, "          -", 1));
    EXPECT_EQ(Frames(*text)[2], (Bytes{132, 1, 64, 1, 0}));
    EXPECT_EQ(Frames(*text).back(), (Bytes{132, 1, 64, 16, 0}));

    auto* lamp = SerialPanel(2, "CP-3201E", 2, 5);  // type 4, 40 lamps
    Panels[2].Buttons[2].Colour = 3;
    EXPECT_EQ(RefreshPanel(2), SendResult::kDone);
    ASSERT_EQ(Frames(*lamp).size(), 40u);
    EXPECT_EQ(Frames(*lamp)[0], (Bytes{131, 2, 3, 1}));
    EXPECT_EQ(Frames(*lamp)[1], (Bytes{131, 2, 2, 2}));
    EXPECT_EQ(Frames(*lamp)[2], (Bytes{131, 2, 3, 3}));
    EXPECT_EQ(Panels[2].TxCount, 40);

    // A panel type naming no model has nothing to refresh.
    auto* none = TcpPanel(3, "XYZ", 3);
    EXPECT_EQ(RefreshPanel(3), SendResult::kDone);
    EXPECT_TRUE(Frames(*none).empty());
}

}  // namespace
}  // namespace vorn
