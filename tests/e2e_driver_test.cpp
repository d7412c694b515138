// End to end with real processes: the reference Infodriver, the panel
// simulator (one TCP panel on loopback, one lamp panel on a pty behind a COM
// link) and one or two pellax-panel drivers (offscreen), each test in a
// directory of its own. Slots are read and written through infoctl, the
// panels' state through the simulator's dump; every wait is for a condition
// with a deadline, and every child is killed when a test fails.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link_client.h"
#include "support/driver_site.h"
#include "support/infodriver_child.h"
#include "support/piped_process.h"
#include "support/spawned_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "transport/info_frame.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::BinPath;
using test::ButtonJson;
using test::ButtonShows;
using test::InfodriverChild;
using test::Occurrences;
using test::PipedProcess;
using test::SpawnedProcess;
using test::WaitUntil;

constexpr int kTcpPanel = 1;     // CP-2048E, 48 text buttons, slots 1..299
constexpr int kLampPanel = 2;    // CP-3201E, 40 lamps on COM3, slots 301..599
constexpr int kLampBase = 300;
constexpr int kDriverStatusSlot = 4001;
constexpr int StatusSlot(int panel) { return 300 * (panel - 1) + 299; }

std::string Face(int n, const std::string& text, int colour) {
    return "{\"n\":" + std::to_string(n) + ",\"text\":\"" + text + "\",\"graphic\":null,\"colour\":" +
           std::to_string(colour) + ",\"lamp\":false}";
}

bool LampOn(const std::string& dump, int n) { return ButtonShows(dump, n, "\"lamp\":true"); }

long Count(const std::string& dump, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const size_t at = dump.find(key);
    return at == std::string::npos ? -1 : std::atol(dump.c_str() + at + key.size());
}

bool IsConnected(const std::string& dump) { return dump.find("\"connected\":true") != std::string::npos; }

