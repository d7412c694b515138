// The window side on the offscreen platform: status view layout and colour
// rules, the panel list lock, the Debug menu with its marks and heights, the
// About box, and the Qt seam's timers, watches, posted calls, message boxes
// and close request. The window runs in the idle state of a failed
// Infodriver attach (device 0), so no Infodriver is needed.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/driver_app.h"
#include "core/driver_state.h"
#include "app/gui/about_box.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_seam.h"
#include "app/gui/status_view.h"
#include "core/settings.h"
#include "panels/panel_table.h"
#include "support/qt_app.h"
#include "support/temp_dir.h"
#include "transport/extinfo.h"

namespace vorn {
namespace {


namespace c = status_colours;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        setenv("QX_ROOT", dir_.path().c_str(), 1);
        setenv("QX_SYSTEM", "sys", 1);
        setenv("VORN_INFODRIVER_DIR", dir_.path().c_str(), 1);
        for (const char* sub : {"/sys", "/sys/config", "/sys/config/system"}) mkdir((dir_.path() + sub).c_str(), 0755);
        DeviceNumber = 0;  // the client refuses device 0: attach fails, driver idles
        window_ = std::make_unique<MainWindow>();
        ASSERT_EQ(window_->Start(), 0);
        view_ = window_->statusView();
    }
    void TearDown() override {
        window_.reset();
    }
    QColor Bg(int id) { return view_->Control(id)->palette().color(QPalette::Window); }
    QColor Fg(int id) { return view_->Control(id)->palette().color(QPalette::WindowText); }
    std::string IniDebugMode() {
        return ReadIniSetting(SettingsFileName(DeviceNumber), "Pellax_Panel", "DebugMode", "?", 0);
    }

    test::TempDir dir_;
    std::unique_ptr<MainWindow> window_;
    StatusView* view_ = nullptr;
};

TEST_F(MainWindowTest, FailedAttachLeavesAnIdleRedWindow) {
    EXPECT_EQ(view_->FieldText(kFieldInfoStatus), "Info connect FAILED");
    EXPECT_EQ(Bg(kFieldDriverStatus), c::Red());
    EXPECT_EQ(Fg(kFieldDriverStatus), c::White());
    EXPECT_FALSE(window_->IsShutDown());
    for (int id : {1, 2, 3, 4, 5}) EXPECT_FALSE(window_->seam().TimerActive(id)) << id;
    EXPECT_EQ(window_->seam().TimerInterval(kStartupLoadTimer), -1);
    EXPECT_EQ(window_->windowTitle(), "Pellax Panel Driver - Device 0");
    window_->ShowAtStart();
    EXPECT_TRUE(window_->isMinimized());
    EXPECT_EQ(window_->size(), QSize(860, 660));
    EXPECT_FALSE(window_->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window_->windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST_F(MainWindowTest, StatusViewIsLaidOutFromDialogUnits) {
    EXPECT_EQ(view_->size(), QSize(860, 408));
    EXPECT_EQ(StatusHeight, 410);
    EXPECT_EQ(window_->width(), 860);
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize());  // no resizing

    const struct {
        int id;
        QRect units;
        const char* caption;
    } fields[] = {
        {2010, {36, 12, 76, 10}, "Status"},
        {1000, {138, 12, 46, 10}, "Ver"},
        {2005, {230, 12, 80, 10}, "Status"},
        {2006, {331, 11, 35, 10}, "Rx:"},
        {2007, {386, 11, 35, 10}, "Tx:"},
        {1001, {41, 43, 71, 10}, "Location"},
        {1002, {158, 43, 16, 10}, "   Panels Controlled"},
        {1004, {230, 43, 99, 10}, "Panels Comms"},
        {1007, {403, 43, 16, 10}, "Queue"},
        {1009, {182, 119, 116, 10}, "Location"},
        {1010, {343, 119, 68, 10}, "Type"},
        {1013, {182, 141, 74, 12}, "IP Settings"},
        {1015, {279, 141, 18, 10}, "Pan  ID"},
        {1011, {343, 141, 68, 10}, "Connection      Status"},
        {1012, {182, 167, 25, 10}, "Last Button    Pressed"},
        {2008, {235, 167, 42, 10}, "Rx:"},
        {2009, {296, 167, 42, 10}, "Tx:"},
    };
    for (const auto& f : fields) {
        QLabel* field = view_->Field(f.id);
        ASSERT_NE(field, nullptr) << f.id;
        EXPECT_EQ(field->geometry(), QRect(f.units.x() * 2, f.units.y() * 2, f.units.width() * 2, f.units.height() * 2))
            << f.id;
        ASSERT_NE(view_->CaptionOf(f.id), nullptr) << f.id;
        EXPECT_EQ(view_->CaptionOf(f.id)->text(), f.caption) << f.id;
        // Captions sit left of their field, inside the view.
        EXPECT_LE(view_->CaptionOf(f.id)->geometry().right(), field->geometry().left()) << f.id;
    }
    EXPECT_EQ(view_->Control(kListPanels)->geometry(), QRect(26, 164, 230, 218));
    EXPECT_EQ(view_->Control(kCaptionAddress)->geometry(), QRect(278, 280, 62, 34));
    auto* test = qobject_cast<QPushButton*>(view_->Control(kButtonTest));
    auto* reset = qobject_cast<QPushButton*>(view_->Control(kButtonReset));
    ASSERT_TRUE(test && reset);
    EXPECT_EQ(test->text(), "TEST Panel");
    EXPECT_EQ(test->geometry(), QRect(700, 318, 118, 26));
    EXPECT_EQ(reset->text(), "Reset Panel");
    EXPECT_EQ(reset->geometry(), QRect(700, 352, 118, 26));

    QStringList groups;
    for (QGroupBox* g : view_->findChildren<QGroupBox*>()) groups << g->title();
    EXPECT_EQ(groups, QStringList({"Driver", "Infodriver", "Overall Status", "Panels"}));
    auto* picture = view_->findChild<QLabel*>("panelPicture");
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->geometry(), QRect(282, 162, 540, 50));
    picture->grab();  // drawn when first painted
    EXPECT_FALSE(picture->pixmap().isNull());
}

