#pragma once
// Runs the simulator inside Qt's event loop for --gui: one QSocketNotifier
// per descriptor the simulator, the command input and the signal pipe want
// watched, and a single-shot QTimer for the simulator's next timer. After
// every event the set of notifiers is brought in line with PollSet() again,
// so descriptors that come and go (accepted connections, a pty whose line
// was closed) are watched exactly while they are open. GUI thread only.

#include <QObject>
#include <QTimer>
#include <map>

class QSocketNotifier;

namespace vorn::sim {

class CommandConsole;
class Simulator;

class QtLoopBridge : public QObject {
    Q_OBJECT
public:
    QtLoopBridge(Simulator& sim, CommandConsole& console, int signalFd, QObject* parent = nullptr);

    // Brings notifiers and timer in line with the simulator's wishes.
    void Rearm();

private:
    void OnDescriptor(int fd);
    void OnTimer();
    void Watch(int fd);

    Simulator& sim_;
    CommandConsole& console_;
    int signalFd_;
    std::map<int, QSocketNotifier*> notifiers_;
    QTimer timer_;
};

// Creates the application and the window, runs the loop until quit, a
// signal or the window's close, and returns the exit code (0).
int RunWindowLoop(Simulator& sim, CommandConsole& console, int signalFd, const char* programName);

}  // namespace vorn::sim
