#include "qt_loop_bridge.h"

#include <poll.h>

#include <QApplication>
#include <QSocketNotifier>
#include <set>

#include "command_console.h"
#include "panel_window.h"
#include "simulator.h"

namespace vorn::sim {

QtLoopBridge::QtLoopBridge(Simulator& sim, CommandConsole& console, int signalFd, QObject* parent)
    : QObject(parent), sim_(sim), console_(console), signalFd_(signalFd) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &QtLoopBridge::OnTimer);
}

void QtLoopBridge::Watch(int fd) {
    if (notifiers_.count(fd) != 0) return;
    auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(n, &QSocketNotifier::activated, this, [this, fd] { OnDescriptor(fd); });
    notifiers_[fd] = n;
}

void QtLoopBridge::Rearm() {
    std::set<int> wanted{signalFd_};
    if (console_.fd() >= 0) wanted.insert(console_.fd());
    for (const pollfd& p : sim_.PollSet()) wanted.insert(p.fd);
    for (auto it = notifiers_.begin(); it != notifiers_.end();) {
        if (wanted.count(it->first) == 0) {
            // The descriptor may be closed already: stop watching it before
            // the loop polls again, delete once its signal has returned.
            it->second->setEnabled(false);
            it->second->deleteLater();
            it = notifiers_.erase(it);
        } else {
            ++it;
        }
    }
    for (int fd : wanted) Watch(fd);
    const int ms = sim_.TimeoutMs(Simulator::Clock::now());
    if (ms < 0) {
        timer_.stop();
    } else {
        timer_.start(ms);
    }
}

void QtLoopBridge::OnDescriptor(int fd) {
    if (fd == signalFd_) {
        QCoreApplication::quit();
        return;
    }
    if (fd == console_.fd()) {
        console_.OnReadable();
        if (console_.quit()) {
            QCoreApplication::quit();
            return;
        }
    } else {
        const pollfd ready{fd, POLLIN, POLLIN};
        sim_.Dispatch({&ready, 1}, Simulator::Clock::now());
    }
    Rearm();
}

void QtLoopBridge::OnTimer() {
    sim_.Dispatch({}, Simulator::Clock::now());
    Rearm();
}

int RunWindowLoop(Simulator& sim, CommandConsole& console, int signalFd, const char* programName) {
    // Qt sees only the program name: the simulator's own arguments are not
    // Qt options.
    int qtArgc = 1;
    char* qtArgv[] = {const_cast<char*>(programName), nullptr};
    QApplication app(qtArgc, qtArgv);
    PanelWindow window(sim);
    QtLoopBridge bridge(sim, console, signalFd);
    sim.SetChangeHandler([&window](int panel) { window.Refresh(panel); });
    window.SetAfterAction([&bridge] { bridge.Rearm(); });
    window.show();
    bridge.Rearm();
    app.exec();
    sim.SetChangeHandler({});
    return 0;
}

}  // namespace vorn::sim
