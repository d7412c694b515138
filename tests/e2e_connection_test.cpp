// What the driver's connection figures say, against real processes: the
// reference Infodriver, pellax-panel and the simulator (pty panels behind COM
// links, and a TCP panel that is only a socket of the test's). A killed
// unprivileged driver leaves the next one its serial port; slot 299, the
// status page and /metrics agree for a panel that never speaks, a serial line
// that carries another panel's bytes and a panel switched off and on with its
// line kept; a COM link moved to another device or removed is followed, never
// replaced by /dev/ttyS*. Every wait is for a condition with a deadline; the
// tests print their times.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/driver_site.h"
#include "support/http_exchange.h"
#include "support/loopback_listener.h"
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

constexpr uid_t kNobody = 65534;
constexpr const char* kSetpriv = "/usr/bin/setpriv";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

// The JSON object of panel n in status.json, up to its closing brace.
std::string PanelJson(const std::string& json, int n) {
    const size_t at = json.find("{\"panel\":" + std::to_string(n) + ",");
    return at == std::string::npos ? "" : json.substr(at, json.find('}', at) - at);
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"/simcom", "/home"}) {
            ASSERT_EQ(mkdir((site_.path() + sub).c_str(), 0700), 0) << sub;
        }
        site_.env["HOME"] = site_.path() + "/home";
        site_.env["XDG_RUNTIME_DIR"] = std::nullopt;
        ASSERT_FALSE(BinPath("pellax-panel").empty()) << "VORN_BIN_DIR is not set";
    }

    void TearDown() override {
        if (!HasFailure()) return;
        std::printf("--- infodriver stderr\n%s\n--- simulator stderr\n%s\n", info_.Stderr().c_str(),
                    sim_.Stderr().c_str());
        for (size_t i = 0; i < drivers_.size(); ++i) {
            std::printf("--- driver %zu stderr\n%s\n", i + 1, drivers_[i]->Stderr().c_str());
        }
    }

    // Children started through Start run as nobody while dropUser_ is set.
    bool Start(SpawnedProcess& child, const std::string& program, const std::vector<std::string>& args) {
        if (!dropUser_) return child.Start(program, args, site_.env, site_.path());
        std::vector<std::string> all = {"--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody),
                                        "--clear-groups", "--", program};
        all.insert(all.end(), args.begin(), args.end());
        return child.Start(kSetpriv, all, site_.env, site_.path());
    }

    void StartInfodriver() {
        ASSERT_TRUE(Start(info_, BinPath("infodriver"), {std::to_string(kDevice)})) << info_.error();
        ASSERT_TRUE(WaitUntil([&] { return Contains(info_.Stderr(), "infodriver: ready"); }, 10s));
    }

    // The simulator (alive every 250 ms) with `specs`; the slave path of
    // each panel, in order.
    std::vector<std::string> StartSimulator(std::vector<std::string> specs) {
        specs.insert(specs.begin(), {"--alive", "250"});
        const std::vector<std::string> slaves = site_.StartSimulator(sim_, specs);
        EXPECT_EQ(slaves.size(), specs.size() - 2) << sim_.error() << sim_.Stderr();
        return slaves;
    }

    void WriteSettings(const std::string& text) {
        site_.WriteSettings("[Pellax_Panel]\nDebugMode=1\nLogMode=0\nRefreshOnConnection=1\n" + text);
        if (dropUser_) {
            ASSERT_EQ(chown(site_.SettingsPath().c_str(), kNobody, kNobody), 0);
        }
    }

    SpawnedProcess& StartDriver() {
        drivers_.push_back(std::make_unique<SpawnedProcess>());
        EXPECT_TRUE(Start(*drivers_.back(), BinPath("pellax-panel"), {std::to_string(kDevice)}))
            << drivers_.back()->error();
        return *drivers_.back();
    }

    std::string Sim(const std::string& command) {
        if (!sim_.WriteLine(command)) return "";
        std::string last;
        for (std::optional<std::string> line; (line = sim_.ReadLine(10s));) {
            if (*line == "ok" || line->rfind("error", 0) == 0) return last.empty() ? *line : last;
            last = *line;
        }
        return "";
    }
    std::string Dump(int panel) { return Sim(std::to_string(panel) + " dump"); }
    // Times the simulator saw a driver open the panel's line.
    size_t Opened(int panel) { return Occurrences(sim_.Stderr(), "panel " + std::to_string(panel) + ": connected"); }

    static constexpr int kDevice = 71;
    test::DriverSite site_{kDevice};  // first member: removed after every child is gone
    bool dropUser_ = false;
    SpawnedProcess info_;
    test::PipedProcess sim_;
    std::vector<std::unique_ptr<SpawnedProcess>> drivers_;
};

