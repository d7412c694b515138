// The executables as a service runs them: --help and --version, the
// systemd notifications to a NOTIFY_SOCKET of the test's own, and the status
// page over a real socket while a simulated panel connects, presses and
// drops, against the reference Infodriver and panelsim as processes.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/traffic_text.h"
#include "support/driver_site.h"
#include "support/http_exchange.h"
#include "support/infodriver_child.h"
#include "support/loopback_listener.h"
#include "support/piped_process.h"
#include "support/spawned_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::BinPath;
using test::ConnectLoopback;
using test::FreeLoopbackPort;
using test::HttpBody;
using test::HttpExchange;
using test::HttpGet;
using test::HttpReadAnswer;
using test::HttpStatus;
using test::InfodriverChild;
using test::PipedProcess;
using test::SpawnedProcess;
using test::WaitUntil;

// The statuses of GETs of paths sent one after another on one connection, as
// a browser does, each request in two pieces.
std::vector<int> KeepAliveStatuses(int port, const std::vector<std::string>& paths) {
    std::vector<int> statuses;
    const int fd = ConnectLoopback(port);
    if (fd < 0) return statuses;
    for (const std::string& path : paths) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        (void)!send(fd, request.data(), 7, MSG_NOSIGNAL);
        (void)!send(fd, request.data() + 7, request.size() - 7, MSG_NOSIGNAL);
        statuses.push_back(HttpStatus(HttpReadAnswer(fd, 5s)));
    }
    close(fd);
    return statuses;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The one directory a support bundle was extracted into, under dir.
std::string SupportDirOf(const std::string& dir) {
    std::string name;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::string(e->d_name).rfind("pellax-support-", 0) == 0) name = e->d_name;
        }
        closedir(d);
    }
    return name;
}

// The systemd side of sd_notify: a datagram socket in the test's directory.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    // The next datagram, or nullopt when none came before the deadline.
    std::optional<std::string> Next(std::chrono::milliseconds deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0) return std::nullopt;
        return std::string(buf, static_cast<size_t>(n));
    }
    // Datagrams until one contains `part` (returned), or nullopt at the deadline.
    std::optional<std::string> WaitFor(const std::string& part, std::chrono::milliseconds deadline,
                                       std::vector<std::string>* seen = nullptr) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            std::optional<std::string> msg = Next(left);
            if (!msg) return std::nullopt;
            if (seen != nullptr) seen->push_back(*msg);
            if (Contains(*msg, part)) return msg;
        }
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// Inodes of the TCP sockets in LISTEN state that process pid holds.
std::set<std::string> ListeningSocketsOf(pid_t pid) {
    std::set<std::string> held;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(fdDir.c_str())) {
        while (dirent* e = readdir(d)) {
            char target[128];
            const ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string t(target, static_cast<size_t>(n));
            if (t.rfind("socket:[", 0) == 0) held.insert(t.substr(8, t.size() - 9));
        }
        closedir(d);
    }
    std::set<std::string> listening;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
            fields >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
            if (state == "0A" && held.count(inode) != 0) listening.insert(inode);
        }
    }
    return listening;
}

class ServiceProcessTest : public ::testing::Test {
protected:
    void SetUp() override { site_.env["XDG_RUNTIME_DIR"] = std::nullopt; }
    void TearDown() override {
        if (HasFailure() && driver_.pid() > 0) std::printf("--- driver stderr\n%s\n", driver_.Stderr().c_str());
    }
    void WriteSettings(int device, const std::string& driverKeys, const std::string& panels = "") {
        site_.device = device;
        site_.WriteSettings("[Pellax_Panel]\nDebugMode=1\nLogMode=0\nDriver_Identity=service test\n" + driverKeys +
                            panels);
    }
    void StartDriver(int device) {
        site_.device = device;
        ASSERT_TRUE(site_.StartDriver(driver_)) << driver_.error();
    }
    void StopDriverCleanly() {
        driver_.Signal(SIGTERM);
        std::optional<int> code = driver_.Wait(10s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0);
    }

