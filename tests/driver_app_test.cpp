// Start-up, shutdown, menu commands and the chosen-panel logic, driven
// through the recording seam; the Infodriver cases use the reference
// Infodriver as a child process.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <string>

#include "core/diagnostics.h"
#include "app/driver_app.h"
#include "core/driver_state.h"
#include "core/settings.h"
#include "app/status_logic.h"
#include "core/version_info.h"
#include "app/housekeeping.h"
#include "panels/info_client.h"
#include "panels/panel_table.h"
#include "support/fake_ports.h"
#include "support/fake_seam.h"
#include "support/infodriver_child.h"
#include "support/temp_dir.h"
#include "transport/extinfo.h"

namespace vorn {
namespace {

using test::FakeSeam;
using test::TempDir;

class DriverAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        ResetDiagnostics();
        ResetPanelTable();
        setenv("QX_ROOT", dir_.path().c_str(), 1);
        setenv("QX_SYSTEM", "sys", 1);
        setenv("VORN_INFODRIVER_DIR", (dir_.path() + "/sock").c_str(), 1);
        mkdir((dir_.path() + "/sock").c_str(), 0700);
        for (const char* sub : {"/sys", "/sys/config", "/sys/config/system"}) mkdir((dir_.path() + sub).c_str(), 0755);
        ResolvePaths();
        SetSeam(&seam_);
        BindInfoClient(&info_);  // InitApp binds it too; menu tests run without it
        DeviceNumber = 7;
        StatusHeight = 410;
    }
    void TearDown() override {
        info_.disconnect();
        BindInfoClient(nullptr);
        SetSeam(nullptr);
        unsetenv("QX_ROOT");
        unsetenv("QX_SYSTEM");
        unsetenv("VORN_INFODRIVER_DIR");
    }
    std::string IniDebugMode() { return ReadIniSetting(SettingsFileName(DeviceNumber), "Pellax_Panel", "DebugMode", "?", 0); }

    void Configure(int panel, int listIndex, const std::string& id) {
        Panels[panel].InUse = 1;
        Panels[panel].ListIndex = listIndex;
        Panels[panel].PanelId = id;
        Panels[panel].Location = "Studio " + std::to_string(panel);
        Panels[panel].TypeName = "CP-2032E";
        Panels[panel].ButtonCount = 32;
        Panels[panel].IpAddress = "10.1.1." + std::to_string(panel);
        Panels[panel].CommsId = panel;
        seam_.PanelListAdd(" " + std::to_string(panel) + ".   " + id);
        ++PanelCount;
    }

    TempDir dir_;
    FakeSeam seam_;
    extinfo info_{kInfoInterfaceVersion};
};

TEST(ParseDeviceNumber, ReadsTheCommandLineAsAtoiDoes) {
    EXPECT_EQ(ParseDeviceNumber("12"), 12);
    EXPECT_EQ(ParseDeviceNumber(" 7 and more"), 7);
    EXPECT_EQ(ParseDeviceNumber(""), 0);
    EXPECT_EQ(ParseDeviceNumber("0"), 0);
    EXPECT_EQ(ParseDeviceNumber("-3"), -3);
    EXPECT_EQ(ParseDeviceNumber("abc"), 0);
    EXPECT_EQ(ParseDeviceNumber("99999999999999"), 2147483647);
    // Only the first 254 characters count: digits beyond them are not seen.
    EXPECT_EQ(ParseDeviceNumber(std::string(254, ' ') + "5"), 0);
    EXPECT_EQ(ParseDeviceNumber(std::string(253, ' ') + "56"), 5);
    EXPECT_EQ(WindowTitle(12), "Pellax Panel Driver - Device 12");
}