// Last lines of a log, for failure messages.
std::string Tail(const std::string& text, size_t lines = 40) {
    size_t at = text.size();
    for (size_t i = 0; i <= lines && at != std::string::npos && at > 0; ++i) at = text.rfind('\n', at - 1);
    return at == std::string::npos ? text : text.substr(at + 1);
}

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        // For the link client that runs inside this process.
        setenv("VORN_INFODRIVER_DIR", (site_.path() + "/sock").c_str(), 1);
        ASSERT_FALSE(BinPath("pellax-panel").empty()) << "VORN_BIN_DIR is not set";
    }

    void TearDown() override {
        if (HasFailure()) {
            for (size_t i = 0; i < drivers_.size(); ++i) {
                std::printf("--- driver %zu stderr (tail)\n%s\n", i, Tail(drivers_[i]->Stderr()).c_str());
            }
            std::printf("--- panelsim stderr (tail)\n%s\n", Tail(sim_.Stderr()).c_str());
        }
        unsetenv("VORN_INFODRIVER_DIR");
    }

    // The Infodriver of the device, the simulator with both panels and the
    // settings file naming them.
    void StartWorld(int device) {
        site_.device = device;
        info_ = std::make_unique<InfodriverChild>(device, site_.path() + "/sock", site_.path());
        ASSERT_TRUE(info_->Start()) << info_->process().Stderr();
        // No alive messages of its own: each test sends them when it wants
        // the driver to see one.
        const std::vector<std::string> panels = site_.StartSimulator(
            sim_, {"--alive", "0", "tcp:127.0.0.1:0:type=CP-2048E:id=01",
                   "pty:COM3:dir=" + site_.path() + "/com:type=CP-3201E:id=02"});
        ASSERT_EQ(panels.size(), 2u) << sim_.error() << sim_.Stderr();
        site_.WriteSettings("[Pellax_Panel]\nDebugMode=1\nLogMode=0\nRefreshOnConnection=1\nDriver_Identity=e2e\n"
                            "[Pellax_Panel_1]\nPanel_ID=DESK-A\nPanel_Location=Studio A\nPanel_Type=CP-2048E\n"
                            "Panel_Comms_ID=01\nTCPIP_Address=127.0.0.1\nTCPIP_Port=" + panels[0] + "\n"
                            "[Pellax_Panel_2]\nPanel_ID=LAMPS-B\nPanel_Location=Studio B\nPanel_Type=CP-3201E\n"
                            "Panel_Comms_ID=02\nSerial_ComPort=3\n");
    }

    SpawnedProcess& StartDriver() {
        drivers_.push_back(std::make_unique<SpawnedProcess>());
        SpawnedProcess& d = *drivers_.back();
        EXPECT_TRUE(site_.StartDriver(d)) << d.error();
        return d;
    }

    // One simulator command; "ok", or the error line (or "<no answer>").
    std::string Sim(const std::string& command) {
        if (!sim_.WriteLine(command)) return "<not written>";
        return sim_.ReadLine(10s).value_or("<no answer>");
    }
    std::string Dump(int panel) {
        if (!sim_.WriteLine(std::to_string(panel) + " dump")) return "";
        std::string json = sim_.ReadLine(10s).value_or("");
        EXPECT_EQ(sim_.ReadLine(10s).value_or("<no answer>"), "ok");
        return json;
    }
    // Dumps the panel until pred holds; the last dump is kept in lastDump_.
    bool WaitForDump(int panel, const std::function<bool(const std::string&)>& pred,
                     std::chrono::milliseconds deadline = 10s) {
        return WaitUntil([&] { lastDump_ = Dump(panel); return pred(lastDump_); }, deadline);
    }

    // Sends alive on the pty panel once the driver has opened its line, and
    // waits for the driver to write "1" into the panel's status slot.
    void LampPanelAlive() {
        ASSERT_TRUE(WaitForDump(kLampPanel, IsConnected)) << "the driver never opened COM3: " << lastDump_;
        ASSERT_EQ(Sim("2 alive"), "ok");
        ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kLampPanel), "1"));
    }

    // SIGTERM to the driver: exit 0, "0" in slot 4001 and every status slot.
    void StopDriverAndCheckSlots(SpawnedProcess& driver) {
        driver.Signal(SIGTERM);
        std::optional<int> code = driver.Wait(10s);
        ASSERT_TRUE(code.has_value()) << "driver did not stop";
        EXPECT_EQ(*code, 0);
        EXPECT_NE(driver.Stderr().find("CloseApp - driver shut down"), std::string::npos);
        EXPECT_EQ(site_.Get(kDriverStatusSlot), "0");
        for (int p = 1; p <= 12; ++p) EXPECT_EQ(site_.Get(StatusSlot(p)), "0") << "panel " << p;
    }

    test::DriverSite site_;  // first member: removed after every child is gone
    std::unique_ptr<InfodriverChild> info_;
    PipedProcess sim_;
    std::vector<std::unique_ptr<SpawnedProcess>> drivers_;
    std::string lastDump_;
};