TEST_F(MainWindowTest, StateFieldsFollowTheStateValues) {
    Seam& seam = window_->seam();
    const struct {
        int* state;
        int value;
        int field;
        QColor fg, bg;
    } rules[] = {
        {&DriverStatus, 1, 2010, c::DarkBlue(), c::Yellow()}, {&DriverStatus, 2, 2010, c::White(), c::Red()},
        {&DriverStatus, 0, 2010, c::White(), c::DarkGreen()}, {&DriverMode, 2, 2005, c::White(), c::DarkGreen()},
        {&DriverMode, 1, 2005, c::White(), c::Red()},         {&DriverMode, -1, 2005, c::DarkBlue(), c::Yellow()},
        {&DriverMode, 0, 2005, c::DarkBlue(), c::White()},    {&CommsSummary, 1, 1004, c::DarkBlue(), c::Yellow()},
        {&CommsSummary, 2, 1004, c::White(), c::Red()},       {&CommsSummary, 0, 1004, c::White(), c::DarkGreen()},
    };
    for (const auto& r : rules) {
        *r.state = r.value;
        seam.SetField(kFieldInfoRx, "00000001");  // any write re-reads the state colours
        EXPECT_EQ(Bg(r.field), r.bg) << r.field << " at " << r.value;
        EXPECT_EQ(Fg(r.field), r.fg) << r.field << " at " << r.value;
    }
    for (int id : {1000, 1001, 1002, 1007, 1009, 1010, 1011, 1012, 1013, 1015, 2006, 2007, 2008, 2009}) {
        EXPECT_EQ(Bg(id), c::White()) << id;
        EXPECT_EQ(Fg(id), c::DarkBlue()) << id;
    }
    EXPECT_EQ(Bg(kCaptionAddress), c::LightBlue());
    EXPECT_EQ(view_->CaptionOf(kFieldLocation)->palette().color(QPalette::Window), c::LightBlue());
    EXPECT_EQ(view_->palette().color(QPalette::Window), c::LightBlue());

    seam.SetField(kFieldCommsSummary, " Comms FAIL for 2 panel(s)");
    EXPECT_EQ(view_->FieldText(kFieldCommsSummary), " Comms FAIL for 2 panel(s)");
    seam.SetFieldNumber(kFieldPanelTx, 4000000000u);
    EXPECT_EQ(view_->FieldText(kFieldPanelTx), "4000000000");
    seam.SetField(4242, "nowhere");  // unknown id: ignored, no crash
}