TEST(VersionStrings, StatusViewHasFullStopsAboutBoxHasCommas) {
    EXPECT_EQ(std::string(ProductVersionText()), "2, 1, 0, 30");
    EXPECT_EQ(DottedProductVersion(), "2. 1. 0. 30");
    EXPECT_EQ(AboutVersionLine(), "Version 2, 1, 0, 30  (2, 1, 0, 30)");
    const std::string stamp = BuildStampText();
    ASSERT_EQ(stamp.size(), std::string("Mmm dd yyyy - hh:mm:ss").size()) << stamp;
    EXPECT_EQ(stamp.substr(11, 3), " - ");
    FakeSeam seam;
    SetSeam(&seam);
    ShowDriverVersion();
    EXPECT_EQ(seam.Field(kFieldVersion), "2. 1. 0. 30");
    SetSeam(nullptr);
}

TEST_F(DriverAppTest, DebugOnAndHideFollowTheirStateMachine) {
    Settings.DebugMode = 1;
    Settings.DebugHidden = 0;

    // Shown and active -> Hide: hidden and silent, small window.
    HandleMenuCommand(kCmdDebugHide);
    EXPECT_EQ(Settings.DebugMode, 0);
    EXPECT_EQ(Settings.DebugHidden, 1);
    EXPECT_FALSE(seam_.menuChecks[kCmdDebugOn]);
    EXPECT_TRUE(seam_.menuChecks[kCmdDebugHide]);
    EXPECT_EQ(seam_.windowHeights.back(), 410 + 42);
    EXPECT_EQ(IniDebugMode(), "0");

    // Hide again: shown and active, full height.
    HandleMenuCommand(kCmdDebugHide);
    EXPECT_EQ(Settings.DebugMode, 1);
    EXPECT_EQ(Settings.DebugHidden, 0);
    EXPECT_TRUE(seam_.menuChecks[kCmdDebugOn]);
    EXPECT_FALSE(seam_.menuChecks[kCmdDebugHide]);
    EXPECT_EQ(seam_.windowHeights.back(), 660);
    EXPECT_EQ(IniDebugMode(), "1");

    // On while active: list stays, output stops.
    HandleMenuCommand(kCmdDebugOn);
    EXPECT_EQ(Settings.DebugMode, 0);
    EXPECT_EQ(Settings.DebugHidden, 0);
    EXPECT_FALSE(seam_.menuChecks[kCmdDebugOn]);
    EXPECT_EQ(seam_.windowHeights.back(), 660);
    EXPECT_EQ(IniDebugMode(), "0");
    DebugMessage("not shown");
    EXPECT_TRUE(seam_.debugLines.empty());

    // Hidden -> On: shown and active again.
    HandleMenuCommand(kCmdDebugHide);
    ASSERT_EQ(Settings.DebugHidden, 1);
    HandleMenuCommand(kCmdDebugOn);
    EXPECT_EQ(Settings.DebugMode, 1);
    EXPECT_EQ(Settings.DebugHidden, 0);
    EXPECT_TRUE(seam_.menuChecks[kCmdDebugOn]);
    EXPECT_FALSE(seam_.menuChecks[kCmdDebugHide]);
    EXPECT_EQ(seam_.windowHeights.back(), 660);
    EXPECT_EQ(IniDebugMode(), "1");
}

TEST_F(DriverAppTest, ShowAllMessagesClearAndUnknownCommands) {
    Settings.DebugMode = 1;
    HandleMenuCommand(kCmdShowAllMessages);
    EXPECT_EQ(ShowAllMessages, 1);
    EXPECT_TRUE(seam_.menuChecks[kCmdShowAllMessages]);
    HandleMenuCommand(kCmdShowAllMessages);
    EXPECT_EQ(ShowAllMessages, 0);
    EXPECT_FALSE(seam_.menuChecks[kCmdShowAllMessages]);
    // Not a settings-file value.
    EXPECT_EQ(ReadIniSetting(SettingsFileName(DeviceNumber), "Pellax_Panel", "ShowAllMessages", "absent", 0),
              "absent");

    DebugMessage("one");
    DebugMessage("two");
    ASSERT_EQ(seam_.debugLines.size(), 2u);
    EXPECT_TRUE(HandleMenuCommand(kCmdDebugClear));
    EXPECT_TRUE(seam_.debugLines.empty());

    EXPECT_FALSE(HandleMenuCommand(kCmdAbout));
    EXPECT_FALSE(HandleMenuCommand(kCmdExit));
    EXPECT_FALSE(HandleMenuCommand(3));
    EXPECT_TRUE(seam_.fields.empty());
}