// One main driver with a TCP text panel and a serial lamp panel: connection
// and alive, every kind of slot command, presses and joystick both ways, a
// burst of presses in order, a dropped connection and its refresh, shutdown.
TEST_F(E2eTest, MainDriverCarriesSlotsToPanelsAndButtonsToSlots) {
    ASSERT_NO_FATAL_FAILURE(StartWorld(41));
    // Data the control system holds before the driver starts: it reaches the
    // panels with their first refresh.
    site_.Set(51, "PRELOAD");
    site_.Set(101, "3");
    site_.Set(kLampBase + 102, "1");
    SpawnedProcess& driver = StartDriver();
    ASSERT_TRUE(site_.WaitForSlot(kDriverStatusSlot, "1")) << driver.Stderr();

    // Main at the first housekeeping tick: the TCP panel connects, its
    // identity slots are written, and nothing is resent before its first alive.
    ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kTcpPanel), "1"));
    EXPECT_EQ(site_.Get(296), "DESK-A");
    EXPECT_EQ(site_.Get(297), "Studio A");
    EXPECT_EQ(site_.Get(kLampBase + 296), "LAMPS-B");
    EXPECT_EQ(Count(Dump(kTcpPanel), "clears"), 0);
    EXPECT_NE(site_.Get(StatusSlot(kLampPanel)), "1") << "serial status before any data";
    ASSERT_NO_FATAL_FAILURE(LampPanelAlive());
    // The driver may see its connect complete before the simulator accepts it.
    ASSERT_TRUE(WaitForDump(kTcpPanel, IsConnected));
    ASSERT_EQ(Sim("1 alive"), "ok");
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) {
        return Count(d, "clears") == 1 && ButtonJson(d, 48) == Face(48, "          ", 0);
    })) << lastDump_;
    EXPECT_EQ(ButtonJson(lastDump_, 1), Face(1, "PRELOAD   ", 3));

    // Labels are cut or padded to ten characters; the slot keeps the text.
    site_.Set(52, "LABEL-TWO-LONGER");
    site_.Set(102, "4");
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) {
        return ButtonJson(d, 2) == Face(2, "LABEL-TWO-", 4);
    })) << lastDump_;
    EXPECT_EQ(site_.Get(52), "LABEL-TWO-LONGER");
    // A colour above 9 is ignored; the next change shows it was not applied.
    site_.Set(102, "12");
    site_.Set(103, "5");
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) { return ButtonJson(d, 3) == Face(3, "          ", 5); }))
        << lastDump_;
    EXPECT_EQ(ButtonJson(lastDump_, 2), Face(2, "LABEL-TWO-", 4));

    // Alternative label and colour are stored only; flashing shows them at
    // once, then the faces alternate until the flash is stopped.
    site_.Set(151, "ALT-ONE");
    site_.Set(201, "6");
    EXPECT_EQ(ButtonJson(Dump(kTcpPanel), 1), Face(1, "PRELOAD   ", 3));
    site_.Set(251, "1");
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) { return ButtonJson(d, 1) == Face(1, "ALT-ONE   ", 6); }))
        << lastDump_;
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) { return ButtonJson(d, 1) == Face(1, "PRELOAD   ", 3); },
                            3s))
        << "no flashing: " << lastDump_;
    site_.Set(251, "0");
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) { return ButtonJson(d, 1) == Face(1, "PRELOAD   ", 3); }));
    EXPECT_EQ(site_.Get(251), "0");

    // Select: the colour-4 button goes back to 1, the chosen one to 2, and
    // both colour slots are written by the driver.
    site_.Set(258, "3");
    ASSERT_TRUE(site_.WaitForSlot(103, "2"));
    EXPECT_TRUE(site_.WaitForSlot(102, "1"));
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) {
        return ButtonJson(d, 2) == Face(2, "LABEL-TWO-", 1) && ButtonJson(d, 3) == Face(3, "          ", 2);
    })) << lastDump_;
    // The flash is stopped for good: button 1 still shows its main face.
    EXPECT_EQ(ButtonJson(lastDump_, 1), Face(1, "PRELOAD   ", 3));
    EXPECT_EQ(site_.Get(258), "3");

    // Refresh: a clear, then every main face again.
    const long texts = Count(lastDump_, "texts10");
    site_.Set(259, "1");
    ASSERT_TRUE(WaitForDump(kTcpPanel, [texts](const std::string& d) {
        return Count(d, "clears") == 2 && Count(d, "texts10") >= texts + 48;
    })) << lastDump_;
    ASSERT_TRUE(WaitForDump(kTcpPanel, [](const std::string& d) { return ButtonJson(d, 48) == Face(48, "          ", 0); }));
    EXPECT_EQ(ButtonJson(lastDump_, 1), Face(1, "PRELOAD   ", 3));
    EXPECT_EQ(ButtonJson(lastDump_, 2), Face(2, "LABEL-TWO-", 1));

    // Lamp panel: its refresh lights the lamp loaded at start-up; a lamp
    // value switches one lamp, 0 switches it off, above 9 is ignored.
    site_.Set(kLampBase + 259, "1");
    ASSERT_TRUE(WaitForDump(kLampPanel, [](const std::string& d) { return Count(d, "lamps") >= 40 && LampOn(d, 2); }))
        << lastDump_;
    EXPECT_FALSE(LampOn(lastDump_, 1));
    site_.Set(kLampBase + 105, "7");
    ASSERT_TRUE(WaitForDump(kLampPanel, [](const std::string& d) { return LampOn(d, 5); })) << lastDump_;
    EXPECT_EQ(site_.Get(kLampBase + 105), "7");
    site_.Set(kLampBase + 105, "10");
    site_.Set(kLampBase + 106, "1");
    ASSERT_TRUE(WaitForDump(kLampPanel, [](const std::string& d) { return LampOn(d, 6); })) << lastDump_;
    EXPECT_TRUE(LampOn(lastDump_, 5)) << "value 10 must change nothing";
    site_.Set(kLampBase + 105, "0");
    ASSERT_TRUE(WaitForDump(kLampPanel, [](const std::string& d) { return !LampOn(d, 5); })) << lastDump_;

    // Presses, releases and joystick actions from both panels.
    struct Event { std::string command; int slot; const char* text; };
    const std::vector<Event> events = {
        {"1 press 7", 7, "1"},          {"1 release 7", 7, "0"},
        {"1 joy 3", 273, "1"},          {"1 joyrelease 3", 273, "0"},
        {"2 press 5", kLampBase + 5, "1"}, {"2 release 5", kLampBase + 5, "0"},
        {"2 joy 2", kLampBase + 272, "1"}, {"2 joyrelease 2", kLampBase + 272, "0"},
    };
    for (const Event& e : events) {
        ASSERT_EQ(Sim(e.command), "ok") << e.command;
        EXPECT_TRUE(site_.WaitForSlot(e.slot, e.text)) << e.command;
    }

    // A burst of 200 presses and releases on the TCP panel and 100 on the
    // serial one: every write arrives, each panel's in the order sent.
    PipedProcess watch;
    ASSERT_TRUE(watch.Start(BinPath("infoctl"), {std::to_string(site_.device), "watch", "1",
                                                   std::to_string(kLampBase + 40)},
                            site_.env, site_.path()))
        << watch.error();
    // Button-state slots are ignored by the driver: a safe marker that the
    // watch has attached.
    ASSERT_TRUE(WaitUntil([&] {
        site_.Set(48, "sync");
        return watch.ReadLine(200ms) == std::string("48 sync");
    }, 10s));
    std::vector<std::string> sentTcp;
    std::vector<std::string> sentSerial;
    for (int i = 0; i < 100; ++i) {
        const int b = i % 48 + 1;
        ASSERT_TRUE(sim_.WriteLine("1 press " + std::to_string(b)));
        ASSERT_TRUE(sim_.WriteLine("1 release " + std::to_string(b)));
        sentTcp.push_back(std::to_string(b) + " 1");
        sentTcp.push_back(std::to_string(b) + " 0");
        if (i % 2 == 0) {
            const int s = i % 40 + 1;
            ASSERT_TRUE(sim_.WriteLine("2 press " + std::to_string(s)));
            ASSERT_TRUE(sim_.WriteLine("2 release " + std::to_string(s)));
            sentSerial.push_back(std::to_string(kLampBase + s) + " 1");
            sentSerial.push_back(std::to_string(kLampBase + s) + " 0");
        }
    }
    for (size_t i = 0; i < sentTcp.size() + sentSerial.size(); ++i) {
        ASSERT_EQ(sim_.ReadLine(10s).value_or("<no answer>"), "ok") << "command " << i;
    }
    std::vector<std::string> gotTcp;
    std::vector<std::string> gotSerial;
    while (gotTcp.size() + gotSerial.size() < sentTcp.size() + sentSerial.size()) {
        std::optional<std::string> line = watch.ReadLine(15s);
        ASSERT_TRUE(line) << "writes seen: " << gotTcp.size() << " + " << gotSerial.size();
        if (*line == "48 sync") continue;  // a late echo of a repeated marker
        (std::atoi(line->c_str()) > kLampBase ? gotSerial : gotTcp).push_back(*line);
    }
    EXPECT_EQ(gotTcp, sentTcp);
    EXPECT_EQ(gotSerial, sentSerial);
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(5s).value_or(-1), 0);

    // A dropped connection: "0" at once, a later poll reconnects, and the
    // first alive after that makes it "1" (it sent alive messages before)
    // and refills the whole panel.
    const long clears = Count(Dump(kTcpPanel), "clears");
    ASSERT_EQ(Sim("1 drop"), "ok");
    ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kTcpPanel), "0", 5s));
    ASSERT_TRUE(WaitForDump(kTcpPanel, IsConnected)) << "not reconnected by a poll";
    EXPECT_EQ(Count(lastDump_, "clears"), clears) << "refreshed before the first alive";
    EXPECT_EQ(site_.Get(StatusSlot(kTcpPanel)), "0") << "counted before its first alive message";
    ASSERT_EQ(Sim("1 alive"), "ok");
    EXPECT_TRUE(site_.WaitForSlot(StatusSlot(kTcpPanel), "1", 5s));
    ASSERT_TRUE(WaitForDump(kTcpPanel, [clears](const std::string& d) {
        return Count(d, "clears") == clears + 1 && ButtonJson(d, 48) == Face(48, "          ", 0);
    })) << lastDump_;
    EXPECT_EQ(ButtonJson(lastDump_, 1), Face(1, "PRELOAD   ", 3));
    EXPECT_EQ(ButtonJson(lastDump_, 3), Face(3, "          ", 2));
    EXPECT_NE(driver.Stderr().find("Reconnected - refreshing panel 1"), std::string::npos);

    ASSERT_NO_FATAL_FAILURE(StopDriverAndCheckSlots(driver));
}

