// The hung-main drill with real processes: the reference Infodriver, two
// pellax-panel drivers (main and reserve) and the simulator with a TCP panel
// and a lamp panel on a pty behind COM3. The main is stopped (SIGSTOP): the
// Infodriver cuts it off, fences it (SIGKILL) and makes the reserve main,
// which then drives both panels, the serial one included. With --no-fence
// the stopped main is left alone, as before fencing existed. Every wait is
// for a condition with a deadline; the drill prints its times.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/driver_site.h"
#include "support/piped_process.h"
#include "support/spawned_process.h"
#include "support/wait_until.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::BinPath;
using test::ButtonShows;
using test::Occurrences;
using test::SpawnedProcess;
using test::WaitUntil;

constexpr int kLampBase = 300;  // panel 2, CP-3201E on COM3
constexpr const char* kReserveLine = "PELLAX_Panel driver running in  RXONLY  mode";

class FailoverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(BinPath("pellax-panel").empty()) << "VORN_BIN_DIR is not set"; }

    void TearDown() override {
        if (!HasFailure()) return;
        std::printf("--- infodriver stderr\n%s\n--- main driver stderr\n%s\n--- reserve driver stderr\n%s\n"
                    "--- panelsim stderr\n%s\n",
                    info_.Stderr().c_str(), main_.Stderr().c_str(), reserve_.Stderr().c_str(), sim_.Stderr().c_str());
    }

    // Infodriver (with `infoArgs`), simulator (alive every 250 ms, as panels
    // do), settings, the main driver driving both panels and the reserve.
    void StartPair(int device, std::vector<std::string> infoArgs) {
        site_.device = device;
        infoArgs.push_back(std::to_string(device));
        ASSERT_TRUE(info_.Start(BinPath("infodriver"), infoArgs, site_.env, site_.path())) << info_.error();
        ASSERT_TRUE(WaitUntil([&] { return info_.Stderr().find("infodriver: ready") != std::string::npos; }, 10s));
        const std::vector<std::string> panels = site_.StartSimulator(
            sim_, {"--alive", "250", "tcp:127.0.0.1:0:type=CP-2048E:id=01",
                   "pty:COM3:dir=" + site_.path() + "/com:type=CP-3201E:id=02"});
        ASSERT_EQ(panels.size(), 2u) << sim_.error() << sim_.Stderr();
        site_.WriteSettings("[Pellax_Panel]\nDebugMode=1\nLogMode=0\nRefreshOnConnection=1\n"
                            "[Pellax_Panel_1]\nPanel_ID=DESK-A\nPanel_Type=CP-2048E\nPanel_Comms_ID=01\n"
                            "TCPIP_Address=127.0.0.1\nTCPIP_Port=" + panels[0] + "\n"
                            "[Pellax_Panel_2]\nPanel_ID=LAMPS-B\nPanel_Type=CP-3201E\nPanel_Comms_ID=02\n"
                            "Serial_ComPort=3\n");

        ASSERT_TRUE(site_.StartDriver(main_));
        ASSERT_TRUE(WaitUntil([&] { return site_.Get(299) == "1" && site_.Get(kLampBase + 299) == "1"; }, 20s))
            << "the main never drove both panels";
        ASSERT_TRUE(site_.StartDriver(reserve_));
        ASSERT_TRUE(WaitUntil([&] { return reserve_.Stderr().find(kReserveLine) != std::string::npos; }, 15s));
    }

    std::string Dump(int panel) {
        if (!sim_.WriteLine(std::to_string(panel) + " dump")) return "";
        std::string json = sim_.ReadLine(10s).value_or("");
        sim_.ReadLine(10s);  // "ok"
        return json;
    }
    // Times the simulator saw a driver open the panel's line.
    size_t Opened(int panel) { return Occurrences(sim_.Stderr(), "panel " + std::to_string(panel) + ": connected"); }

    test::DriverSite site_;  // first member: removed after every child is gone
    SpawnedProcess info_;
    test::PipedProcess sim_;
    SpawnedProcess main_;
    SpawnedProcess reserve_;
};