    test::DriverSite site_;
    SpawnedProcess driver_;
};

TEST_F(ServiceProcessTest, HelpAndVersionOfEveryProgramAndTheBadDeviceNumberAsBefore) {
    std::string out, err;
    EXPECT_EQ(SpawnedProcess::Run(BinPath("pellax-panel"), {"--help"}, site_.env, site_.path(), &out, &err), 0);
    for (const char* part : {"Usage: pellax-panel DEVICE", "QX_ROOT", "QX_SYSTEM", "VORN_INFODRIVER_DIR", "VORN_COM_DIR",
                             "NOTIFY_SOCKET", "StatusHttpPort"}) {
        EXPECT_TRUE(Contains(out, part)) << part;
    }
    EXPECT_EQ(SpawnedProcess::Run(BinPath("pellax-panel"), {"--version"}, site_.env, site_.path(), &out, &err), 0);
    EXPECT_EQ(out.rfind("pellax-panel 2.", 0), 0u) << out;
    // Anything else is a device number as always: these are none.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help", "x"}, {"-h"}, {"--versions"}}) {
        EXPECT_EQ(SpawnedProcess::Run(BinPath("pellax-panel"), args, site_.env, site_.path(), &out, &err), 255)
            << args[0];
        EXPECT_TRUE(Contains(err, "Error: Valid device number must be supplied as command line parameter")) << err;
        EXPECT_TRUE(out.empty()) << out;
    }
    for (const char* tool : {"infoctl", "panelsim", "infodriver"}) {
        EXPECT_EQ(SpawnedProcess::Run(BinPath(tool), {"--help"}, site_.env, site_.path(), &out, &err), 0) << tool;
        EXPECT_TRUE(Contains(out, "Usage: ") || Contains(out, "usage: ")) << tool << ": " << out;
        EXPECT_EQ(SpawnedProcess::Run(BinPath(tool), {"--version"}, site_.env, site_.path(), &out, &err), 0) << tool;
        EXPECT_EQ(out, std::string(tool) + " " + out.substr(out.find(' ') + 1)) << out;
        EXPECT_TRUE(Contains(out, " 2.")) << tool << ": " << out;
    }
}

TEST_F(ServiceProcessTest, NotifiesReadyWatchdogStatusAndStopping) {
    NotifySocket notify(site_.path() + "/notify");
    ASSERT_TRUE(notify.bound());
    site_.env["NOTIFY_SOCKET"] = site_.path() + "/notify";
    site_.env["WATCHDOG_USEC"] = "20000000";
    WriteSettings(31, "");
    InfodriverChild info(31, site_.path() + "/sock", site_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    StartDriver(31);

    std::vector<std::string> seen;
    std::optional<std::string> ready = notify.WaitFor("READY=1", 15s, &seen);
    ASSERT_TRUE(ready.has_value()) << driver_.Stderr();
    EXPECT_EQ(seen.size(), 1u) << "nothing before READY=1: " << seen.front();
    // Loaded: the start-up load has run, and the driver's status slot says so.
    EXPECT_TRUE(Contains(*ready, "\nSTATUS=")) << *ready;
    EXPECT_EQ(info.Get(4001), "1");

    // One WATCHDOG=1 per housekeeping second.
    const auto first = Clock::now();
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 5s));
    const auto from = Clock::now();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 5s)) << i;
    const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    EXPECT_GT(seconds, 2.5);
    EXPECT_LT(seconds, 6.0);
    EXPECT_LT(std::chrono::duration<double>(from - first).count(), 2.5);

    // A loop that ran late is not reported alive: stopped for 1.7 s (nothing
    // comes meanwhile), the driver's first ticks after it send no WATCHDOG=1,
    // and the pings come back once the loop keeps time again. 1.7 s is more
    // than the second the watchdog rule allows and less than the
    // Infodriver's liveness check needs to cut the driver off (and fence
    // it): a probe a second, each answered within 2 s of being sent.
    driver_.Signal(SIGSTOP);
    EXPECT_FALSE(notify.Next(1700ms).has_value());
    driver_.Signal(SIGCONT);
    std::vector<std::string> late;
    EXPECT_FALSE(notify.WaitFor("WATCHDOG=1", 1500ms, &late).has_value()) << late.size() << " datagrams";
    EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 6s).has_value());
    EXPECT_TRUE(Contains(driver_.Stderr(), "Watchdog - event loop ")) << driver_.Stderr();

    driver_.Signal(SIGTERM);
    std::optional<std::string> stopping = notify.WaitFor("STOPPING=1", 10s);
    ASSERT_TRUE(stopping.has_value());
    std::optional<int> code = driver_.Wait(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(info.Get(4001), "0");
    // A service has no XDG_RUNTIME_DIR; Qt's notice about it stays out of the journal.
    EXPECT_FALSE(Contains(driver_.Stderr(), "XDG_RUNTIME_DIR")) << driver_.Stderr();
}