// A main/reserve pair on one device. A third driver client on the link (this
// test, attached first and so main) hands the main role over with
// XOV_SETMODE; then stopping the main makes the reserve main. Only the main
// ever talks to the panels.
TEST_F(E2eTest, OnlyTheMainConnectsAndTheReserveTakesOver) {
    ASSERT_NO_FATAL_FAILURE(StartWorld(42));
    LinkClient link;
    std::string error;
    ASSERT_TRUE(link.Attach(42, 2000, &error)) << error;
    InfoFrame attached;
    attached.message = XOV_DEVATTACHED;
    ASSERT_TRUE(link.Send(attached, 2000));
    const auto modes = [&] { return site_.Infoctl({"modes"}); };
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(modes(), "TXRX") == 1; }, 5s)) << modes();

    // While this client is main, the drivers' requests to become main are
    // refused (the link client answers every request with 0).
    auto pumpUntil = [&](const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            if (cond()) return true;
            if (Clock::now() >= end) return false;
            InfoFrame frame;
            link.Next(&frame, -1, 50);
        }
    };
    const std::string reserveLine = "PELLAX_Panel driver running in  RXONLY  mode";
    SpawnedProcess& first = StartDriver();
    ASSERT_TRUE(pumpUntil([&] { return first.Stderr().find(reserveLine) != std::string::npos; }, 10s))
        << first.Stderr();
    SpawnedProcess& second = StartDriver();
    ASSERT_TRUE(pumpUntil([&] { return second.Stderr().find(reserveLine) != std::string::npos; }, 10s))
        << second.Stderr();
    EXPECT_NE(site_.Get(StatusSlot(kTcpPanel)), "1");
    EXPECT_FALSE(IsConnected(Dump(kLampPanel)));

    // The client gives the main role up: it is offered to the drivers in
    // attach order, the first one takes it and connects both panels.
    InfoFrame giveUp;
    giveUp.message = XOV_SETMODE;
    giveUp.wParam = 1;
    ASSERT_TRUE(link.Send(giveUp, 2000));
    ASSERT_TRUE(pumpUntil([&] { return site_.Get(StatusSlot(kTcpPanel)) == "1"; }, 15s)) << first.Stderr();
    ASSERT_NO_FATAL_FAILURE(LampPanelAlive());
    EXPECT_EQ(Occurrences(modes(), "TXRX"), 1u) << modes();
    EXPECT_NE(first.Stderr().find("Connection opened OK to Panel 1=DESK-A"), std::string::npos);
    EXPECT_NE(first.Stderr().find("Successfully opened serial port 3"), std::string::npos);
    EXPECT_EQ(second.Stderr().find("Connection opened OK"), std::string::npos) << "the reserve connected";
    EXPECT_EQ(second.Stderr().find("opened serial port"), std::string::npos) << "the reserve opened COM3";
    const auto simConnections = [&] { return Occurrences(sim_.Stderr(), "panel 1: connected"); };
    EXPECT_TRUE(WaitUntil([&] { return simConnections() >= 1; }, 5s));
    EXPECT_EQ(simConnections(), 1u) << sim_.Stderr();

    // The main stops: the reserve becomes main and connects within 15 s.
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(10s).value_or(-1), 0) << first.Stderr();
    const auto stopped = Clock::now();
    ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kTcpPanel), "1", 15s)) << second.Stderr();
    EXPECT_LT(Clock::now() - stopped, 15s);
    ASSERT_NO_FATAL_FAILURE(LampPanelAlive());
    EXPECT_EQ(site_.Get(kDriverStatusSlot), "1");
    EXPECT_NE(second.Stderr().find("Successfully opened serial port 3"), std::string::npos);
    ASSERT_TRUE(WaitUntil([&] { return simConnections() >= 2; }, 5s)) << sim_.Stderr();
    EXPECT_EQ(simConnections(), 2u) << sim_.Stderr();
    // The new main carries presses.
    ASSERT_EQ(Sim("1 press 9"), "ok");
    EXPECT_TRUE(site_.WaitForSlot(9, "1"));

    ASSERT_NO_FATAL_FAILURE(StopDriverAndCheckSlots(second));
}

