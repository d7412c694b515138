#pragma once
// SIGTERM and SIGINT as close requests, SIGHUP as a request to reload the
// settings, through the event loop: the signal handler only writes one byte
// to a pipe (async-signal-safe); the read end is watched on the GUI thread,
// which emits terminationRequested() or reloadRequested() there.

#include <QObject>

class QSocketNotifier;

namespace vorn {

class SignalPipe : public QObject {
    Q_OBJECT

public:
    // Installs the handlers; one instance per process. If the pipe cannot be
    // made the signals keep their default action (a log line on stderr).
    explicit SignalPipe(QObject* parent = nullptr);
    ~SignalPipe() override;
    bool IsActive() const { return readFd_ >= 0; }

signals:
    void terminationRequested(int signalNumber);
    // Once per read of the pipe, however many SIGHUPs it held.
    void reloadRequested();

private:
    void Drain();

    int readFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vorn