TEST_F(DriverAppTest, ForceCommandsAskAndMarkTheModeUnknown) {
    Settings.DebugMode = 1;
    DriverMode = 2;
    HandleMenuCommand(kCmdForceTxRx);
    EXPECT_EQ(DriverMode, -1);
    EXPECT_EQ(seam_.Field(kFieldInfoStatus), "Forcing to TX/RX");
    EXPECT_TRUE(seam_.HasDebugLine("Forcing Driver into TXRX Mode"));

    DriverMode = 2;
    HandleMenuCommand(kCmdForceRxOnly);
    EXPECT_EQ(DriverMode, -1);
    EXPECT_EQ(seam_.Field(kFieldInfoStatus), "forcing to rxonly");
    EXPECT_TRUE(seam_.HasDebugLine(" Trying to force driver into RXONLY mode"));
    EXPECT_TRUE(seam_.HasDebugLine(" *** Now force the other Driver into TXRX mode to complete operation ***"));
}

TEST_F(DriverAppTest, ShowChosenPanelFollowsTheListLines) {
    Configure(1, 1, "Desk A");
    Configure(2, 2, "Desk B");
    Configure(10, 3, "Desk J");
    auto tcp = std::make_unique<test::FakeNetPort>();
    tcp->sock = 99;  // connected
    Panels[10].Link = std::make_unique<TcpPanelLink>(Panels[10].IpAddress, 2001, std::move(tcp));
    Panels[10].Connected = 1;
    Panels[10].AliveSeen = 1;
    Panels[10].RxCount = 5;
    Panels[10].TxCount = 17;
    Panels[10].LastButton = 12;

    seam_.PanelListSelect(2);
    ShowChosenPanel();
    EXPECT_EQ(ChosenPanel, 10);
    EXPECT_EQ(seam_.Field(kFieldLocation), "Studio 10");
    EXPECT_EQ(seam_.Field(kFieldType), "CP-2032E  -  32");
    EXPECT_EQ(seam_.Field(kCaptionAddress), "IP Settings");
    EXPECT_EQ(seam_.Field(kFieldAddress), "10.1.1.10");
    EXPECT_EQ(seam_.Field(kFieldPanelId), "0A");
    EXPECT_EQ(seam_.Field(kFieldConnection), "Connected OK");
    EXPECT_EQ(seam_.Field(kFieldPanelRx), "5");
    EXPECT_EQ(seam_.Field(kFieldPanelTx), "17");
    EXPECT_EQ(seam_.Field(kFieldLastButton), "12");

    // A serial panel on COM 3 with the default line settings, its port open
    // but nothing heard from it.
    Panels[2].ComPort = 3;
    Panels[2].IpAddress = "0.0.0.0";
    Panels[2].Link = std::make_unique<SerialPanelLink>(3, std::make_unique<test::FakeSerialPort>());
    Panels[2].Link->Open();
    Panels[2].Connected = 1;
    Settings.SerialParams = "38400,8,1,E";
    seam_.PanelListSelect(1);
    ShowChosenPanel();
    EXPECT_EQ(ChosenPanel, 2);
    EXPECT_EQ(seam_.Field(kCaptionAddress), "SERIAL Settings");
    EXPECT_EQ(seam_.Field(kFieldAddress), "Com 3, 38400,8,1,E");
    EXPECT_EQ(seam_.Field(kFieldConnection), "No Response yet");
    EXPECT_EQ(seam_.Field(kFieldPanelId), "02");

    seam_.PanelListSelect(0);
    ShowChosenPanel();
    EXPECT_EQ(seam_.Field(kFieldConnection), "No Connection");
}