// Lamps changed while only the reserve listens (the main hangs), then the
// main is killed: the reserve takes over and its refresh shows the lamps as
// the slots hold them, not as they were when it started.
TEST_F(E2eTest, NewMainShowsTheLampsSetWhileItWasReserve) {
    ASSERT_NO_FATAL_FAILURE(StartWorld(43));
    SpawnedProcess& main = StartDriver();
    ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kTcpPanel), "1", 15s)) << main.Stderr();
    SpawnedProcess& reserve = StartDriver();
    const std::string reserveLine = "PELLAX_Panel driver running in  RXONLY  mode";
    ASSERT_TRUE(WaitUntil([&] { return reserve.Stderr().find(reserveLine) != std::string::npos; }, 15s))
        << reserve.Stderr();
    ASSERT_NO_FATAL_FAILURE(LampPanelAlive());
    site_.Set(kLampBase + 105, "3");
    ASSERT_TRUE(WaitForDump(kLampPanel, [](const std::string& d) { return LampOn(d, 5); })) << lastDump_;

    main.Signal(SIGSTOP);  // from now on only the reserve hears the changes
    site_.Set(kLampBase + 105, "0");
    site_.Set(kLampBase + 107, "2");
    EXPECT_TRUE(LampOn(Dump(kLampPanel), 5)) << "nobody drives the panel now";
    main.Signal(SIGKILL);
    ASSERT_TRUE(main.Wait(10s).has_value());

    // The reserve becomes main, opens COM3 and refreshes at the first alive
    // (the simulator may still show the killed main's line for a moment).
    ASSERT_TRUE(WaitUntil([&] { return reserve.Stderr().find("Successfully opened serial port 3") != std::string::npos; },
                          15s))
        << reserve.Stderr();
    ASSERT_TRUE(WaitUntil([&] { return IsConnected(Dump(kLampPanel)) && Sim("2 alive") == "ok"; }, 10s))
        << reserve.Stderr();
    ASSERT_TRUE(WaitForDump(kLampPanel, [](const std::string& d) { return LampOn(d, 7) && !LampOn(d, 5); }))
        << lastDump_ << reserve.Stderr();
    ASSERT_NO_FATAL_FAILURE(StopDriverAndCheckSlots(reserve));
}

