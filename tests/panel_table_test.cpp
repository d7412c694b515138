// Panel table: start state, address and COM port lookups, label padding and
// the panel-type table.

#include <gtest/gtest.h>

#include <string>

#include "core/driver_state.h"
#include "panels/panel_table.h"
#include "transport/serial_panel_link.h"
#include "support/fake_seam.h"

namespace vorn {
namespace {

class PanelTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        SetSeam(&seam);
        Settings.DebugMode = 1;
        ResetPanelTable();
    }
    void TearDown() override {
        ResetPanelTable();
        SetSeam(nullptr);
    }
    test::FakeSeam seam;
};

TEST_F(PanelTableTest, reset_givesEveryRecordAndButtonItsStartValues) {
    // Dirty everything first, so that the reset has work to do.
    for (PanelRecord& p : Panels) {
        p.InUse = p.Connected = p.RefreshPending = p.TxCount = p.RxCount = 5;
        p.FlashButton = p.LastButton = p.TypeCode = p.CommsId = 5;
        p.IpAddress = p.PanelId = "x";
        for (ButtonRecord& b : p.Buttons) {
            b.LampState = 0;
            b.MainText = b.AltText = "y";
            b.Colour = b.AltColour = 7;
        }
    }
    ShowAllMessages = FlashTimerRunning = PanelCount = 3;
    Settings.RefreshOnConnection = 0;
    DriverMode = ModeCheckCountdown = TestColour = TestPanel = 3;

    ResetPanelTable();
    for (int n = 0; n <= kMaxPanels; ++n) {
        const PanelRecord& p = Panels[n];
        SCOPED_TRACE(n);
        EXPECT_EQ(p.InUse, 0);
        EXPECT_EQ(p.ComPort, -1);
        EXPECT_EQ(p.IpAddress, "0.0.0.0");
        EXPECT_EQ(p.Port, -1);
        EXPECT_EQ(p.Connected + p.RefreshPending + p.TxCount + p.RxCount, 0);
        EXPECT_EQ(p.FlashButton + p.LastButton, 0);
        EXPECT_EQ(p.PanelId, "?");
        EXPECT_EQ(p.Location, "?");
        EXPECT_EQ(p.TypeName, "?");
        EXPECT_EQ(p.TypeCode, -1);
        EXPECT_EQ(p.ButtonCount, -1);
        EXPECT_EQ(p.SlotOffset, 300 * (n - 1));
        EXPECT_EQ(p.CommsId, -1);
        EXPECT_EQ(p.ListIndex, -1);
        EXPECT_EQ(p.Link, nullptr);
        for (const ButtonRecord& b : p.Buttons) {
            ASSERT_EQ(b.LampState, 1);
            ASSERT_EQ(b.MainText, "          -");
            ASSERT_EQ(b.AltText, "          -");
            ASSERT_EQ(b.Colour + b.AltColour, 0);
        }
    }
    EXPECT_EQ(Panels[0].SlotOffset, -300);
    EXPECT_EQ(Panels[12].SlotOffset, 3300);
    EXPECT_EQ(ShowAllMessages, 0);
    EXPECT_EQ(FlashTimerRunning, 0);
    EXPECT_EQ(Settings.RefreshOnConnection, 1);
    EXPECT_EQ(DriverMode, -1);
    EXPECT_EQ(PanelCount, 0);
    EXPECT_EQ(ModeCheckCountdown, 1);
    EXPECT_EQ(TestColour, -1);
    EXPECT_EQ(TestPanel, -1);
}

TEST_F(PanelTableTest, reset_destroysTheTransportObjects) {
    struct CountedPort : SerialPort {
        explicit CountedPort(int* destroyed) : destroyed_(destroyed) {}
        ~CountedPort() override { ++*destroyed_; }
        int* destroyed_;
    };
    int destroyed = 0;
    Panels[3].Link = std::make_unique<SerialPanelLink>(4, std::make_unique<CountedPort>(&destroyed));
    Panels[12].Link = std::make_unique<SerialPanelLink>(5, std::make_unique<CountedPort>(&destroyed));
    ResetPanelTable();
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(Panels[3].Link, nullptr);
}

