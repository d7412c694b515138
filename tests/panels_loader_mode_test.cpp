// Panel loader (settings file to panel table) and mode tracking against the
// reference Infodriver, which decides who is main.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/settings.h"
#include "panels/mode_tracking.h"
#include "panels/panel_loader.h"
#include "support/panel_fixture.h"
#include "transport/net_port.h"
#include "transport/serial_port.h"

namespace vorn {
namespace {

class LoaderTest : public test::PanelFixture {
protected:
    void SetUp() override {
        PanelFixture::SetUp();
        setenv("QX_ROOT", dir.path().c_str(), 1);
        setenv("QX_SYSTEM", "sys", 1);
        ResolvePaths();
        std::filesystem::create_directories(ConfigDir);
        Settings.Speed = 19200;
        Settings.DataBits = 7;
        Settings.Parity = 2;
        Settings.Driver_Identity = "Desk driver";
    }
    void TearDown() override {
        unsetenv("QX_ROOT");
        unsetenv("QX_SYSTEM");
        PanelFixture::TearDown();
    }
    void WriteSettings(const std::string& text) {
        std::ofstream(ConfigDir + "/DEV_001.ini") << text;
    }
    std::string Setting(int panel, const std::string& key) {
        return ReadIniSetting(SettingsFileName(kDevice), "Pellax_Panel_" + std::to_string(panel), key, "<none>", 0);
    }
};

TEST_F(LoaderTest, SectionsBecomeTcpSerialOrNoPanelAndAreListedInOrder) {
    WriteSettings(
        "[Pellax_Panel_2]\nPanel_ID=north\nPanel_Location=hall\nPanel_Type=CP-2048E\nPanel_Comms_ID=40\n"
        "TCPIP_Address=10.1.2.3\nSerial_ComPort=3\n"
        "[Pellax_Panel_3]\nPanel_Comms_ID=41\n"
        "[Pellax_Panel_5]\nPanel_ID=south\nPanel_Type=lamps 6401\nPanel_Comms_ID=0A\nSerial_ComPort=4\n"
        "[Pellax_Panel_7]\nPanel_Comms_ID=zz\nPanel_Type=XYZ\nTCPIP_Address=panel7.local\nTCPIP_Port=3000\n");
    LoadAll();

    // TCP wins over the COM port; the port defaults to 2001.
    const PanelRecord& p2 = Panels[2];
    EXPECT_EQ(p2.InUse, 1);
    ASSERT_NE(p2.Link, nullptr);
    EXPECT_EQ(p2.Link->Kind(), LinkKind::kTcp);
    EXPECT_EQ(p2.ComPort, 3);
    EXPECT_EQ(p2.Port, 2001);
    EXPECT_EQ(p2.CommsId, 64);
    EXPECT_EQ(p2.TypeCode, 3);
    EXPECT_EQ(p2.ListIndex, 1);
    EXPECT_TRUE(Logged("LoadAll -- PellaxPanel 2 - hall - ip:10.1.2.3, port:2001 "));
    EXPECT_TRUE(Logged("Panel CP-2048E (48)  PanID=64"));

    // No panel: values still stored, nothing logged for it except a bad id.
    EXPECT_EQ(Panels[3].InUse, 0);
    EXPECT_EQ(Panels[3].CommsId, -1);
    EXPECT_EQ(Panels[3].TypeCode, 1);  // default Panel_Type
    EXPECT_EQ(Panels[3].Link, nullptr);
    EXPECT_TRUE(Logged("LoadAllData -- ERROR -- INVALID PANEL COMMS ID 0x41 ( valid=00..40 hex )"));

    const PanelRecord& p5 = Panels[5];
    EXPECT_EQ(p5.InUse, 1);
    ASSERT_NE(p5.Link, nullptr);
    ASSERT_EQ(p5.Link->Kind(), LinkKind::kSerial);
    SerialPort& serial = static_cast<SerialPanelLink&>(*p5.Link).Port();
    EXPECT_EQ(serial.baud, 19200);
    EXPECT_EQ(serial.byteSize, 7);
    EXPECT_EQ(serial.parity, 2);
    EXPECT_EQ(p5.CommsId, 10);
    EXPECT_EQ(p5.ButtonCount, 80);
    EXPECT_EQ(p5.Buttons[1].LampState, 0);
    EXPECT_EQ(p5.ListIndex, 2);
    EXPECT_TRUE(Logged("LoadAll -- PellaxPanel 5 - -- string to describe Panel -- - SERIAL Comport:4 "));

    // A type naming no model: still a panel, without buttons.
    EXPECT_EQ(Panels[7].InUse, 1);
    EXPECT_EQ(Panels[7].CommsId, 0);
    EXPECT_EQ(Panels[7].TypeCode, -1);
    EXPECT_EQ(Panels[7].ButtonCount, -1);
    EXPECT_EQ(Panels[7].Port, 3000);

    EXPECT_EQ(PanelCount, 3);
    EXPECT_EQ(seam.panelList, (std::vector<std::string>{" 2.   north", " 5.   south",
                                                         " 7.   -- instance name of Panel --"}));
    EXPECT_TRUE(Logged("LoadAll - loaded valid data for 3 PellaxPanels "));
    EXPECT_EQ(seam.Field(kFieldPanelCount), "3");
    EXPECT_EQ(seam.Field(kFieldIdentity), "Desk driver");

    // Every key of every section is in the file afterwards.
    EXPECT_EQ(Setting(2, "Panel_ID"), "north");
    EXPECT_EQ(Setting(2, "TCPIP_Port"), "2001");
    EXPECT_EQ(Setting(12, "Panel_Type"), "CP-1000E");
    EXPECT_EQ(Setting(12, "TCPIP_Address"), "0.0.0.0");
    EXPECT_EQ(Setting(1, "Panel_Comms_ID"), "00");
}

// A TCP panel whose port is no number 1..65535 is a configuration error:
// said once, and the panel stays out. A serial panel ignores the port.
TEST_F(LoaderTest, TcpPortOutside1To65535OrNoNumber_leavesThePanelOut) {
    const char* const ports[] = {"70000", "abc", "0", "2001x", "-1", "65535", "1"};
    std::string text;
    for (int n = 1; n <= 7; ++n) {
        text += "[Pellax_Panel_" + std::to_string(n) + "]\nTCPIP_Address=10.0.0." + std::to_string(n) +
                "\nTCPIP_Port=" + ports[n - 1] + "\n";
    }
    text += "[Pellax_Panel_8]\nSerial_ComPort=2\nTCPIP_Port=junk\n";
    WriteSettings(text);
    LoadAll();

    for (int n = 1; n <= 5; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Panels[n].InUse, 0);
        EXPECT_EQ(Panels[n].Link, nullptr);
        EXPECT_EQ(Panels[n].ListIndex, -1);
        EXPECT_EQ(seam.CountDebugLines("LoadAll -- PellaxPanel " + std::to_string(n) + " - TCPIP_Port '" +
                                       ports[n - 1] + "' is not a port 1..65535 - panel not used "),
                  1);
    }
    EXPECT_EQ(Panels[6].Port, 65535);
    EXPECT_EQ(Panels[7].Port, 1);
    ASSERT_NE(Panels[7].Link, nullptr);
    EXPECT_EQ(Panels[7].Link->Kind(), LinkKind::kTcp);
    ASSERT_NE(Panels[8].Link, nullptr);
    EXPECT_EQ(Panels[8].Link->Kind(), LinkKind::kSerial);
    EXPECT_FALSE(Logged("LoadAll -- PellaxPanel 8 - TCPIP_Port 'junk' is not a port 1..65535 - panel not used "));
    EXPECT_EQ(PanelCount, 3);
    EXPECT_EQ(seam.panelList.size(), 3u);
    EXPECT_TRUE(Logged("LoadAll - loaded valid data for 3 PellaxPanels "));
}

TEST_F(LoaderTest, NoConfiguredPanel) {
    LoadAll();  // no file at all
    EXPECT_EQ(PanelCount, 0);
    EXPECT_TRUE(seam.panelList.empty());
    EXPECT_TRUE(Logged("LoadAll - loaded valid data for 0 PellaxPanels "));
    EXPECT_EQ(seam.Field(kFieldPanelCount), "0");
    EXPECT_EQ(Setting(7, "Serial_ComPort"), "0");
}

class ModeTest : public test::PanelFixture {
protected:
    // Attaches `other` first, so that the driver's client comes back as the reserve.
    void MakeDriverReserve(extinfo& other) {
        info.disconnect();
        ASSERT_EQ(other.connect(kDevice, nullptr), 15);
        ASSERT_EQ(info.connect(kDevice, nullptr), 15);
        ASSERT_EQ(info.getmode(), IFMODE_RXONLY);
    }
};

TEST_F(ModeTest, FirstCheckAsMainAndThenNoChange) {
    info.iMode = IFMODE_TXRXINQ;  // shows whether setmode was called
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kChanged);
    EXPECT_EQ(DriverMode, IFMODE_TXRX);
    EXPECT_TRUE(Logged("CheckInfoMode- new mode TX-RX(2) different to current (-1) -- changing status"));
    EXPECT_TRUE(Logged("PELLAX_Panel driver running in  TXRX  mode "));
    EXPECT_EQ(seam.Field(kFieldInfoStatus), "Tx/Rx - MAIN OK");
    EXPECT_EQ(info.iMode, IFMODE_TXRXINQ);  // still main: no setmode