// SIGHUP with the lamp panel gone from the file: the process reloads, lets
// COM3 go with "0" in its slot and keeps the TCP panel's connection; a
// second SIGHUP with a broken file changes nothing.
TEST_F(E2eTest, SighupReloadsTheSettingsFile) {
    ASSERT_NO_FATAL_FAILURE(StartWorld(44));
    SpawnedProcess& driver = StartDriver();
    ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kTcpPanel), "1", 15s)) << driver.Stderr();
    ASSERT_NO_FATAL_FAILURE(LampPanelAlive());
    const std::string file = site_.SettingsPath();
    const std::string settings = test::ReadFile(file);
    test::WriteFile(file, settings.substr(0, settings.find("[Pellax_Panel_2]")));
    driver.Signal(SIGHUP);
    ASSERT_TRUE(site_.WaitForSlot(StatusSlot(kLampPanel), "0")) << driver.Stderr();
    ASSERT_TRUE(WaitUntil([&] { return driver.Stderr().find("Reload - 0 added, 0 changed, 1 removed, 1 unchanged ") !=
                                       std::string::npos; }, 10s))
        << driver.Stderr();
    test::WriteFile(file, "[Pellax_Panel_2]\nSerial_ComPort=3\n[Pellax_Panel_3]\nSerial_ComPort=3\n");
    driver.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return driver.Stderr().find("- running configuration kept") != std::string::npos; },
                          10s))
        << driver.Stderr();
    EXPECT_EQ(site_.Get(StatusSlot(kTcpPanel)), "1");
    EXPECT_EQ(Occurrences(sim_.Stderr(), "panel 1: connected"), 1u) << sim_.Stderr();
    ASSERT_NO_FATAL_FAILURE(StopDriverAndCheckSlots(driver));
}

}  // namespace
}  // namespace vorn
