#include "app/gui/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace vorn {

namespace {

std::atomic<int> g_writeFd{-1};

extern "C" void OnTerminationSignal(int signalNumber) {
    const int saved = errno;
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe drops the byte: enough requests are already waiting.
        [[maybe_unused]] ssize_t n = write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe(QObject* parent) : QObject(parent) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "Pellax_Panel - SignalPipe - no pipe (errno %d), signals end the process \n", errno);
        return;
    }
    readFd_ = fds[0];
    g_writeFd.store(fds[1]);
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    notifier_ = new QSocketNotifier(static_cast<qintptr>(readFd_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
}

SignalPipe::~SignalPipe() {
    if (readFd_ < 0) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    const int writeFd = g_writeFd.exchange(-1);
    if (writeFd >= 0) close(writeFd);
    delete notifier_;
    close(readFd_);
}

void SignalPipe::Drain() {
    unsigned char bytes[16];
    // Bounded: at most one buffer per wake-up; more bytes wake us again
    // (the watch is level-triggered).
    const ssize_t n = read(readFd_, bytes, sizeof bytes);
    bool reload = false;
    for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] == SIGHUP) {
            reload = true;
        } else {
            emit terminationRequested(bytes[i]);
        }
    }
    if (reload) emit reloadRequested();
}

}  // namespace vorn
