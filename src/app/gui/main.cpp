// Entry point of the panel driver: the device number is the whole command
// line; one main window runs the driver until it is closed.

#include <QApplication>
#include <csignal>
#include <cstdlib>
#include <string>

#include "app/driver_app.h"
#include "core/driver_state.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_seam.h"
#include "app/gui/signal_pipe.h"

namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// With no display at all the driver still runs (as a service): on the
// offscreen platform, where message boxes go to standard error.
void ChooseHeadlessPlatform() {
    if (!EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY") && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

// The arguments joined by single blanks, as one command line; bounded by
// the length the parser looks at.
std::string CommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc && line.size() <= static_cast<size_t>(vorn::kCommandLineMax); ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    // Debug lines go to standard error; a reader of it that has gone away
    // (a closed log pipe) must cost those lines only, not end the driver
    // before CloseApp has put its slots back to "0". Sockets already send
    // without the signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Taken before QApplication, which removes the options it knows.
    const std::string commandLine = CommandLine(argc, argv);
    ChooseHeadlessPlatform();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);

    vorn::DeviceNumber = vorn::ParseDeviceNumber(commandLine);
    if (vorn::DeviceNumber <= 0) {
        vorn::QtSeam::ShowBox("Error", "Valid device number must be supplied as command line parameter", true);
        return -1;
    }

    vorn::SignalPipe terminationSignals;
    vorn::MainWindow window;
    QObject::connect(&terminationSignals, &vorn::SignalPipe::terminationRequested, &window, [&window](int) { window.close(); });
    QObject::connect(&window, &vorn::MainWindow::shutDown, &app, [] { QCoreApplication::exit(0); });
    if (window.Start() != 0) return 0;  // no Infodriver: shut down already
    window.ShowAtStart();
    return app.exec();
}