// Row "killed driver, any user": a driver of an ordinary user killed with
// SIGKILL while it holds a pty panel; the next one drives the panel. As
// root the drivers and the Infodriver run as nobody.
TEST_F(ConnectionTest, killedUnprivilegedDriverLeavesTheNextOneItsSerialPort) {
    dropUser_ = geteuid() == 0;
    if (dropUser_) {
        ASSERT_EQ(access(kSetpriv, X_OK), 0) << "util-linux's setpriv drops the user id";
        ASSERT_EQ(chmod(site_.path().c_str(), 0755), 0);
        for (const char* sub : {"/sock", "/com", "/home", "/sys", "/sys/config", "/sys/config/system", "/sys/logs"}) {
            ASSERT_EQ(chown((site_.path() + sub).c_str(), kNobody, kNobody), 0) << sub;
        }
    }
    ASSERT_NO_FATAL_FAILURE(StartInfodriver());
    const std::vector<std::string> slaves =
        StartSimulator({"pty:COM3:dir=" + site_.path() + "/com:type=CP-3201E:id=02"});
    ASSERT_EQ(slaves.size(), 1u);
    if (dropUser_) {
        ASSERT_EQ(chown(slaves[0].c_str(), kNobody, static_cast<gid_t>(-1)), 0);
    }
    WriteSettings("[Pellax_Panel_1]\nPanel_ID=LAMPS\nPanel_Type=CP-3201E\nPanel_Comms_ID=02\nSerial_ComPort=3\n");

    SpawnedProcess& first = StartDriver();
    ASSERT_TRUE(WaitUntil([&] { return site_.Get(299) == "1"; }, 20s)) << "the first driver never drove the panel";
    first.Signal(SIGKILL);
    ASSERT_EQ(first.Wait(5s).value_or(-1), 128 + SIGKILL);

    site_.Set(105, "1");  // lamp 5: only the next driver can show it
    const auto start = Clock::now();
    SpawnedProcess& next = StartDriver();
    ASSERT_TRUE(WaitUntil([&] { return Opened(1) >= 2 && ButtonShows(Dump(1), 5, "\"lamp\":true"); }, 20s))
        << "the next driver never drove the panel: " << next.Stderr();
    std::printf("[ figures  ] %s: the next driver drove the serial panel %lld ms after its start\n",
                dropUser_ ? "as nobody" : "as this user", Ms(Clock::now() - start));
    EXPECT_FALSE(Contains(next.Stderr(), "in use")) << next.Stderr();
    EXPECT_EQ(site_.Get(299), "1");
    next.Signal(SIGTERM);
    EXPECT_EQ(next.Wait(10s).value_or(-1), 0);
}