TEST_F(ServiceProcessTest, StatusPageFollowsAPanelAndShrugsOffBadRequests) {
    InfodriverChild info(32, site_.path() + "/sock", site_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    PipedProcess sim;
    const std::vector<std::string> panels =
        site_.StartSimulator(sim, {"--alive", "300", "tcp:127.0.0.1:0:type=CP-2048E:id=01"});
    ASSERT_EQ(panels.size(), 1u) << sim.error() << sim.Stderr();

    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    WriteSettings(32, "StatusHttpPort=" + std::to_string(port) + "\n",
                  "[Pellax_Panel_1]\nPanel_ID=DESK-\"1\"\nPanel_Location=<Desk>\nPanel_Type=CP-2048E\n"
                  "Panel_Comms_ID=01\nTCPIP_Address=127.0.0.1\nTCPIP_Port=" + panels[0] + "\n");
    StartDriver(32);

    const auto metricsHave = [&](const std::string& part) {
        return WaitUntil([&] { return Contains(HttpBody(HttpGet(port, "/metrics")), part); }, 15s);
    };
    const std::string labels = "{panel=\"1\",id=\"DESK-\\\"1\\\"\"}";
    ASSERT_TRUE(metricsHave("pellax_panel_connected" + labels + " 1")) << HttpGet(port, "/metrics");
    const std::string json = HttpBody(HttpGet(port, "/status.json"));
    for (const char* part : {"\"driver\":{", "\"mode\":\"main\"", "\"infodriver\":{\"connected\":true",
                             "\"panels\":[{\"panel\":1,\"id\":\"DESK-\\\"1\\\"\",\"location\":\"<Desk>\"",
                             "\"address\":\"127.0.0.1:" }) {
        EXPECT_TRUE(Contains(json, part)) << part << "\n" << json;
    }
    const std::string page = HttpGet(port, "/");
    EXPECT_EQ(HttpStatus(page), 200);
    EXPECT_TRUE(Contains(page, "Content-Type: text/html; charset=utf-8"));
    EXPECT_TRUE(Contains(page, "&lt;Desk&gt;"));
    EXPECT_TRUE(Contains(page, "DESK-&quot;1&quot;"));
    const std::string head = HttpExchange(port, "HEAD / HTTP/1.1\r\nHost: localhost\r\n\r\n", 2s);
    EXPECT_EQ(HttpStatus(head), 200);
    EXPECT_TRUE(HttpBody(head).empty());
    EXPECT_TRUE(Contains(head, "Content-Length: ")) << head;
    EXPECT_EQ(KeepAliveStatuses(port, {"/", "/metrics", "/nope", "/status.json"}),
              (std::vector<int>{200, 200, 404, 200}));

    // A press counts; a dropped link shows at once and its reconnect counts.
    ASSERT_EQ(sim.WriteLine("1 press 5") ? sim.ReadLine(10s).value_or("") : "", "ok");
    EXPECT_TRUE(metricsHave("pellax_panel_presses_total" + labels + " 1"));
    EXPECT_TRUE(Contains(HttpBody(HttpGet(port, "/status.json")), "\"last_button\":5"));
    EXPECT_TRUE(Contains(HttpBody(HttpGet(port, "/metrics")), "\npellax_driver_mode 2\n"));
    EXPECT_TRUE(Contains(HttpBody(HttpGet(port, "/metrics")), "\npellax_infodriver_connected 1\n"));
    // The loop measures itself (a probe timer fires ten times a second).
    EXPECT_TRUE(Contains(HttpBody(HttpGet(port, "/metrics")), "\npellax_event_loop_lag_seconds "));
    EXPECT_TRUE(Contains(HttpBody(HttpGet(port, "/status.json")), "\"loop_lag_seconds\":"));
    ASSERT_EQ(sim.WriteLine("1 drop") ? sim.ReadLine(10s).value_or("") : "", "ok");
    EXPECT_TRUE(metricsHave("pellax_panel_connected" + labels + " 0"));
    EXPECT_TRUE(metricsHave("pellax_panel_reconnects_total" + labels + " 1"));
    EXPECT_TRUE(metricsHave("pellax_panel_connected" + labels + " 1"));

    // Bad requests: an error status each, and the driver goes on.
    const std::string big(20000, 'a');
    const struct {
        std::string request;
        int status;
    } bad[] = {
        {"hello there\r\n\r\n", 400},
        {std::string("\x16\x03\x01\x00\xff\x01", 6), 400},
        {"GET / HTTP/1.1\r\nX-Big: " + big + "\r\n\r\n", 431},
        {"GET /" + big + " HTTP/1.1\r\n\r\n", 431},
        {"POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd", 405},
        {"DELETE /metrics HTTP/1.1\r\n\r\n", 405},
        {"GET /nothing/here HTTP/1.1\r\n\r\n", 404},
        {"GET /../etc/passwd HTTP/1.1\r\n\r\n", 404},
        {"PUT /status.json HTTP/1.1\r\nContent-Length: 9999999\r\n\r\n", 413},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(HttpStatus(HttpExchange(port, b.request, 3s)), b.status) << b.request.substr(0, 40);
    }
    EXPECT_TRUE(driver_.Running());
    EXPECT_EQ(HttpStatus(HttpGet(port, "/metrics")), 200);
    StopDriverCleanly();
}

// The entries of a gzip tar, extracted by the system's tar into dir.
std::vector<std::string> Extract(const std::string& archive, const std::string& dir, const std::string& outDir) {
    mkdir(dir.c_str(), 0700);
    std::string out, err;
    if (SpawnedProcess::Run("/bin/tar", {"-xzf", archive, "-C", dir}, {}, outDir, &out, &err) != 0) return {"tar: " + err};
    SpawnedProcess::Run("/bin/tar", {"-tzf", archive}, {}, outDir, &out, &err);
    std::vector<std::string> names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) names.push_back(line.substr(line.find('/') + 1));
    std::sort(names.begin(), names.end());
    return names;
}