TEST_F(DriverAppTest, ShowChosenPanelIgnoresOrReportsBadSelections) {
    Settings.DebugMode = 1;
    Configure(1, 1, "Desk A");
    Configure(2, 2, "Desk B");
    ChosenPanel = 1;

    seam_.PanelListSelect(-1);
    ShowChosenPanel();
    EXPECT_EQ(ChosenPanel, 1);
    EXPECT_TRUE(seam_.fields.empty());

    // A list line beyond the panel count changes nothing.
    seam_.PanelListAdd(" 9.   stray");
    seam_.PanelListSelect(2);
    ShowChosenPanel();
    EXPECT_EQ(ChosenPanel, 1);
    EXPECT_TRUE(seam_.fields.empty());

    // A line that no panel claims is reported.
    Panels[2].ListIndex = 5;
    seam_.PanelListSelect(1);
    ShowChosenPanel();
    EXPECT_EQ(ChosenPanel, 0);
    EXPECT_TRUE(seam_.HasDebugLine("Driver ERROR in finding a Chosen panel -- report to VORN -- chosen 0"));
    EXPECT_TRUE(seam_.fields.empty());
}

TEST_F(DriverAppTest, SelectionIsLockedDuringAPanelTest) {
    Settings.DebugMode = 1;
    Configure(1, 1, "Desk A");
    Configure(2, 2, "Desk B");
    seam_.PanelListSelect(1);
    OnPanelListCommand();
    ASSERT_EQ(ChosenPanel, 2);

    TestPanel = 2;
    seam_.PanelListSelect(0);  // the operator picks another line
    OnPanelListCommand();
    EXPECT_TRUE(seam_.HasDebugLine("IN TESTING PANEL MODE - pls select after testing complete"));
    EXPECT_EQ(seam_.PanelListSelection(), 1);
    EXPECT_EQ(ChosenPanel, 2);

    TestPanel = -1;
    seam_.PanelListSelect(0);
    OnPanelListCommand();
    EXPECT_EQ(ChosenPanel, 1);
}

TEST_F(DriverAppTest, FailedAttachOtherThanNoInfodriverLeavesTheDriverIdle) {
    // Device 0 is refused by the client itself (result 4).
    DeviceNumber = 0;
    EXPECT_EQ(InitApp(info_), 0);
    EXPECT_EQ(DriverStatus, 2);
    EXPECT_EQ(seam_.Field(kFieldInfoStatus), "Info connect FAILED");
    EXPECT_EQ(seam_.Field(kFieldDriverStatus), "");
    EXPECT_TRUE(seam_.timers.empty());
    EXPECT_TRUE(seam_.timerStarts.empty());
    EXPECT_TRUE(seam_.messageBoxes.empty());
    EXPECT_TRUE(seam_.HasDebugLine("ERROR ERROR - Connect failed to infodriver, code 4"));
    EXPECT_TRUE(seam_.HasDebugLine("ERROR ERROR -  Driver not functioning"));
}

TEST_F(DriverAppTest, NoInfodriverShowsTheBoxAndAborts) {
    DeviceNumber = 7;  // nobody serves device 7 in this test's socket directory
    EXPECT_EQ(InitApp(info_), -1);
    EXPECT_EQ(DriverStatus, 2);
    EXPECT_EQ(seam_.Field(kFieldInfoStatus), "Info connect FAILED");
    ASSERT_EQ(seam_.messageBoxes.size(), 1u);
    EXPECT_EQ(seam_.messageBoxes[0].first, "Cant Find Infodriver");
    EXPECT_EQ(seam_.messageBoxes[0].second, "! No connection to Infodriver - PellaxPanel exiting !");
    EXPECT_TRUE(seam_.HasDebugLine("ERROR  - Connect failed to infodriver 7"));
    EXPECT_TRUE(seam_.HasDebugLine("ERROR  -  Driver not functioning"));
    EXPECT_TRUE(seam_.timers.empty());
    // The settings were read and completed before the attach.
    EXPECT_EQ(IniDebugMode(), "1");
    CloseApp();  // runs against no link without harm
    EXPECT_TRUE(seam_.HasDebugLine("CloseApp - driver shut down "));
}