// Rows "a TCP panel that never sends a byte" and "a serial line with another
// panel's bytes", and a serial panel switched off and on again without a
// hang-up: slot 299, status.json, /metrics and the comms summary agree, a
// foreign line is "0", a silent panel is "0" within PanelSilenceTimeout + 1 s
// and is repainted at its first alive message.
TEST_F(ConnectionTest, everyFigureAgreesForAMuteTcpPanelAForeignLineAndAPanelSwitchedOffAndOn) {
    test::LoopbackListener mute;  // takes the connection and stays mute
    ASSERT_GT(mute.port(), 0);
    ASSERT_NO_FATAL_FAILURE(StartInfodriver());
    StartSimulator({"pty:COM3:dir=" + site_.path() + "/com:type=CP-3201E:id=05",
                    "pty:COM4:dir=" + site_.path() + "/com:type=CP-2048E:id=03"});
    const int http = test::FreeLoopbackPort();  // for the status page
    constexpr int kSilence = 2;
    WriteSettings("PanelSilenceTimeout=" + std::to_string(kSilence) + "\nStatusHttpPort=" + std::to_string(http) +
                  "\n[Pellax_Panel_1]\nPanel_ID=MUTE\nPanel_Type=CP-2048E\nPanel_Comms_ID=01\n"
                  "TCPIP_Address=127.0.0.1\nTCPIP_Port=" + std::to_string(mute.port()) +
                  "\n[Pellax_Panel_2]\nPanel_ID=FOREIGN\nPanel_Type=CP-3201E\nPanel_Comms_ID=02\nSerial_ComPort=3\n"
                  "[Pellax_Panel_3]\nPanel_ID=CYCLED\nPanel_Type=CP-2048E\nPanel_Comms_ID=03\nSerial_ComPort=4\n");
    site_.Set(599, "1");  // as a driver before this one left it
    StartDriver();

    // One GET of the status page with Connection: close; the body.
    const auto page = [&](const char* path) {
        return test::HttpBody(test::HttpGet(http, path, "Connection: close\r\n"));
    };
    // Every view says the same of each panel, and the summary counts them.
    const auto agree = [&](const std::vector<bool>& connected) {
        const std::string json = page("/status.json");
        const std::string metrics = page("/metrics");
        int count = 0;
        for (int n = 1; n <= 3; ++n) {
            const bool up = connected[static_cast<size_t>(n - 1)];
            count += up ? 1 : 0;
            if (site_.Get(300 * (n - 1) + 299) != (up ? "1" : "0") ||
                !Contains(PanelJson(json, n), up ? "\"connected\":true" : "\"connected\":false") ||
                !Contains(metrics, "pellax_panel_connected{panel=\"" + std::to_string(n) + "\"")) {
                return false;
            }
            const size_t at = metrics.find("pellax_panel_connected{panel=\"" + std::to_string(n) + "\"");
            if (metrics.substr(metrics.find("} ", at) + 2, 1) != (up ? "1" : "0")) return false;
        }
        const std::string summary = count == 3   ? "All Panels Comms OK"
                                    : count == 0 ? "NO COMMS to any Panels"
                                                 : " Comms FAIL for " + std::to_string(3 - count) + " panel(s)";
        return Contains(json, "\"comms\":\"" + summary + "\"");
    };
    ASSERT_TRUE(WaitUntil([&] { return agree({true, false, true}); }, 20s))
        << page("/status.json") << "\n" << page("/metrics") << "\nslots " << site_.Get(299)
        << site_.Get(599) << site_.Get(899);
    const std::string json = page("/status.json");
    EXPECT_TRUE(Contains(PanelJson(json, 1), "\"connection\":\"No Response yet\"")) << json;
    EXPECT_TRUE(Contains(PanelJson(json, 2), "no alive message from panel id 02")) << json;
    EXPECT_TRUE(Contains(PanelJson(json, 3), "\"connection\":\"Connected OK\"")) << json;

    // Switched off with the line kept: "0" within the silence time and a
    // second; on again: repainted at its first alive message.
    site_.Set(651, "CYCLE");
    ASSERT_TRUE(WaitUntil([&] { return ButtonShows(Dump(2), 1, "CYCLE"); }, 10s));
    ASSERT_EQ(Sim("2 off"), "ok");
    const auto off = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return site_.Get(899) == "0"; }, 10s));
    const auto down = Clock::now() - off;
    EXPECT_TRUE(WaitUntil([&] { return agree({true, false, false}); }, 5s));
    EXPECT_FALSE(ButtonShows(Dump(2), 1, "CYCLE")) << "off forgets the faces";
    ASSERT_EQ(Sim("2 on"), "ok");
    const auto on = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return ButtonShows(Dump(2), 1, "CYCLE"); }, 10s)) << "not repainted";
    const auto repainted = Clock::now() - on;
    EXPECT_TRUE(WaitUntil([&] { return agree({true, false, true}); }, 5s));
    std::printf("[ figures  ] PanelSilenceTimeout %d s: silent serial panel shown \"0\" after %lld ms, "
                "repainted %lld ms after it was switched on\n",
                kSilence, Ms(down), Ms(repainted));
    EXPECT_LT(down, std::chrono::seconds(kSilence) + 2s);
    EXPECT_EQ(Opened(2), 1u) << "the port stayed open";
}