    const size_t lines = seam.debugLines.size();
    seam.fields.clear();
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kUnchanged);
    EXPECT_EQ(seam.debugLines.size(), lines);
    EXPECT_EQ(seam.Field(kFieldInfoStatus), "Tx/Rx - MAIN OK");
}

TEST_F(ModeTest, ReserveAsksToBeMainAndFollowsWhenTheMainLeaves) {
    extinfo other(kInfoInterfaceVersion);
    MakeDriverReserve(other);
    info.iMode = IFMODE_RXONLY;

    EXPECT_EQ(CheckInfoMode(), ModeCheck::kChanged);
    EXPECT_EQ(DriverMode, IFMODE_RXONLY);
    EXPECT_TRUE(Logged("CheckInfoMode- new mode RXONLY(1) different to current (-1) -- changing status"));
    EXPECT_TRUE(Logged("PELLAX_Panel driver running in  RXONLY  mode "));
    EXPECT_EQ(seam.Field(kFieldInfoStatus), "RXonly - RESERVE");
    EXPECT_EQ(info.iMode, IFMODE_TXRX);  // asked to become main

    // The main refuses (or does not answer); the main leaves, the reserve
    // is offered the role and the next check reports the change.
    other.disconnect();
    ASSERT_TRUE(seam.PumpUntil([&] {
        auto clients = server->DriverClients(kDevice);
        return clients.size() == 1 && clients[0].mode == IFMODE_TXRX;
    }));
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kChanged);
    EXPECT_EQ(DriverMode, IFMODE_TXRX);
    EXPECT_TRUE(Logged("CheckInfoMode- new mode TX-RX(2) different to current RXONLY(1) -- changing status"));
}

