// The whole driver in this process on the offscreen platform, against the
// reference Infodriver as a child process, a TCP panel on loopback and a
// serial panel on a pseudo-terminal: start-up, the start-up load, the first
// housekeeping tick, the status view's texts and colours, serial data
// reaching the GUI thread, the force commands, the list lock during a panel
// test, Reset Panel, a picture of the window for review, and File > Exit.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <cstdlib>

#include "app/driver_app.h"
#include "core/driver_state.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_seam.h"
#include "app/gui/status_view.h"
#include "panels/panel_table.h"
#include "support/infodriver_child.h"
#include "support/loopback_listener.h"
#include "support/qt_app.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace c = status_colours;


// A loopback TCP listener standing in for a panel: accepts one connection
// and collects what the driver sends. Non-blocking; polled from the GUI
// thread's wait loops.
class PanelListener {
public:
    ~PanelListener() {
        if (peer_ >= 0) close(peer_);
    }
    int port() const { return listener_.port(); }
    // Accepts a waiting connection and reads what has arrived; returns the
    // byte count received so far.
    size_t Poll() {
        if (peer_ < 0) peer_ = listener_.Accept(SOCK_NONBLOCK);
        if (peer_ >= 0) {
            char buf[4096];
            ssize_t n = -1;
            // Bounded by what is queued; the next Poll() takes the rest.
            for (int i = 0; i < 64 && (n = read(peer_, buf, sizeof buf)) > 0; ++i) received_ += static_cast<size_t>(n);
            if (n == 0) {  // the driver closed: the next connection is accepted anew
                close(peer_);
                peer_ = -1;
            }
        }
        return received_;
    }
    // An alive message of the panel with this comms id.
    bool SendAlive(uint8_t commsId) {
        const uint8_t alive[3] = {130, commsId, 125};  // a TCP panel's alive code
        return peer_ >= 0 && write(peer_, alive, sizeof alive) == 3;
    }
    bool Connected() {
        Poll();
        return peer_ >= 0;
    }

private:
    test::LoopbackListener listener_{SOCK_NONBLOCK};
    int peer_ = -1;
    size_t received_ = 0;
};

// A serial panel: the master side of a pseudo-terminal whose slave the
// driver opens as COM3 (through a link in VORN_COM_DIR).
class PtyPanel {
public:
    PtyPanel() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
    }
    ~PtyPanel() {
        if (master_ >= 0) close(master_);
    }
    const std::string& slave() const { return slave_; }
    bool SendAlive(uint8_t commsId) {
        const uint8_t alive[3] = {130, commsId, 0};
        return master_ >= 0 && write(master_, alive, sizeof alive) == 3;
    }

private:
    int master_ = -1;
    std::string slave_;
};

class StartupTest : public ::testing::Test {
protected:
    static constexpr int kDevice = 31;

    void SetUp() override {
        ResetProcessState();
        for (const char* sub : {"/sock", "/sys", "/sys/config", "/sys/config/system"}) {
            mkdir((dir_.path() + sub).c_str(), 0700);
        }
        setenv("QX_ROOT", dir_.path().c_str(), 1);
        setenv("QX_SYSTEM", "sys", 1);
        setenv("VORN_INFODRIVER_DIR", (dir_.path() + "/sock").c_str(), 1);
        mkdir((dir_.path() + "/com").c_str(), 0700);
        ASSERT_FALSE(panelE_.slave().empty());
        ASSERT_EQ(symlink(panelE_.slave().c_str(), (dir_.path() + "/com/COM3").c_str()), 0);
        setenv("VORN_COM_DIR", (dir_.path() + "/com").c_str(), 1);
        // Panels 2 (TCP) and 5 (serial, COM3) configured, panel 1 not: line 1
        // is panel 2.
        test::WriteFile(dir_.path() + "/sys/config/system/DEV_031.ini",
                        "[Pellax_Panel]\nDebugMode=1\nDriver_Identity=Test Rig\n"
                        "[Pellax_Panel_2]\nPanel_ID=DESK-B\nPanel_Location=Control room\nPanel_Type=CP-2032E\n"
                        "Panel_Comms_ID=0A\nTCPIP_Address=127.0.0.1\nTCPIP_Port=" +
                            std::to_string(panelB_.port()) +
                            "\n"
                            "[Pellax_Panel_5]\nPanel_ID=DESK-E\nPanel_Location=Studio 5\nPanel_Type=CP-1000E\n"
                            "Panel_Comms_ID=05\nSerial_ComPort=3\n");
        DeviceNumber = kDevice;
    }

