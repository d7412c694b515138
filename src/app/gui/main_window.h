#pragma once
// The driver's main window: menu (File, Debug, Settings, Help) with F1 and
// F10, the status view at the top and the debug list below it, the timers by
// id, and the start and end of the driver's life. Start() installs the
// window's seam and runs InitApp; closing the window (File > Exit, F10, the
// window's close box, a posted close request or a termination signal) runs
// CloseApp once, leaves the Infodriver link (its socket watch lives in this
// window's seam) and emits shutDown(). GUI thread only.

#include <QMainWindow>
#include <map>
#include <memory>

#include "transport/extinfo.h"

class QAction;
class QCloseEvent;
class QListWidget;

namespace vorn {

class QtSeam;
class StatusView;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Title from DeviceNumber, which must be set before.
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Installs the seam, runs InitApp and returns its result. On -1 (no
    // Infodriver) the shutdown has already run; the window must not be
    // shown and the process ends with exit code 0.
    int Start();

    // Shows the window as the driver starts: minimised, whatever the
    // session asked for, at its fixed width and current height.
    void ShowAtStart();

    // Runs a menu command by id, as the menu and the accelerators do.
    void RunCommand(int commandId);

    // Seam side of the Debug menu logic.
    void SetMenuCheck(int commandId, bool checked);
    // Outer height as the logic counts it (caption, menu and client area);
    // the window system's own decoration is taken off where it is known.
    void SetOuterHeight(int height);
    int OuterHeight() const { return outerHeight_; }

    StatusView* statusView() const { return statusView_; }
    QListWidget* debugList() const { return debugList_; }
    QtSeam& seam() const { return *seam_; }
    QAction* MenuAction(int commandId) const;
    bool IsShutDown() const { return shutDown_; }

signals:
    // Emitted once, after CloseApp has run.
    void shutDown();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenu();
    void OnTimer(int id);
    void ShowAbout();
    void ShutDown();

    std::unique_ptr<QtSeam> seam_;
    // The driver's one Infodriver client; the panel layer uses it from
    // Start() until the window goes.
    extinfo info_{kInfoInterfaceVersion};
    StatusView* statusView_ = nullptr;
    QListWidget* debugList_ = nullptr;
    std::map<int, QAction*> actions_;
    int outerHeight_ = 0;
    bool started_ = false;
    bool shutDown_ = false;
};

}  // namespace vorn