TEST_F(DriverAppTest, AttachedStartAndShutdownWriteTheStatusSlots) {
    test::InfodriverChild info(7, dir_.path() + "/sock", dir_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    for (int p = 1; p <= kMaxPanels; ++p) ASSERT_TRUE(info.Set(300 * (p - 1) + 299, "1"));

    ASSERT_EQ(InitApp(info_), 0);
    EXPECT_EQ(DriverStatus, 1);
    EXPECT_EQ(CommsSummary, 1);
    EXPECT_EQ(DriverMode, -1);
    EXPECT_EQ(seam_.Field(kFieldInfoStatus), "Connected OK");
    EXPECT_EQ(seam_.Field(kFieldDriverStatus), "Initialising ");
    ASSERT_EQ(seam_.timers.count(kStartupLoadTimer), 1u);
    EXPECT_EQ(seam_.timers[kStartupLoadTimer], 300);
    EXPECT_EQ(seam_.timers.size(), 1u);
    EXPECT_TRUE(seam_.HasDebugLine("Connected OK to infodriver 7"));
    EXPECT_TRUE(info.WaitForSlot(4001, "1"));

    CloseApp();
    EXPECT_TRUE(info.WaitForSlot(4001, "0"));
    for (int p = 1; p <= kMaxPanels; ++p) EXPECT_EQ(info.Get(300 * (p - 1) + 299), "0") << "panel " << p;
    EXPECT_EQ(info_.iMode, 7);
    EXPECT_EQ(std::count(seam_.timerStops.begin(), seam_.timerStops.end(), kHousekeepingTimer), 1);
}

// Start-up reads about a hundred keys and adds every missing one with its
// default, but replaces the settings file once (one rename into place, seen
// through inotify), keeping what was there.
TEST_F(DriverAppTest, StartUpWritesTheSettingsFileOnce) {
    const std::string configDir = dir_.path() + "/sys/config/system";
    const std::string ini = configDir + "/DEV_007.ini";
    {
        FILE* f = std::fopen(ini.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("; site comment\n[Pellax_Panel]\nLogMode=0\n[Pellax_Panel_2]\nPanel_ID=DESK-2\n", f);
        std::fclose(f);
    }
    test::InfodriverChild info(7, dir_.path() + "/sock", dir_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, configDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE), 0);

    seam_.SetTimerHandler(OnTimerTick);
    ASSERT_EQ(InitApp(info_), 0);
    ASSERT_TRUE(seam_.Tick(kStartupLoadTimer));
    int replaced = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
        for (char* at = events; at < events + n;) {
            auto* e = reinterpret_cast<inotify_event*>(at);
            if ((e->mask & IN_MOVED_TO) != 0 && std::string(e->name) == "DEV_007.ini") ++replaced;
            at += sizeof(inotify_event) + e->len;
        }
    }
    close(watch);
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(ReadIniSetting("DEV_007.ini", "Pellax_Panel", "Speed", "?", 0), "38400");
    EXPECT_EQ(ReadIniSetting("DEV_007.ini", "Pellax_Panel", "LogMode", "?", 0), "0");
    EXPECT_EQ(ReadIniSetting("DEV_007.ini", "Pellax_Panel_2", "Panel_ID", "?", 0), "DESK-2");
    EXPECT_EQ(ReadIniSetting("DEV_007.ini", "Pellax_Panel_12", "TCPIP_Port", "?", 0), "2001");
    CloseApp();
}

}  // namespace
}  // namespace vorn
