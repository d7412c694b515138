// A reload of the settings file against the reference Infodriver (in
// process), TCP panels on loopback and serial panels on pseudo-terminals:
// only what changed is touched, a file with an error changes nothing, and
// requests during the start-up load or a running reload are done once
// afterwards. Timers are ticked by hand, so no poll reaches a panel unasked.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "app/housekeeping.h"
#include "app/settings_reload.h"
#include "core/settings.h"
#include "support/loopback_listener.h"
#include "support/panel_fixture.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

// One panel's end of a line: a loopback listener (TCP) or the master side of
// a pseudo-terminal (serial). Collects every byte the driver sends.
class PanelEnd {
public:
    static PanelEnd Tcp() {
        PanelEnd e;
        e.listener_ = std::make_unique<LoopbackListener>(SOCK_NONBLOCK);
        return e;
    }
    static PanelEnd Pty(const std::string& link) {
        PanelEnd e;
        e.peer_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (e.peer_ >= 0 && grantpt(e.peer_) == 0 && unlockpt(e.peer_) == 0) symlink(ptsname(e.peer_), link.c_str());
        return e;
    }
    PanelEnd(PanelEnd&& o) noexcept { *this = std::move(o); }
    PanelEnd& operator=(PanelEnd&& o) noexcept {
        std::swap(listener_, o.listener_);
        std::swap(peer_, o.peer_);
        accepts = o.accepts;
        received = std::move(o.received);
        closed = o.closed;
        return *this;
    }
    ~PanelEnd() {
        if (peer_ >= 0) close(peer_);
    }