std::string LocalDate(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &tm);
    return text;
}

TEST_F(ServiceProcessTest, SupportBundleFromThePageAndFromTheFilesAndItsTrafficReplaysByteForByte) {
    const std::string token = "bundle-test-token-0123456789";
    const std::string logs = site_.path() + "/sys/logs";
    const std::time_t now = std::time(nullptr);
    const std::string today = LocalDate(now) + "_child2_34.log";
    const std::string yesterday = LocalDate(now - 86400) + "_child2_34.log";
    test::WriteFile(logs + "/" + yesterday, "yesterday's line\r\n");
    test::WriteFile(logs + "/" + today, "today's line\r\n");
    test::WriteFile(logs + "/" + LocalDate(now - 3 * 86400) + "_child2_34.log", "too old\r\n");
    InfodriverChild info(34, site_.path() + "/sock", site_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    PipedProcess sim;
    const std::vector<std::string> panels =
        site_.StartSimulator(sim, {"--alive", "200", "tcp:127.0.0.1:0:type=CP-2048E:id=01"});
    ASSERT_EQ(panels.size(), 1u) << sim.error() << sim.Stderr();
    const int port = FreeLoopbackPort();
    WriteSettings(34, "LogMode=1\nStatusHttpPort=" + std::to_string(port) + "\nStatusHttpToken=" + token + "\n",
                  "[Pellax_Panel_1]\nPanel_ID=DESK\nPanel_Type=CP-2048E\nPanel_Comms_ID=01\nTCPIP_Address=127.0.0.1\n"
                  "TCPIP_Port=" + panels[0] + "\n");
    StartDriver(34);
    const std::string auth = "Authorization: Bearer " + token + "\r\n";
    const auto get = [&](const std::string& path) { return HttpGet(port, path, auth); };
    ASSERT_TRUE(WaitUntil([&] { return Contains(get("/metrics"), "pellax_panel_connected{panel=\"1\",id=\"DESK\"} 1"); }, 15s));
    for (const char* command : {"1 press 5", "1 release 5", "1 press 7", "1 raw 83 01 00 07 82 01 7D"}) {
        ASSERT_EQ(sim.WriteLine(command) ? sim.ReadLine(10s).value_or("") : "", "ok") << command;
    }
    ASSERT_TRUE(WaitUntil([&] { return Contains(get("/status.json"), "\"presses\":2"); }, 10s));

    // From the page: every part, the settings without the token.
    const std::string answer = get("/support.tar.gz");
    ASSERT_EQ(HttpStatus(answer), 200) << answer.substr(0, 300);
    EXPECT_TRUE(Contains(answer, "Content-Type: application/gzip\r\n"));
    test::WriteFile(site_.path() + "/page.tar.gz", HttpBody(answer));
    const std::vector<std::string> expected = {"logs/", "logs/" + yesterday, "logs/" + today, "settings/",
                                               "settings/DEV_034.ini", "status.json", "traffic.txt", "version.txt"};
    const auto withoutDirs = [](std::vector<std::string> names) {
        names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with('/'); }),
                    names.end());
        return names;
    };
    EXPECT_EQ(Extract(site_.path() + "/page.tar.gz", site_.path() + "/page", site_.path()), withoutDirs(expected));
    const auto bundled = [&](const std::string& from, const std::string& name) {
        const std::string root = from + "/" + SupportDirOf(from);
        return test::ReadFile(root + "/" + name);
    };
    const std::string settings = bundled(site_.path() + "/page", "settings/DEV_034.ini");
    EXPECT_TRUE(Contains(settings, "\nStatusHttpToken=\n")) << settings;
    EXPECT_FALSE(Contains(settings, token));
    EXPECT_TRUE(Contains(bundled(site_.path() + "/page", "logs/" + yesterday), "yesterday's line"));
    EXPECT_TRUE(Contains(bundled(site_.path() + "/page", "status.json"), "\"presses\":2"));
    EXPECT_TRUE(Contains(bundled(site_.path() + "/page", "version.txt"), "pellax-panel 2."));
    const std::string pageTraffic = bundled(site_.path() + "/page", "traffic.txt");
    EXPECT_TRUE(Contains(pageTraffic, " RX 83 01 01 05 ") && Contains(pageTraffic, "| press 5")) << pageTraffic;
    EXPECT_TRUE(Contains(pageTraffic, " TX 82 01 04 | clear panel\n")) << pageTraffic;
    EXPECT_EQ(HttpStatus(HttpExchange(port, "GET /support.tar.gz HTTP/1.1\r\nHost: localhost\r\n\r\n")), 401);

    // Stopped, the driver leaves its traffic and status beside the logs;
    // the command line makes the same bundle from them.
    StopDriverCleanly();
    EXPECT_TRUE(test::FileExists(logs + "/pellax_traffic_34.txt"));
    std::string out, err;
    ASSERT_EQ(SpawnedProcess::Run(BinPath("pellax-panel"), {"--support-bundle", "34", site_.path() + "/cli.tar.gz"},
                                  site_.env, site_.path(), &out, &err),
              0)
        << err;
    EXPECT_EQ(Extract(site_.path() + "/cli.tar.gz", site_.path() + "/cli", site_.path()), withoutDirs(expected));
    EXPECT_FALSE(Contains(bundled(site_.path() + "/cli", "settings/DEV_034.ini"), token));
    EXPECT_TRUE(Contains(bundled(site_.path() + "/cli", "status.json"), "\"presses\":2"));
    const std::string traffic = bundled(site_.path() + "/cli", "traffic.txt");

    // The simulator replays panel 1's blocks: a client in the driver's
    // place receives them byte for byte.
    std::string recorded;
    std::istringstream lines(traffic);
    for (std::string text; std::getline(lines, text);) {
        TrafficLine record;
        if (ParseTrafficLine(text, &record, nullptr) && !record.sent && record.panel == 1) {
            recorded.append(record.bytes.begin(), record.bytes.end());
        }
    }
    ASSERT_TRUE(Contains(recorded, std::string("\x83\x01\x01\x07\x83\x01\x00\x07\x82\x01\x7D", 11)));
    test::WriteFile(site_.path() + "/replay.txt", traffic);
    PipedProcess replay;
    const std::vector<std::string> replaying = site_.StartSimulator(
        replay, {"--alive", "0", "--replay", site_.path() + "/replay.txt", "tcp:127.0.0.1:0:type=CP-2048E:id=01"});
    ASSERT_EQ(replaying.size(), 1u) << replay.error() << replay.Stderr();
    const int fd = ConnectLoopback(std::stoi(replaying[0]));
    ASSERT_GE(fd, 0);
    std::string replayed;
    ASSERT_TRUE(WaitUntil(
        [&] {
            char buf[4096];
            pollfd p{fd, POLLIN, 0};
            while (poll(&p, 1, 0) > 0) {
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                replayed.append(buf, static_cast<size_t>(n));
            }
            return replayed.size() >= recorded.size();
        },
        30s))
        << replayed.size() << " of " << recorded.size();
    close(fd);
    EXPECT_EQ(replayed, recorded);
}