// A burst of writes (the counters at every slot change) is shown as one
// refresh: the newest text is answered at once and drawn within the
// refresh interval, not repainted a thousand times.
TEST_F(MainWindowTest, FieldWritesInABurstAreShownTogether) {
    Seam& seam = window_->seam();
    auto* label = static_cast<QLabel*>(view_->Control(kFieldInfoRx));
    for (unsigned i = 1; i <= 1000; ++i) seam.SetFieldNumber(kFieldInfoRx, i);
    EXPECT_EQ(view_->FieldText(kFieldInfoRx), "1000");
    EXPECT_NE(label->text(), "1000") << "drawn at the next refresh";
    EXPECT_TRUE(QTest::qWaitFor([&] { return label->text() == "1000"; }, 2000));
}

TEST_F(MainWindowTest, FieldTextsAreShownCharacterForCharacter) {
    // Locations, identities and addresses come from the settings file; a
    // text that looks like markup is still drawn as written. "<b></b>"
    // read as markup would leave the field blank.
    for (int id : {kFieldLocation, kFieldIdentity, kFieldAddress}) {
        window_->seam().SetField(id, "<b></b>");
        const QImage image = view_->Field(id)->grab().toImage();
        int inked = 0;
        for (int y = 3; y < image.height() - 3; ++y) {
            for (int x = 3; x < image.width() - 3; ++x) inked += image.pixelColor(x, y) != c::White() ? 1 : 0;
        }
        EXPECT_GT(inked, 0) << id;
    }
}

TEST_F(MainWindowTest, ForceCommandsPaintTheInfodriverFieldYellow) {
    DriverMode = 2;
    window_->seam().SetField(kFieldInfoStatus, "TXRX");
    ASSERT_EQ(Bg(kFieldInfoStatus), c::DarkGreen());
    window_->MenuAction(kCmdForceRxOnly)->trigger();
    EXPECT_EQ(view_->FieldText(kFieldInfoStatus), "forcing to rxonly");
    EXPECT_EQ(Bg(kFieldInfoStatus), c::Yellow());
    DriverMode = 1;  // what the next mode check finds
    window_->seam().SetField(kFieldInfoStatus, "RXONLY");
    EXPECT_EQ(Bg(kFieldInfoStatus), c::Red());
    window_->MenuAction(kCmdForceTxRx)->trigger();
    EXPECT_EQ(view_->FieldText(kFieldInfoStatus), "Forcing to TX/RX");
    EXPECT_EQ(Bg(kFieldInfoStatus), c::Yellow());
}

TEST_F(MainWindowTest, DebugMenuMarksHeightsAndSettingsFile) {
    QAction* on = window_->MenuAction(kCmdDebugOn);
    QAction* hide = window_->MenuAction(kCmdDebugHide);
    QAction* all = window_->MenuAction(kCmdShowAllMessages);
    ASSERT_TRUE(on && hide && all);
    EXPECT_EQ(on->text(), "On");
    EXPECT_EQ(hide->text(), "Hide");
    EXPECT_EQ(window_->MenuAction(kCmdDebugClear)->text(), "Clear");
    EXPECT_EQ(all->text(), "Show All Messages");
    EXPECT_EQ(window_->MenuAction(kCmdExit)->shortcut(), QKeySequence(Qt::Key_F10));
    EXPECT_EQ(window_->MenuAction(kCmdAbout)->shortcut(), QKeySequence(Qt::Key_F1));

    // Start-up read DebugMode=1 (the default): shown and active.
    EXPECT_TRUE(on->isChecked());
    EXPECT_FALSE(hide->isChecked());
    EXPECT_EQ(window_->height(), 660);

    hide->trigger();
    EXPECT_FALSE(on->isChecked());
    EXPECT_TRUE(hide->isChecked());
    EXPECT_EQ(window_->OuterHeight(), StatusHeight + 42);
    EXPECT_EQ(window_->height(), StatusHeight + 42);
    EXPECT_EQ(IniDebugMode(), "0");

    hide->trigger();
    EXPECT_TRUE(on->isChecked());
    EXPECT_FALSE(hide->isChecked());
    EXPECT_EQ(window_->height(), 660);
    EXPECT_EQ(IniDebugMode(), "1");

    on->trigger();
    EXPECT_FALSE(on->isChecked());
    EXPECT_EQ(window_->height(), 660);
    EXPECT_EQ(IniDebugMode(), "0");

    all->trigger();
    EXPECT_TRUE(all->isChecked());
    EXPECT_EQ(ShowAllMessages, 1);
    all->trigger();
    EXPECT_FALSE(all->isChecked());
    EXPECT_EQ(ShowAllMessages, 0);

    on->trigger();  // active again: lines reach the list
    window_->seam().DebugListAppend("a line");
    ASSERT_GT(window_->debugList()->count(), 0);
    window_->MenuAction(kCmdDebugClear)->trigger();
    EXPECT_EQ(window_->debugList()->count(), 0);
}