    int port() const { return listener_ ? listener_->port() : 0; }
    // Takes a new connection (a listener) and what has arrived. A TCP peer
    // that closed, or a pty whose other side is not open, sets `closed`.
    void Poll() {
        if (listener_) {
            const int fd = listener_->Accept(SOCK_NONBLOCK);
            if (fd >= 0) {
                if (peer_ >= 0) close(peer_);
                peer_ = fd;
                ++accepts;
                closed = false;
            }
        }
        if (peer_ < 0) return;
        char buf[4096];
        ssize_t n;
        // Bounded by what waits now.
        while ((n = read(peer_, buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
        closed = n == 0 || (n < 0 && errno == EIO);
    }
    bool SendAlive(uint8_t commsId) {
        const uint8_t alive[3] = {130, commsId, 125};
        return peer_ >= 0 && write(peer_, alive, sizeof alive) == 3;
    }
    bool Shows(const std::string& text) const { return received.find(text) != std::string::npos; }

    int accepts = 0;
    std::string received;
    bool closed = false;

private:
    PanelEnd() = default;
    std::unique_ptr<LoopbackListener> listener_;  // a TCP panel's
    int peer_ = -1;
};

std::string TcpSection(int n, const std::string& id, int port) {
    return "[Pellax_Panel_" + std::to_string(n) + "]\nPanel_ID=" + id + "\nPanel_Type=CP-1000E\nPanel_Comms_ID=0" +
           std::to_string(n) + "\nTCPIP_Address=127.0.0.1\nTCPIP_Port=" + std::to_string(port) + "\n";
}
std::string SerialSection(int n, const std::string& id, int com) {
    return "[Pellax_Panel_" + std::to_string(n) + "]\nPanel_ID=" + id + "\nPanel_Type=CP-1000E\nPanel_Comms_ID=0" +
           std::to_string(n) + "\nSerial_ComPort=" + std::to_string(com) + "\n";
}
constexpr char kDriverKeys[] = "[Pellax_Panel]\nDebugMode=1\nLogMode=1\n";

class ReloadTest : public PanelFixture {
protected:
    void SetUp() override {
        PanelFixture::SetUp();
        setenv("QX_ROOT", dir.path().c_str(), 1);
        setenv("QX_SYSTEM", "sys", 1);
        setenv("VORN_COM_DIR", dir.path().c_str(), 1);
        std::filesystem::create_directories(ResolvePaths());
        seam.SetTimerHandler(OnTimerTick);
        ResetSettingsReload();
    }
    void TearDown() override {
        ResetSettingsReload();
        for (const char* v : {"QX_ROOT", "QX_SYSTEM", "VORN_COM_DIR"}) unsetenv(v);
        PanelFixture::TearDown();
    }
    void WriteSettings(const std::string& text) { WriteFile(ConfigDir + "/DEV_001.ini", text); }
    // The driver's start: settings, start-up load, and the first housekeeping
    // tick, where the only driver becomes main and connects.
    void Start() {
        LoadIni();
        seam.StartTimer(kStartupLoadTimer, 300);
        ASSERT_TRUE(seam.Tick(kStartupLoadTimer));
        ASSERT_TRUE(seam.Tick(kHousekeepingTimer));
        ASSERT_EQ(DriverMode, IFMODE_TXRX);
    }
    // Pumps the loop, moves the seam's clock (serial pacing) and reads every
    // panel end until pred holds or 5 s have passed.
    bool RunUntil(const std::function<bool()>& pred, std::vector<PanelEnd*> ends) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            for (PanelEnd* e : ends) e->Poll();
            if (pred()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            seam.Pump(5ms);
            seam.Advance(20ms);
        }
    }
    bool Reload(std::vector<PanelEnd*> ends) {
        RequestSettingsReload();
        return RunUntil([] { return !SettingsReloadRunning(); }, std::move(ends));
    }
};

// Panel 1 stays as it is, panel 2 moves to another port, panel 3 goes and
// panel 4 comes: only 2, 3 and 4 are touched.
TEST_F(ReloadTest, AddsChangesAndRemovesPanelsAndLeavesTheOthersAlone) {
    PanelEnd one = PanelEnd::Tcp(), two = PanelEnd::Tcp(), twoNew = PanelEnd::Tcp();
    PanelEnd three = PanelEnd::Pty(dir.path() + "/COM3"), four = PanelEnd::Pty(dir.path() + "/COM4");
    std::vector<PanelEnd*> ends{&one, &two, &twoNew, &three, &four};
    WriteSettings(kDriverKeys + TcpSection(1, "one", one.port()) + TcpSection(2, "two", two.port()) +
                  SerialSection(3, "three", 3));
    Start();
    ASSERT_TRUE(RunUntil([&] { return one.accepts == 1 && two.accepts == 1; }, ends));
    one.SendAlive(1), two.SendAlive(2), three.SendAlive(3);
    ASSERT_TRUE(RunUntil([&] { return Panels[1].RxCount > 0 && Panels[2].RxCount > 0 && Panels[3].RxCount > 0; },
                         ends));
    ASSERT_TRUE(RunUntil([&] { return Panels[1].Link->WaitingFrames() == 0 && one.received.size() > 0; }, ends));
    const PanelLink* oneLink = Panels[1].Link.get();
    const int oneTx = Panels[1].TxCount;
    info.setslot(299, "%s", "mark");  // any status written for panel 1 would replace it
    info.setslot(3 * 300 + 51, "%s", "HELLO4");
    one.received.clear();

    WriteSettings(kDriverKeys + TcpSection(1, "one", one.port()) + TcpSection(2, "two", twoNew.port()) +
                  SerialSection(4, "four", 4));
    ASSERT_TRUE(Reload(ends));
    EXPECT_TRUE(Logged("Reload - 1 added, 1 changed, 1 removed, 1 unchanged "));

    // Removed: closed, "0", out of the list.
    EXPECT_EQ(Panels[3].InUse, 0);
    EXPECT_EQ(Panels[3].Link, nullptr);
    EXPECT_EQ(SlotNow(600 + 299), "0");
    EXPECT_EQ(seam.panelList, (std::vector<std::string>{" 1.   one", " 2.   two", " 4.   four"}));
    EXPECT_EQ(PanelCount, 3);
    // Changed: the old connection closed, the new address dialled; added:
    // its line open, its slots read.
    ASSERT_TRUE(RunUntil([&] { return two.closed && twoNew.accepts == 1 && Panels[4].Connected == 1; }, ends));
    EXPECT_EQ(Panels[4].Buttons[1].MainText, "HELLO4");
    // Both are refreshed at their first alive message.
    twoNew.SendAlive(2), four.SendAlive(4);
    ASSERT_TRUE(RunUntil([&] { return twoNew.received.size() > 100 && four.Shows("HELLO4"); }, ends));
    EXPECT_EQ(SlotNow(300 + 299), "1");
    EXPECT_EQ(SlotNow(900 + 299), "1");

    // Untouched: the same link and connection, nothing sent, nothing written.
    EXPECT_EQ(Panels[1].Link.get(), oneLink);
    EXPECT_EQ(one.accepts, 1);
    EXPECT_FALSE(one.closed);
    EXPECT_EQ(one.received, "");
    EXPECT_EQ(Panels[1].TxCount, oneTx);
    EXPECT_EQ(SlotNow(299), "mark");
}

// A file the check finds an error in, or that cannot be read, changes
// nothing; requests made during the start-up load and during a reload are
// each done once afterwards; a reserve applies a reload without connecting.
TEST_F(ReloadTest, RefusesBadFilesCoalescesRequestsAndConnectsNothingAsReserve) {
    PanelEnd one = PanelEnd::Tcp(), two = PanelEnd::Tcp();
    std::vector<PanelEnd*> ends{&one, &two};
    const std::string good = kDriverKeys + TcpSection(1, "one", one.port());
    WriteSettings(good);
    RequestSettingsReload();  // before the start-up load: waits for it
    EXPECT_FALSE(SettingsReloadRunning());
    Start();
    ASSERT_TRUE(RunUntil([&] { return !SettingsReloadRunning() && one.accepts == 1; }, ends));
    EXPECT_EQ(seam.CountDebugLines("Reload - 0 added, 0 changed, 0 removed, 1 unchanged "), 1);

    WriteSettings(good + "[Pellax_Panel_2]\nTCPIP_Address=127.0.0.1\nTCPIP_Port=2001x\n");
    ASSERT_TRUE(Reload(ends));
    EXPECT_TRUE(Logged("Reload - 1 error(s) in " + ConfigDir + "/DEV_001.ini - running configuration kept "));
    EXPECT_EQ(Panels[2].InUse, 0);
    std::filesystem::remove(ConfigDir + "/DEV_001.ini");
    std::filesystem::create_directory(ConfigDir + "/DEV_001.ini");
    ASSERT_TRUE(Reload(ends));
    EXPECT_TRUE(Logged("Reload - settings file " + ConfigDir +
                       "/DEV_001.ini cannot be read: Is a directory - running configuration kept "));
    EXPECT_EQ(seam.panelList, (std::vector<std::string>{" 1.   one"}));
    EXPECT_EQ(one.accepts, 1);

    // As reserve: panel 2 is loaded and listed, not connected; a request in
    // the middle of the reload runs it once more.
    std::filesystem::remove(ConfigDir + "/DEV_001.ini");
    WriteSettings(good + TcpSection(2, "two", two.port()));
    DriverMode = IFMODE_RXONLY;
    RequestSettingsReload();
    seam.RunPosted(1);  // the first step has read the file
    RequestSettingsReload();
    RequestSettingsReload();
    ASSERT_TRUE(RunUntil([] { return !SettingsReloadRunning(); }, ends));
    EXPECT_TRUE(Logged("Reload - 1 added, 0 changed, 0 removed, 1 unchanged "));
    EXPECT_EQ(seam.CountDebugLines("Reload - 0 added, 0 changed, 0 removed, 2 unchanged "), 1);
    EXPECT_EQ(Panels[2].InUse, 1);
    EXPECT_EQ(Panels[2].Connected, 0);
    EXPECT_EQ(two.accepts, 0);
}

}  // namespace
}  // namespace vorn::test
