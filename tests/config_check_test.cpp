// The configuration check against files on disk, found as the driver finds
// them: every kind of problem at its line, a clean file, a file that cannot
// be read; nothing is ever written.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "app/config_check.h"
#include "core/driver_state.h"
#include "core/settings.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

class ConfigCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        unsetenv("QX_ROOT");
        unsetenv("QX_SYSTEM");
        saved_ = Locations();
        Locations().pointerFile = dir_.file("none.ini");
        Locations().windowsDir = dir_.path();
    }
    void TearDown() override { Locations() = saved_; }

    // (line, error, start of the text after the section) of each problem.
    static std::vector<std::tuple<int, bool, std::string>> Summary(const ConfigCheckResult& r) {
        std::vector<std::tuple<int, bool, std::string>> out;
        for (const ConfigProblem& p : r.problems) out.emplace_back(p.line, p.error, p.text.substr(0, 36));
        return out;
    }

    test::TempDir dir_;
    PathLocations saved_;
};

TEST_F(ConfigCheckTest, everyKindOfProblem_isReportedAtItsLine_andTheFileIsLeftAlone) {
    const std::string file =
        "\xEF\xBB\xBF[Pellax_Panel]\r\n"                                      // 1 (mark, CR LF)
        "Parity=S\r\nSpeeed=9600\r\nLogKeepDays=x\r\nlogkeepdays=1\r\nDataBits=9\r\n"  // 2..6
        "no equals here\r\n"                                                // 7
        "[Pellax_Panel_1]\r\nPanel_Comms_ID=41\r\nTCPIP_Address=127.0.0.1\r\n"  // 8..10
        "[Pellax_Panel_2]\r\nTCPIP_Address=127.0.0.1\r\nSerial_ComPort=4\r\nPanel_Type=CP-99\r\n"  // 11..14
        "[Pellax_Panel_3]\r\nSerial_ComPort=3\r\n[Pellax_Panel_4]\r\nSerial_ComPort=3\r\n"  // 15..18
        "[Pellax_Panel_5]\r\nTCPIP_Address=10.0.0.5\r\nTCPIP_Port=20x1\r\n"   // 19..21
        "[Pellax_Panel_6]\r\nPanel_ID=DESK\r\n[Pellax_Panel_7]\r\nPanel_ID=-- instance name of Panel --\r\n"  // 22..25
        "[Pellax_Panel_13]\r\nx=1\r\n[pellax_panel_1]\r\nTCPIP_Port=1\r\n";   // 26..29
    test::WriteFile(dir_.file("dev_007.ini"), file);
    const ConfigCheckResult r = CheckSettingsFile(7);
    ASSERT_TRUE(r.readable) << r.unreadable;
    EXPECT_EQ(r.path, dir_.file("dev_007.ini"));
    const std::vector<std::tuple<int, bool, std::string>> expected = {
        {2, false, "[Pellax_Panel] Parity: 'S' is not E,"},
        {3, false, "[Pellax_Panel] Speeed: not read by t"},
        {4, false, "[Pellax_Panel] LogKeepDays: 'x' is n"},
        {5, false, "[Pellax_Panel] logkeepdays: given ag"},
        {6, true, "[Pellax_Panel] DataBits: serial line"},
        {7, false, "neither [section], key=value nor a c"},
        {9, true, "[Pellax_Panel_1] Panel_Comms_ID: '41"},
        {12, true, "[Pellax_Panel_2] TCPIP_Address: 127."},
        {13, false, "[Pellax_Panel_2] Serial_ComPort: 4 n"},
        {14, false, "[Pellax_Panel_2] Panel_Type: 'CP-99'"},
        {18, true, "[Pellax_Panel_4] Serial_ComPort: COM"},
        {21, true, "[Pellax_Panel_5] TCPIP_Port: '20x1' "},
        {22, false, "[Pellax_Panel_6] no panel: TCPIP_Add"},
        {26, false, "[Pellax_Panel_13] is not one of the "},
        {28, false, "[pellax_panel_1] again: ignored, the"},
    };
    EXPECT_EQ(Summary(r), expected);
    EXPECT_EQ(r.Errors(), 5);
    EXPECT_EQ(test::ReadFile(dir_.file("dev_007.ini")), file);
    EXPECT_FALSE(test::FileExists(dir_.file("DEV_007.ini")));
}

TEST_F(ConfigCheckTest, shippedExample_hasNoProblem_missingOrUnreadableIsNoFile) {
    test::WriteFile(dir_.file("DEV_007.ini"), test::ReadFile(VORN_SOURCE_DIR "/docs/DEV_001.ini.example"));
    const ConfigCheckResult good = CheckSettingsFile(7);
    EXPECT_TRUE(good.readable);
    for (const ConfigProblem& p : good.problems) ADD_FAILURE() << p.line << ": " << p.text;

    const ConfigCheckResult missing = CheckSettingsFile(8);
    EXPECT_FALSE(missing.readable);
    EXPECT_EQ(missing.path, dir_.file("DEV_008.ini"));
    ASSERT_EQ(mkdir(dir_.file("DEV_009.ini").c_str(), 0755), 0);
    EXPECT_EQ(CheckSettingsFile(9).unreadable, "Is a directory");
}

}  // namespace
}  // namespace vorn