TEST_F(ServiceProcessTest, APageOffLoopbackWithoutATokenIsRefusedAndTheDriverRunsOn) {
    NotifySocket notify(site_.path() + "/notify");
    ASSERT_TRUE(notify.bound());
    site_.env["NOTIFY_SOCKET"] = site_.path() + "/notify";
    WriteSettings(35, "StatusHttpPort=" + std::to_string(FreeLoopbackPort()) + "\nStatusHttpAddress=0.0.0.0\n");
    InfodriverChild info(35, site_.path() + "/sock", site_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    StartDriver(35);
    ASSERT_TRUE(notify.WaitFor("READY=1", 15s)) << driver_.Stderr();
    EXPECT_TRUE(Contains(driver_.Stderr(), "status page refused: StatusHttpAddress 0.0.0.0 is not a loopback address "
                                           "and StatusHttpToken is empty"))
        << driver_.Stderr();
    EXPECT_TRUE(ListeningSocketsOf(driver_.pid()).empty());
    EXPECT_EQ(info.Get(4001), "1");
    StopDriverCleanly();
}

TEST_F(ServiceProcessTest, NothingListensWithoutTheKey) {
    NotifySocket notify(site_.path() + "/notify");
    ASSERT_TRUE(notify.bound());
    site_.env["NOTIFY_SOCKET"] = site_.path() + "/notify";
    WriteSettings(33, "");
    InfodriverChild info(33, site_.path() + "/sock", site_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    StartDriver(33);
    ASSERT_TRUE(notify.WaitFor("READY=1", 15s)) << driver_.Stderr();
    EXPECT_TRUE(ListeningSocketsOf(driver_.pid()).empty());
    // The key was written back with its default: off.
    EXPECT_TRUE(Contains(test::ReadFile(site_.path() + "/sys/config/system/DEV_033.ini"), "StatusHttpPort=0\n"));
    StopDriverCleanly();
}

}  // namespace
}  // namespace vorn
