// The pellax-panel executable as a child process: command line parsing and
// its error box, the run without an Infodriver, headless start, and the
// shutdown paths (SIGTERM, SIGINT, the Infodriver going away) against the
// reference Infodriver.

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/driver_site.h"
#include "support/infodriver_child.h"
#include "support/spawned_process.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using test::BinPath;
using test::InfodriverChild;
using test::SpawnedProcess;

constexpr char kBadDeviceBox[] = "Error: Valid device number must be supplied as command line parameter\n";
constexpr char kNoInfodriverBox[] = "Cant Find Infodriver: ! No connection to Infodriver - PellaxPanel exiting !\n";

class AppProcessTest : public ::testing::Test {
protected:
    int RunDriver(const std::vector<std::string>& args, std::string* err) {
        return SpawnedProcess::Run(BinPath("pellax-panel"), args, site_.env, site_.path(), nullptr, err);
    }
    static int StatusSlot(int panel) { return 300 * (panel - 1) + 299; }

    // Starts the reference Infodriver and a driver of device; the driver
    // has attached once slot 4001 reads "1".
    void StartBoth(int device, InfodriverChild& info, SpawnedProcess& driver) {
        ASSERT_TRUE(info.Start()) << info.process().Stderr();
        for (int p = 1; p <= 12; ++p) ASSERT_TRUE(info.Set(StatusSlot(p), "1"));
        site_.device = device;
        ASSERT_TRUE(site_.StartDriver(driver)) << driver.error();
        ASSERT_TRUE(info.WaitForSlot(4001, "1")) << driver.Stderr();
    }
    void ExpectShutdownSlots(InfodriverChild& info) {
        EXPECT_EQ(info.Get(4001), "0");
        for (int p = 1; p <= 12; ++p) EXPECT_EQ(info.Get(StatusSlot(p)), "0") << "panel " << p;
    }

    test::DriverSite site_;
};

TEST_F(AppProcessTest, InvalidDeviceNumbersShowTheBoxAndExitMinusOne) {
    const std::vector<std::vector<std::string>> lines = {{}, {""}, {"0"}, {"-3"}, {"abc"}, {"  ", "x12"}};
    for (const auto& args : lines) {
        std::string err;
        EXPECT_EQ(RunDriver(args, &err), 255) << (args.empty() ? "<none>" : args[0]);
        EXPECT_NE(err.find(kBadDeviceBox), std::string::npos) << err;
        EXPECT_EQ(err.find("Pellax_Panel - "), std::string::npos) << "nothing else ran: " << err;
    }
}

TEST_F(AppProcessTest, NoInfodriverShowsTheBoxRunsCloseAppAndExitsZero) {
    std::string err;
    EXPECT_EQ(RunDriver({"12"}, &err), 0);
    EXPECT_NE(err.find(kNoInfodriverBox), std::string::npos) << err;
    EXPECT_NE(err.find("Pellax_Panel - ERROR  - Connect failed to infodriver 12 \n"), std::string::npos) << err;
    EXPECT_NE(err.find("Pellax_Panel - CloseApp - driver shut down  \n"), std::string::npos) << err;
    EXPECT_LT(err.find(kNoInfodriverBox), err.find("CloseApp - driver shut down"));
    // Device 12 names the settings file, completed with the defaults.
    EXPECT_TRUE(test::FileExists(site_.path() + "/sys/config/system/DEV_012.ini"));

    // The whole command line counts: " 7 and more" is device 7.
    EXPECT_EQ(RunDriver({" 7", "and", "more"}, &err), 0);
    EXPECT_NE(err.find("Connect failed to infodriver 7 \n"), std::string::npos) << err;
}

TEST_F(AppProcessTest, AStandardErrorNobodyReadsDoesNotKillTheDriver) {
    // Debug lines and boxes go to standard error; when its reader has gone
    // (a closed log pipe) the driver still runs its shutdown and exits 0.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    SpawnedProcess driver;
    driver.SetStderrFd(fds[1]);
    const bool started = driver.Start(BinPath("pellax-panel"), {"12"}, site_.env, site_.path());
    close(fds[1]);
    ASSERT_TRUE(started) << driver.error();
    std::optional<int> code = driver.Wait(std::chrono::milliseconds(10000));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(test::FileExists(site_.path() + "/sys/config/system/DEV_012.ini"));
}