TEST_F(PanelTableTest, determinePanel_firstPanelWhoseAddressContainsTheTextWins) {
    Panels[1].IpAddress = "10.0.0.12";
    Panels[3].IpAddress = "10.0.0.1";
    EXPECT_EQ(DeterminePanel("10.0.0.1"), 1);
    EXPECT_EQ(DeterminePanel("10.0.0.12"), 1);
    Panels[2].IpAddress = "192.168.1.20";
    EXPECT_EQ(DeterminePanel("192.168.1.20"), 2);
    EXPECT_TRUE(seam.debugLines.empty());

    EXPECT_EQ(DeterminePanel("172.16.0.1"), -1);
    EXPECT_TRUE(seam.HasDebugLine("DeterminePanel - warning - no match for 172.16.0.1 "));
    // The empty text is part of every address but names no panel.
    EXPECT_EQ(DeterminePanel(""), -1);
    EXPECT_TRUE(seam.HasDebugLine("DeterminePanel - warning - no match for  "));
}

TEST_F(PanelTableTest, determineWhichPanelFromComPort_needsAPositivePortThatMatches) {
    Panels[4].ComPort = 0;  // unconfigured panel with port 0
    Panels[6].ComPort = 3;
    Panels[9].ComPort = 3;
    EXPECT_EQ(DetermineWhichPanelFromComPort(0), -1);
    EXPECT_TRUE(seam.HasDebugLine("DetermineWhichPanelFromComPort - warning - no match for 0 "));
    EXPECT_EQ(DetermineWhichPanelFromComPort(-1), -1);  // every reset panel has -1
    EXPECT_EQ(DetermineWhichPanelFromComPort(3), 6);
    EXPECT_EQ(DetermineWhichPanelFromComPort(4), -1);
    EXPECT_EQ(seam.CountDebugLines("DetermineWhichPanelFromComPort - warning - no match for 4 "), 1);
}

TEST(PanelTableHelpers, padLabel10_cutsOrPadsToTenCharacters) {
    EXPECT_EQ(PadLabel10("abc"), "abc       ");
    EXPECT_EQ(PadLabel10("abcdefghijkl"), "abcdefghij");
    EXPECT_EQ(PadLabel10("abcdefghij"), "abcdefghij");
    EXPECT_EQ(PadLabel10(""), "          ");
}

TEST(PanelTableHelpers, isRealIpAddress_isFalseOnlyForTheExactNullAddress) {
    EXPECT_FALSE(IsRealIpAddress("0.0.0.0"));
    EXPECT_TRUE(IsRealIpAddress("0.0.0.0 "));
    EXPECT_TRUE(IsRealIpAddress(std::string("0.0.0.0\0", 8)));
    EXPECT_TRUE(IsRealIpAddress(""));
    EXPECT_TRUE(IsRealIpAddress("10.1.2.3"));
}

TEST_F(PanelTableTest, applyPanelType_firstSubstringInTableOrderDecides) {
    struct Case {
        const char* value;
        int code;
        const char* name;
        int buttons;
    } cases[] = {
        {"CP-1000E", 1, "CP-1000E", 16},       {"CP-2032E", 2, "CP-2032E", 32},
        {"CP-2048E", 3, "CP-2048E", 48},       {"CP-3201E", 4, "CP-3201E", 40},
        {"CP-6401E", 5, "CP-6401E", 80},       {"1604", 6, "CP-3201E", 20},
        {"6401 or 1000", 1, "CP-1000E", 16},  // table order, not text order
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ResetPanelTable();
        PanelRecord& p = Panels[2];
        ASSERT_TRUE(ApplyPanelType(p, c.value));
        EXPECT_EQ(p.TypeCode, c.code);
        EXPECT_EQ(p.TypeName, c.name);
        EXPECT_EQ(p.ButtonCount, c.buttons);
        // Lamp panels start with every lamp off; element 0 is never used.
        int lamp = IsLampPanelType(c.code) ? 0 : 1;
        EXPECT_EQ(p.Buttons[0].LampState, 1);
        EXPECT_EQ(p.Buttons[1].LampState, lamp);
        EXPECT_EQ(p.Buttons[99].LampState, lamp);
    }

    ResetPanelTable();
    EXPECT_FALSE(ApplyPanelType(Panels[2], "CP-9999"));
    EXPECT_EQ(Panels[2].TypeCode, -1);
    EXPECT_EQ(Panels[2].ButtonCount, -1);
    EXPECT_EQ(Panels[2].TypeName, "?");
    EXPECT_EQ(Panels[2].Buttons[5].LampState, 1);
}

}  // namespace
}  // namespace vorn