    QString Text(int id) { return window_->statusView()->FieldText(id); }
    QColor Bg(int id) { return window_->statusView()->Control(id)->palette().color(QPalette::Window); }
    bool WaitText(int id, const QString& text, int ms = 10000) {
        return QTest::qWaitFor([&] { return Text(id) == text; }, ms);
    }

    test::TempDir dir_;
    PanelListener panelB_;
    PtyPanel panelE_;
    std::unique_ptr<MainWindow> window_;
};

TEST_F(StartupTest, StartsLoadsRunsAndShutsDown) {
    test::InfodriverChild info(kDevice, dir_.path() + "/sock", dir_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    for (int p = 1; p <= 12; ++p) ASSERT_TRUE(info.Set(300 * (p - 1) + 299, "1"));

    window_ = std::make_unique<MainWindow>();
    ASSERT_EQ(window_->Start(), 0);
    window_->show();
    // Attached: initialising on yellow, the start-up load not yet run.
    EXPECT_EQ(Text(kFieldDriverStatus), "Initialising ");
    EXPECT_EQ(Bg(kFieldDriverStatus), c::Yellow());
    EXPECT_EQ(Text(kFieldInfoStatus), "Connected OK");
    EXPECT_EQ(Bg(kFieldInfoStatus), c::Yellow());  // DriverMode -1 until the first check
    EXPECT_TRUE(window_->seam().TimerActive(kStartupLoadTimer));
    EXPECT_EQ(window_->seam().TimerInterval(kStartupLoadTimer), 300);
    EXPECT_TRUE(info.WaitForSlot(4001, "1"));

    // Start-up load.
    ASSERT_TRUE(WaitText(kFieldDriverStatus, "Running OK ...."));
    EXPECT_EQ(Bg(kFieldDriverStatus), c::DarkGreen());
    EXPECT_FALSE(window_->seam().TimerActive(kStartupLoadTimer));
    EXPECT_TRUE(window_->seam().TimerActive(kHousekeepingTimer));
    EXPECT_EQ(window_->seam().TimerInterval(kHousekeepingTimer), 1000);
    EXPECT_EQ(Text(kFieldVersion), "2. 1. 0. 30");
    EXPECT_EQ(Text(kFieldIdentity), "Test Rig");
    EXPECT_EQ(Text(kFieldPanelCount), "2");
    QListWidget* list = window_->statusView()->PanelList();
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), " 2.   DESK-B");
    EXPECT_EQ(list->item(1)->text(), " 5.   DESK-E");
    EXPECT_EQ(ShowAllMessages, 0);
    // The first configured panel is chosen.
    EXPECT_EQ(ChosenPanel, 2);
    EXPECT_EQ(window_->seam().PanelListSelection(), 0);
    EXPECT_EQ(Text(kFieldLocation), "Control room");
    EXPECT_EQ(Text(kFieldPanelId), "0A");
    EXPECT_EQ(Text(kCaptionAddress), "IP Settings");
    EXPECT_EQ(Text(kFieldAddress), "127.0.0.1");

    // First housekeeping tick: the mode check makes the only driver main,
    // which connects the panels.
    ASSERT_TRUE(QTest::qWaitFor([] { return DriverMode == 2; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Bg(kFieldInfoStatus) == c::DarkGreen(); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panelB_.Connected() && Panels[5].Connected == 1; }, 10000));
    // Nothing answers like a panel yet: the TCP panel counts as connected
    // from its connect, the serial one not before it is heard from; one
    // fails, on yellow.
    EXPECT_TRUE(WaitText(kFieldCommsSummary, " Comms FAIL for 1 panel(s)"));
    EXPECT_EQ(Bg(kFieldCommsSummary), c::Yellow());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Text(kFieldConnection) == "No Response yet"; }, 5000));
    const QRegularExpression eightDigits("^[0-9]{8}$");
    EXPECT_TRUE(eightDigits.match(Text(kFieldInfoRx)).hasMatch()) << Text(kFieldInfoRx).toStdString();
    EXPECT_TRUE(eightDigits.match(Text(kFieldInfoTx)).hasMatch()) << Text(kFieldInfoTx).toStdString();
    EXPECT_GT(Text(kFieldInfoTx).toInt(), 0);

    // Panel 2 answers; then the serial panel, and both count.
    ASSERT_TRUE(panelB_.SendAlive(0x0A));
    EXPECT_TRUE(WaitText(kFieldConnection, "Connected OK"));
    EXPECT_EQ(Text(kFieldCommsSummary), " Comms FAIL for 1 panel(s)");
    ASSERT_TRUE(panelE_.SendAlive(0x05));  // read by the serial reader, handled on the GUI thread
    EXPECT_TRUE(WaitText(kFieldCommsSummary, "All Panels Comms OK"));
    EXPECT_EQ(Bg(kFieldCommsSummary), c::DarkGreen());

    // A picture of the running window for review, both panels answering
    // (after the next per-second refresh of the chosen panel's counts).
    EXPECT_TRUE(QTest::qWaitFor([&] { return Text(kFieldPanelRx) != "0"; }, 3000));
    const char* bin = std::getenv("VORN_BIN_DIR");
    const QString shots = QString::fromLocal8Bit(bin != nullptr ? bin : ".") + "/../screenshots";
    QDir().mkpath(shots);
    EXPECT_TRUE(window_->grab().save(shots + "/main_window.png"));

    // Reset Panel resends the chosen panel.
    EXPECT_TRUE(QTest::qWaitFor([&] { return panelB_.Poll() > 0; }, 5000));  // refresh on connection, if any
    const size_t before = panelB_.Poll();
    QTest::mouseClick(qobject_cast<QPushButton*>(window_->statusView()->Control(kButtonReset)), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return panelB_.Poll() > before; }, 5000));

    // Force to RX-Only: yellow until the mode check sees the change, then
    // reserve (red) with the panels disconnected on purpose (yellow).
    window_->MenuAction(kCmdForceRxOnly)->trigger();
    EXPECT_EQ(Text(kFieldInfoStatus), "forcing to rxonly");
    EXPECT_EQ(Bg(kFieldInfoStatus), c::Yellow());
    ModeCheckCountdown = 1;  // check at the next tick instead of within ten
    ASSERT_TRUE(QTest::qWaitFor([] { return DriverMode == 1; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Bg(kFieldInfoStatus) == c::Red(); }, 3000));
    EXPECT_TRUE(WaitText(kFieldCommsSummary, "RXOnly - Panels Disconnected"));
    EXPECT_EQ(Bg(kFieldCommsSummary), c::Yellow());
    window_->MenuAction(kCmdForceTxRx)->trigger();
    EXPECT_EQ(Text(kFieldInfoStatus), "Forcing to TX/RX");
    EXPECT_EQ(Bg(kFieldInfoStatus), c::Yellow());
    ModeCheckCountdown = 1;
    ASSERT_TRUE(QTest::qWaitFor([] { return DriverMode == 2; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Bg(kFieldInfoStatus) == c::DarkGreen(); }, 3000));

    // A panel test locks the list selection.
    QTest::mouseClick(qobject_cast<QPushButton*>(window_->statusView()->Control(kButtonTest)), Qt::LeftButton);
    ASSERT_EQ(TestPanel, 2);
    EXPECT_EQ(Text(kFieldConnection), "TESTING PANEL");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    EXPECT_EQ(window_->seam().PanelListSelection(), 0);
    EXPECT_EQ(ChosenPanel, 2);
    QListWidget* debug = window_->debugList();
    EXPECT_FALSE(debug->findItems("IN TESTING PANEL MODE - pls select after testing complete", Qt::MatchExactly).isEmpty());

    // File > Exit.
    window_->MenuAction(kCmdExit)->trigger();
    EXPECT_TRUE(window_->IsShutDown());
    EXPECT_FALSE(window_->seam().TimerActive(kHousekeepingTimer));
    // Nothing is left hooked into the seam that goes with the window: the
    // Infodriver link's watch and the TCP ports' watches are gone.
    EXPECT_EQ(window_->seam().WatchCount(), 0);
    EXPECT_TRUE(info.WaitForSlot(4001, "0"));
    for (int p = 1; p <= 12; ++p) EXPECT_EQ(info.Get(300 * (p - 1) + 299), "0") << "panel " << p;
    window_.reset();
}

}  // namespace
}  // namespace vorn