// A settings file that exists but cannot be read (here a directory of that
// name) stops the driver before it attaches, with the reason and a non-zero
// exit: running on defaults it would be a main without panels.
TEST_F(AppProcessTest, UnreadableSettingsFileStopsTheDriverWithNonZeroExit) {
    ASSERT_EQ(mkdir((site_.path() + "/sys/config/system/DEV_009.ini").c_str(), 0755), 0);
    std::string err;
    EXPECT_EQ(RunDriver({"9"}, &err), 255);
    EXPECT_NE(err.find("Settings file unreadable"), std::string::npos) << err;
    EXPECT_NE(err.find("DEV_009.ini cannot be read: Is a directory"), std::string::npos) << err;
    EXPECT_EQ(err.find("Connect failed to infodriver"), std::string::npos) << "stopped before the attach: " << err;
    EXPECT_EQ(err.find("Connected OK to infodriver"), std::string::npos) << "stopped before the attach: " << err;
}

// --check-config finds the file as the driver does and exits 0 (warnings
// only), 1 (an error) or 2 (unreadable), with no display, no Infodriver and
// no write to the file.
TEST_F(AppProcessTest, CheckConfigExitCodes_withoutDisplayOrInfodriver) {
    site_.env["QT_QPA_PLATFORM"] = std::nullopt;
    const std::string file = site_.path() + "/sys/config/system/DEV_004.ini";
    const std::string good = "[Pellax_Panel]\nParity=s\n[Pellax_Panel_1]\nTCPIP_Address=127.0.0.1\n";
    test::WriteFile(file, good);
    std::string out;
    const auto check = [&](const char* device) {
        return SpawnedProcess::Run(BinPath("pellax-panel"), {"--check-config", device}, site_.env, site_.path(), &out);
    };
    EXPECT_EQ(check("4"), 0) << out;
    EXPECT_EQ(out.rfind(file + ":2: warning: [Pellax_Panel] Parity: 's' is not E, O, N or M: N (none) used\n", 0), 0u)
        << out;
    test::WriteFile(file, good + "TCPIP_Port=0\n");
    EXPECT_EQ(check("4"), 1) << out;
    EXPECT_NE(out.find(file + ":5: error: [Pellax_Panel_1] TCPIP_Port: '0' is not a port"), std::string::npos) << out;
    EXPECT_NE(out.find(file + ": 1 error, 1 warning\n"), std::string::npos) << out;
    EXPECT_EQ(test::ReadFile(file), good + "TCPIP_Port=0\n");
    EXPECT_EQ(check("5"), 2);
    EXPECT_EQ(out, site_.path() + "/sys/config/system/DEV_005.ini: error: cannot be read: No such file or directory\n");
}

TEST_F(AppProcessTest, WithoutAnyDisplayItRunsHeadless) {
    site_.env["QT_QPA_PLATFORM"] = std::nullopt;
    site_.env["DISPLAY"] = std::nullopt;
    site_.env["WAYLAND_DISPLAY"] = std::nullopt;
    std::string err;
    EXPECT_EQ(RunDriver({"abc"}, &err), 255);
    EXPECT_NE(err.find(kBadDeviceBox), std::string::npos) << err;
    EXPECT_EQ(RunDriver({"3"}, &err), 0);
    EXPECT_NE(err.find(kNoInfodriverBox), std::string::npos) << err;
}

TEST_F(AppProcessTest, SigtermAndSigintCloseTheDriverCleanly) {
    for (int sig : {SIGTERM, SIGINT}) {
        InfodriverChild info(21, site_.path() + "/sock", site_.path());
        SpawnedProcess driver;
        StartBoth(21, info, driver);
        driver.Signal(sig);
        std::optional<int> code = driver.Wait(std::chrono::milliseconds(10000));
        ASSERT_TRUE(code.has_value()) << "signal " << sig;
        EXPECT_EQ(*code, 0) << "signal " << sig << "\n" << driver.Stderr();
        EXPECT_NE(driver.Stderr().find("CloseApp - driver shut down"), std::string::npos);
        ExpectShutdownSlots(info);
    }
}

TEST_F(AppProcessTest, InfodriverGoingAwayEndsTheDriver) {
    InfodriverChild info(22, site_.path() + "/sock", site_.path());
    SpawnedProcess driver;
    StartBoth(22, info, driver);
    info.Stop();
    std::optional<int> code = driver.Wait(std::chrono::milliseconds(10000));
    ASSERT_TRUE(code.has_value()) << driver.Stderr();
    EXPECT_EQ(*code, 0) << driver.Stderr();
    EXPECT_NE(driver.Stderr().find("CloseApp - driver shut down"), std::string::npos) << driver.Stderr();
}

}  // namespace
}  // namespace vorn