TEST_F(ModeTest, MainThatLostTheRoleAndAnUnknownAnswer) {
    extinfo other(kInfoInterfaceVersion);
    MakeDriverReserve(other);
    DriverMode = IFMODE_TXRX;
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kChanged);
    EXPECT_EQ(DriverMode, IFMODE_RXONLY);
    EXPECT_TRUE(Logged("CheckInfoMode- new mode RXONLY(1) different to current TX-RX(2) -- changing status"));

    // A check without an answer keeps the mode; only the third in a row
    // counts as mode 0.
    other.disconnect();
    server.reset();
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kUnchanged);
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kUnchanged);
    EXPECT_EQ(DriverMode, IFMODE_RXONLY);
    EXPECT_TRUE(Logged("CheckInfoMode - no answer from the infodriver (1 in a row) - mode kept "));
    EXPECT_TRUE(Logged("CheckInfoMode - no answer from the infodriver (2 in a row) - mode kept "));
    EXPECT_EQ(CheckInfoMode(), ModeCheck::kChanged);
    EXPECT_TRUE(Logged("CheckInfoMode - no answer from the infodriver (3 in a row) - mode unknown "));
    EXPECT_EQ(DriverMode, 0);
    EXPECT_TRUE(Logged("CheckInfoMode- new mode (0) different to current RXONLY(1) -- changing status"));
    EXPECT_TRUE(Logged("PELLAX_Panel driver running in  UNKNOWN  mode "));
    EXPECT_EQ(seam.Field(kFieldInfoStatus), " ??unknown??");
}

}  // namespace
}  // namespace vorn