TEST_F(FailoverTest, stoppedMainIsFencedAndTheReserveDrivesEveryPanel) {
    ASSERT_NO_FATAL_FAILURE(StartPair(61, {}));
    const auto hung = Clock::now();
    main_.Signal(SIGSTOP);
    // Only the reserve hears these; it shows them with the refresh it gives
    // each panel when it takes over.
    site_.Set(51, "FAILOVER");
    site_.Set(kLampBase + 105, "3");

    std::optional<Clock::duration> gone, tcp, serial, driven;
    auto note = [&](std::optional<Clock::duration>& at, bool now) {
        if (!at && now) at = Clock::now() - hung;
    };
    EXPECT_TRUE(WaitUntil([&] {
        note(gone, !main_.Running());
        note(tcp, Opened(1) >= 2);
        note(serial, Opened(2) >= 2);
        note(driven, serial && tcp && ButtonShows(Dump(1), 1, "FAILOVER") && ButtonShows(Dump(2), 5, "\"lamp\":true"));
        return gone && driven;
    }, 15s));
    auto ms = [](const std::optional<Clock::duration>& d) {
        return d ? static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(*d).count()) : -1LL;
    };
    std::printf("[ figures  ] after SIGSTOP: main gone %lld ms, TCP panel opened by the reserve %lld ms, "
                "serial panel %lld ms, both refreshed %lld ms\n",
                ms(gone), ms(tcp), ms(serial), ms(driven));
    EXPECT_EQ(main_.Wait(1s).value_or(-1), 128 + SIGKILL) << "the stopped main was not fenced";
    EXPECT_NE(info_.Stderr().find("(pid " + std::to_string(main_.pid()) + ") fenced: SIGKILL sent"),
              std::string::npos);
    const std::string log = info_.Stderr();
    EXPECT_LT(log.find(") has ended, "), log.find("is main (TXRX): main client")) << "handed over before the end";
    ASSERT_TRUE(gone && tcp && serial && driven);
    EXPECT_LT(*tcp, 4s);
    EXPECT_LT(*serial, 4s);

    // The new main carries slots to both panels and presses back.
    site_.Set(52, "AFTER");
    site_.Set(kLampBase + 106, "1");
    EXPECT_TRUE(WaitUntil([&] { return ButtonShows(Dump(1), 2, "AFTER") && ButtonShows(Dump(2), 6, "\"lamp\":true"); },
                          10s));
    ASSERT_EQ(sim_.WriteLine("2 press 7") ? sim_.ReadLine(10s).value_or("") : "", "ok");
    EXPECT_TRUE(WaitUntil([&] { return site_.Get(kLampBase + 7) == "1"; }, 10s));
    reserve_.Signal(SIGTERM);
    EXPECT_EQ(reserve_.Wait(10s).value_or(-1), 0);
}

// --no-fence: the reserve takes the TCP panel while the stopped main lives on
// (holding its serial line); continued, the old main finds its link closed
// and exits 0, and only then does the reserve get the serial panel.
TEST_F(FailoverTest, withoutFencingTheStoppedMainLivesOnUntilItEndsItself) {
    ASSERT_NO_FATAL_FAILURE(StartPair(62, {"--no-fence"}));
    main_.Signal(SIGSTOP);
    ASSERT_TRUE(WaitUntil([&] { return Opened(1) >= 2; }, 10s)) << "the reserve never took the TCP panel";
    EXPECT_TRUE(main_.Running());
    EXPECT_NE(info_.Stderr().find("(pid " + std::to_string(main_.pid()) + ") not fenced: fencing is off"),
              std::string::npos);
    EXPECT_EQ(info_.Stderr().find("SIGKILL"), std::string::npos);

    main_.Signal(SIGCONT);
    EXPECT_EQ(main_.Wait(10s).value_or(-1), 0);
    ASSERT_TRUE(WaitUntil([&] { return Opened(2) >= 2; }, 10s)) << "the reserve never took the serial panel";
    site_.Set(kLampBase + 106, "1");
    EXPECT_TRUE(WaitUntil([&] { return ButtonShows(Dump(2), 6, "\"lamp\":true"); }, 10s));
    reserve_.Signal(SIGTERM);
    EXPECT_EQ(reserve_.Wait(10s).value_or(-1), 0);
}

}  // namespace
}  // namespace vorn