TEST_F(MainWindowTest, PanelListPickShowsThePanelAndIsLockedDuringATest) {
    Settings.DebugMode = 1;
    for (int p : {1, 2, 10}) {
        Panels[p].InUse = 1;
        Panels[p].ListIndex = ++PanelCount;
        Panels[p].Location = "Room " + std::to_string(p);
        Panels[p].TypeName = "CP-1000E";
        Panels[p].ButtonCount = 16;
        Panels[p].IpAddress = "127.0.0." + std::to_string(p);
        window_->seam().PanelListAdd(" " + std::to_string(p) + ".   Panel" + std::to_string(p));
    }
    QListWidget* list = view_->PanelList();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    auto click = [&](int row) {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    };

    click(2);
    EXPECT_EQ(ChosenPanel, 10);
    EXPECT_EQ(view_->FieldText(kFieldLocation), "Room 10");
    EXPECT_EQ(view_->FieldText(kFieldType), "CP-1000E  -  16");

    // The program's own selection is not a pick.
    window_->seam().PanelListSelect(0);
    EXPECT_EQ(window_->seam().PanelListSelection(), 0);
    EXPECT_EQ(ChosenPanel, 10);

    TestPanel = 10;
    const int before = window_->debugList()->count();
    click(1);
    EXPECT_EQ(window_->seam().PanelListSelection(), 2);
    EXPECT_EQ(ChosenPanel, 10);
    EXPECT_GT(window_->debugList()->count(), before);
    EXPECT_EQ(window_->debugList()->item(window_->debugList()->count() - 1)->text(),
              "IN TESTING PANEL MODE - pls select after testing complete");

    TestPanel = -1;
    click(1);
    EXPECT_EQ(ChosenPanel, 2);
    window_->seam().PanelListSelect(-1);
    EXPECT_EQ(window_->seam().PanelListSelection(), -1);

    // A reload empties the list and fills it again: no pick either.
    window_->seam().PanelListSelect(1);
    window_->seam().PanelListClear();
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(window_->seam().PanelListSelection(), -1);
    window_->seam().PanelListAdd(" 10.   Panel10");
    EXPECT_EQ(list->item(0)->text(), " 10.   Panel10");
    EXPECT_EQ(ChosenPanel, 2);
}

TEST_F(MainWindowTest, AboutBoxShowsTheVersionsAndClosesWithOkOrEscape) {
    AboutBox box(window_.get());
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_EQ(box.Field(1000)->text(), "Version 2, 1, 0, 30  (2, 1, 0, 30)");
    const QRegularExpression stamp("^[A-Z][a-z]{2} [ 0-3][0-9] [0-9]{4} - [0-2][0-9]:[0-5][0-9]:[0-6][0-9]$");
    EXPECT_TRUE(stamp.match(box.Field(1001)->text()).hasMatch()) << box.Field(1001)->text().toStdString();
    EXPECT_EQ(box.Field(1002)->text(), "Linux build of the panel driver");
    EXPECT_TRUE(box.OkButton()->isDefault());

    box.show();
    QTest::keyClick(&box, Qt::Key_Escape);
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), AboutBox::kResultCancel);
    box.show();
    QTest::mouseClick(box.OkButton(), Qt::LeftButton);
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), AboutBox::kResultOk);

    // Help > About runs it modally, owned by the window.
    bool sawBox = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        sawBox = qobject_cast<AboutBox*>(modal) != nullptr && modal->parentWidget() == window_.get();
        if (modal) QTest::keyClick(modal, Qt::Key_Escape);
    });
    window_->MenuAction(kCmdAbout)->trigger();
    EXPECT_TRUE(sawBox);
}