// Row "COM link removed": the poll follows a COM link moved to another
// device, and a removed link leaves the port closed, never /dev/ttyS*. A
// port that another panel of the driver holds is named as such.
TEST_F(ConnectionTest, comLinkMovedIsFollowedAndRemovedIsNotReplaced) {
    ASSERT_NO_FATAL_FAILURE(StartInfodriver());
    const std::vector<std::string> slaves = StartSimulator({"pty:COM1:dir=" + site_.path() + "/simcom:type=CP-3201E:id=04",
                                                            "pty:COM2:dir=" + site_.path() + "/simcom:type=CP-3201E:id=04"});
    ASSERT_EQ(slaves.size(), 2u);
    const std::string link = site_.path() + "/com/COM6";
    ASSERT_EQ(symlink(slaves[0].c_str(), link.c_str()), 0);
    WriteSettings("[Pellax_Panel_1]\nPanel_ID=LAMPS\nPanel_Type=CP-3201E\nPanel_Comms_ID=04\nSerial_ComPort=6\n"
                  "[Pellax_Panel_2]\nPanel_ID=TWIN\nPanel_Type=CP-3201E\nPanel_Comms_ID=04\nSerial_ComPort=6\n");
    SpawnedProcess& driver = StartDriver();
    ASSERT_TRUE(WaitUntil([&] { return site_.Get(299) == "1"; }, 20s));
    EXPECT_TRUE(WaitUntil([&] { return Contains(driver.Stderr(), "Serial port 6 ERROR - in use by panel 1"); }, 10s));
    EXPECT_FALSE(Contains(driver.Stderr(), " is in use ")) << "another program was blamed";

    // The link now names the second pty: closed and opened there, repainted.
    site_.Set(107, "1");
    const std::string moved = link + ".new";
    ASSERT_EQ(symlink(slaves[1].c_str(), moved.c_str()), 0);
    ASSERT_EQ(rename(moved.c_str(), link.c_str()), 0);
    const auto at = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Opened(2) >= 1 && ButtonShows(Dump(2), 7, "\"lamp\":true"); }, 10s))
        << "the moved link was not followed";
    std::printf("[ figures  ] COM link moved: the new device driven after %lld ms\n", Ms(Clock::now() - at));
    EXPECT_TRUE(Contains(sim_.Stderr(), "panel 1: disconnected"));

    // Removed, and the line hangs up: the port is not there, and nothing else
    // is opened in its place.
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(Sim("2 drop"), "ok");
    EXPECT_TRUE(WaitUntil([&] { return Contains(driver.Stderr(), "PortOpen - COM6 " + link + " does not exist"); }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return site_.Get(299) == "0"; }, 5s));
    EXPECT_FALSE(Contains(driver.Stderr(), "/dev/ttyS")) << driver.Stderr();
    driver.Signal(SIGTERM);
    EXPECT_EQ(driver.Wait(10s).value_or(-1), 0);
}

}  // namespace
}  // namespace vorn
