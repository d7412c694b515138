#include "app/gui/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>

#include "app/driver_app.h"
#include "core/driver_state.h"
#include "app/gui/about_box.h"
#include "app/gui/panel_artwork.h"
#include "app/gui/qt_seam.h"
#include "app/gui/status_view.h"
#include "core/seam.h"
#include "app/housekeeping.h"
#include "panels/info_client.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

// Id of the debug list among the main window's controls.
constexpr int kDebugListId = 100;

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      seam_(std::make_unique<QtSeam>()) {
    setWindowTitle(QString::fromStdString(WindowTitle(DeviceNumber)));
    // Without a display there is no title bar to carry it.
    if (QtSeam::UsesDisplay()) setWindowIcon(DriverIcon());
    BuildMenu();

    auto* client = new QWidget(this);
    setCentralWidget(client);
    statusView_ = new StatusView(client);
    statusView_->move(0, 0);
    StatusHeight = statusView_->height() + 2;

    // The list keeps the geometry of the full-height window; with the list
    // hidden the window edge simply cuts it off.
    const int clientHeight = kMainWindowHeight - menuBar()->sizeHint().height();
    debugList_ = new QListWidget(client);
    debugList_->setObjectName(QStringLiteral("debugList%1").arg(kDebugListId));
    debugList_->setSortingEnabled(false);
    debugList_->setUniformItemSizes(true);
    debugList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    debugList_->setGeometry(0, StatusHeight, kMainWindowWidth, qMax(0, clientHeight - StatusHeight));

    outerHeight_ = kMainWindowHeight;
    setFixedSize(kMainWindowWidth, kMainWindowHeight);
    seam_->Attach(this, statusView_, debugList_);
}

MainWindow::~MainWindow() {
    // A window that goes away without a close still shuts the driver down.
    if (started_) ShutDown();
    if (BoundInfoClient() == &info_) BindInfoClient(nullptr);
    if (HasSeam() && &GetSeam() == seam_.get()) SetSeam(nullptr);
}

void MainWindow::BuildMenu() {
    auto add = [this](QMenu* menu, const QString& text, int id, bool checkable, const QKeySequence& key = {}) {
        QAction* action = menu->addAction(text);
        action->setCheckable(checkable);
        if (!key.isEmpty()) action->setShortcut(key);
        // The check marks follow the logic (SetMenuCheck), not the click.
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        actions_[id] = action;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("E&xit"), kCmdExit, false, QKeySequence(Qt::Key_F10));
    QMenu* debug = menuBar()->addMenu(QStringLiteral("D&ebug"));
    add(debug, QStringLiteral("On"), kCmdDebugOn, true);
    add(debug, QStringLiteral("Hide"), kCmdDebugHide, true);
    debug->addSeparator();
    add(debug, QStringLiteral("Clear"), kCmdDebugClear, false);
    add(debug, QStringLiteral("Show All Messages"), kCmdShowAllMessages, true);
    QMenu* settings = menuBar()->addMenu(QStringLiteral("Settings"));
    add(settings, QStringLiteral("Force to TXRX"), kCmdForceTxRx, false);
    add(settings, QStringLiteral("Force to RX-Only"), kCmdForceRxOnly, false);
    add(settings, QStringLiteral("Refresh All Panels"), kCmdRefreshAllPanels, false);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, QStringLiteral("&About ..."), kCmdAbout, false, QKeySequence(Qt::Key_F1));
}

int MainWindow::Start() {
    SetSeam(seam_.get());
    seam_->SetTimerHandler([this](int id) { OnTimer(id); });
    started_ = true;
    const int result = InitApp(info_);
    statusView_->RefreshStateColours();
    if (result != 0) ShutDown();
    return result;
}

void MainWindow::ShowAtStart() {
    if (!QtSeam::UsesDisplay()) {
        // Nobody can see a window without a display (a service): it keeps
        // its minimised state but is never shown, so the status view is
        // kept current without painting and without a backing store.
        setWindowState(windowState() | Qt::WindowMinimized);
        return;
    }
    showMinimized();
    update();
}

void MainWindow::OnTimer(int id) {
    if (shutDown_) return;
    OnTimerTick(id);
    statusView_->RefreshStateColours();
}

void MainWindow::RunCommand(int commandId) {
    if (shutDown_) return;
    switch (commandId) {
        case kCmdAbout:
            ShowAbout();
            break;
        case kCmdExit:
            close();
            break;
        default:
            // A checkable action toggles its own mark on the click; the
            // logic then sets every mark it owns explicitly.
            HandleMenuCommand(commandId);
            break;
    }
    statusView_->RefreshStateColours();
}

void MainWindow::ShowAbout() {
    AboutBox box(this);
    box.exec();
}

void MainWindow::SetMenuCheck(int commandId, bool checked) {
    auto it = actions_.find(commandId);
    if (it != actions_.end()) it->second->setChecked(checked);
}

void MainWindow::SetOuterHeight(int height) {
    outerHeight_ = height;
    // Decoration the window system draws around us (caption, borders);
    // zero before the window is shown and on the offscreen platform.
    const int decoration = qMax(0, frameGeometry().height() - geometry().height());
    setFixedSize(kMainWindowWidth, qMax(1, height - decoration));
    update();
}

QAction* MainWindow::MenuAction(int commandId) const {
    auto it = actions_.find(commandId);
    return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    ShutDown();
    event->accept();
}

void MainWindow::ShutDown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (started_) CloseApp();
    // The Infodriver client watches its socket through this window's seam,
    // which goes with the window; leave the link now, while the seam is
    // still installed, rather than from the client's destructor.
    info_.disconnect();
    seam_->StopAllTimers();
    emit shutDown();
}

}  // namespace vorn
