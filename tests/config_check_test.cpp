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

// One text per case, in the section it belongs to: the one problem the
// check reports for it ("" for none), as the loaders would decide it.
TEST(ConfigCheckRules, eachReplacedOrRefusedText_getsOneProblemSayingWhatIsUsed) {
    const struct {
        const char* section;
        const char* line;
        const char* problem;
    } cases[] = {
        {"Pellax_Panel", "RefreshOnConnection=2", "[Pellax_Panel] RefreshOnConnection: '2' is not 0 or 1: 0 (off) used"},
        {"Pellax_Panel", "RefreshOnConnection=+1", ""},
        {"Pellax_Panel", "PanelSilenceTimeout=-5", "[Pellax_Panel] PanelSilenceTimeout: '-5' is below 0: 0 (off) used"},
        {"Pellax_Panel", "DebugMode=1x", "[Pellax_Panel] DebugMode: '1x' is not a whole number: 1 used"},
        {"Pellax_Panel", "Speed=99999999999", "[Pellax_Panel] Speed: '99999999999' is out of range: 2147483647 used"},
        {"Pellax_Panel", "StopBits=0", "[Pellax_Panel] StopBits: '0' is not 1 or 2: 1 used"},
        {"Pellax_Panel", "Parity=o", ""},
        {"Pellax_Panel", "StatusHttpPort=70000", "[Pellax_Panel] StatusHttpPort: '70000' is not a port 1..65535: no status page"},
        {"Pellax_Panel", "StatusHttpPort=8080\nStatusHttpAddress=0.0.0.0",
         "[Pellax_Panel] StatusHttpAddress: '0.0.0.0' is not a loopback address and StatusHttpToken is empty: no status page"},
        {"Pellax_Panel", "StatusHttpPort=8080\nStatusHttpAddress=::1", ""},
        {"Pellax_Panel", "StatusHttpPort=8080\nStatusHttpToken=a b",
         "[Pellax_Panel] StatusHttpToken: StatusHttpToken may hold only letters, digits and - . _ ~ + / =: no status page"},
        {"Pellax_Panel", "LogKeepDays=-1", "[Pellax_Panel] LogKeepDays: '-1' is below 0: 0 (keep every file) used"},
        {"Pellax_Panel", "LogMaxDayBytes=8589934592", ""},
        {"Pellax_Panel", "LogMaxDayBytes=64M", "[Pellax_Panel] LogMaxDayBytes: '64M' is not a whole number of bytes: 64 used"},
        {"Pellax_Panel_1", "Serial_ComPort=1G", "[Pellax_Panel_1] Serial_ComPort: '1G' is not a whole number: 1 used"},
        {"Pellax_Panel_1", "Serial_ComPort=300", "[Pellax_Panel_1] Serial_ComPort: COM300 is outside 1..256: the line never opens"},
        {"Pellax_Panel_1", "Serial_ComPort=2\nPanel_Comms_ID=0A", ""},
        {"Pellax_Panel_1", "Serial_ComPort=2\nPanel_Comms_ID=1G", "[Pellax_Panel_1] Panel_Comms_ID: '1G' is not a hexadecimal number: 01 used"},
        {"Pellax_Panel_1", "TCPIP_Address=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
         "[Pellax_Panel_1] TCPIP_Address: longer than 63 characters: cut to 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'"},
    };
    for (const auto& c : cases) {
        IniFile ini;
        ini.Parse(std::string("[") + c.section + "]\n" + c.line + "\n");
        std::vector<ConfigProblem> problems = CheckSettings(ini);
        std::string got = problems.empty() ? "" : problems.front().text;
        EXPECT_EQ(got, c.problem) << c.line;
        EXPECT_LE(problems.size(), 1u) << c.line;
    }
}

}  // namespace
}  // namespace vorn