TEST_F(MainWindowTest, SeamTimersRestartAndStop) {
    QtSeam& seam = window_->seam();
    std::vector<int> ticks;
    seam.SetTimerHandler([&](int id) { ticks.push_back(id); });
    seam.StartTimer(kFlashTimer, 10000);
    EXPECT_TRUE(seam.TimerActive(kFlashTimer));
    seam.StartTimer(kFlashTimer, 5);  // a running id restarts with the new period
    EXPECT_EQ(seam.TimerInterval(kFlashTimer), 5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks.size() >= 2; }, 5000));
    seam.StopTimer(kFlashTimer);
    EXPECT_FALSE(seam.TimerActive(kFlashTimer));
    EXPECT_EQ(ticks.front(), kFlashTimer);
    seam.StopTimer(99);  // never started: nothing happens
}

TEST_F(MainWindowTest, SeamWatchesArePostedCallsRunOnTheGuiThread) {
    QtSeam& seam = window_->seam();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    int reads = 0;
    int watch = 0;
    watch = seam.AddWatch(fds[0], Seam::Readiness::kRead, [&] {
        char b[1];
        if (read(fds[0], b, 1) == 1) ++reads;
        if (reads == 2) seam.RemoveWatch(watch);  // from inside its own callback
    });
    ASSERT_EQ(write(fds[1], "xyz", 3), 3);
    // Level-triggered: two reads of one byte each without a new write.
    EXPECT_TRUE(QTest::qWaitFor([&] { return reads == 2; }, 5000));
    EXPECT_EQ(seam.WatchCount(), 0);
    QTest::qWait(50);
    EXPECT_EQ(reads, 2);  // removed: the third byte stays unread

    std::atomic<bool> ranOnGui{false};
    const auto gui = std::this_thread::get_id();
    std::thread poster([&] { seam.Post([&] { ranOnGui = std::this_thread::get_id() == gui; }); });
    poster.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ranOnGui.load(); }, 5000));
    close(fds[0]);
    close(fds[1]);
}

TEST_F(MainWindowTest, MessageBoxesGoToStandardErrorWithoutADisplay) {
    EXPECT_FALSE(QtSeam::UsesDisplay());
    testing::internal::CaptureStderr();
    window_->seam().MessageBox("Cant Find Infodriver", "! No connection to Infodriver - PellaxPanel exiting !");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cant Find Infodriver: ! No connection to Infodriver - PellaxPanel exiting !\n");
}

TEST_F(MainWindowTest, F1ShowsAboutAndF10Exits) {
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    bool sawBox = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        sawBox = qobject_cast<AboutBox*>(modal) != nullptr;
        if (modal) QTest::keyClick(modal, Qt::Key_Escape);
    });
    QTest::keyClick(window_.get(), Qt::Key_F1);
    EXPECT_TRUE(sawBox);
    EXPECT_FALSE(window_->IsShutDown());
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    QTest::keyClick(window_.get(), Qt::Key_F10);
    EXPECT_TRUE(window_->IsShutDown());
}

TEST_F(MainWindowTest, CloseRequestShutsDownOnce) {
    Settings.DebugMode = 1;
    QSignalSpy spy(window_.get(), &MainWindow::shutDown);
    window_->seam().StartTimer(kHousekeepingTimer, 1000);
    window_->seam().PostCloseRequest();
    EXPECT_FALSE(window_->IsShutDown());  // acted on later, not inside the caller
    EXPECT_TRUE(QTest::qWaitFor([&] { return window_->IsShutDown(); }, 5000));
    EXPECT_EQ(spy.count(), 1);
    EXPECT_FALSE(window_->seam().TimerActive(kHousekeepingTimer));
    EXPECT_EQ(window_->debugList()->item(window_->debugList()->count() - 1)->text(), "CloseApp - driver shut down ");
    window_->MenuAction(kCmdExit)->trigger();  // nothing runs twice
    EXPECT_EQ(spy.count(), 1);
}

}  // namespace
}  // namespace vorn
