// Entry point of the panel driver: the device number is the whole command
// line; one main window runs the driver until it is closed. "--help" and
// "--version" alone print their text and exit 0, "--check-config DEVICE"
// checks the device's settings file (exit 0, 1 or 2); any other command line
// is read as a device number as always.

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/config_check.h"
#include "app/driver_app.h"
#include "app/settings_reload.h"
#include "core/driver_state.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_seam.h"
#include "app/gui/signal_pipe.h"
#include "app/gui/status_view.h"
#include "service/service_notify.h"
#include "service/status_http_server.h"
#include "service/status_render.h"
#include "service/status_snapshot.h"
#include "service/support_bundle.h"

#ifndef VORN_VERSION_TEXT
#define VORN_VERSION_TEXT "unknown"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: pellax-panel DEVICE\n"
    "  or:  pellax-panel --check-config DEVICE\n"
    "  or:  pellax-panel --support-bundle DEVICE FILE\n"
    "  or:  pellax-panel --help | --version\n"
    "Links up to twelve push-button panels (TCP or serial) to the Infodriver of\n"
    "DEVICE (1..65535). Settings: DEV_<DEVICE, three digits>.ini in the\n"
    "configuration directory. SIGTERM or SIGINT shut the driver down (exit 0);\n"
    "it also exits 0 when its Infodriver is missing or goes away. SIGHUP reloads\n"
    "the settings file and applies what changed, panel by panel; a file that\n"
    "--check-config finds an error in is refused and the running configuration\n"
    "kept. A command line that is no device number gives an error and exit code\n"
    "255.\n"
    "\n"
    "--check-config DEVICE reads the device's settings file as the driver would,\n"
    "writes nothing and attaches to nothing, and prints every problem as\n"
    "FILE:LINE: error: ... or FILE:LINE: warning: ...; exit code 0 without an\n"
    "error, 1 with one, 2 when the file cannot be read.\n"
    "\n"
    "Environment:\n"
    "  QX_ROOT, QX_SYSTEM    both set: settings in $QX_ROOT/$QX_SYSTEM/config/system,\n"
    "                        logs in $QX_ROOT/$QX_SYSTEM/logs; otherwise ConfigPath of\n"
    "                        [Config] in /etc/vorn_config.ini or /etc/vorn, and logs\n"
    "                        in /var/log/vornlogs\n"
    "  VORN_INFODRIVER_DIR   directory of the Infodriver sockets (default\n"
    "                        $XDG_RUNTIME_DIR/vorn, else /tmp/vorn-<uid>)\n"
    "  VORN_COM_DIR          serial port n is $VORN_COM_DIR/COM<n> (default /dev/vorn,\n"
    "                        when that directory exists), else /dev/ttyS<n-1>\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM\n"
    "                        with no display and no platform chosen the driver runs\n"
    "                        offscreen (message boxes go to standard error)\n"
    "  NOTIFY_SOCKET, WATCHDOG_USEC\n"
    "                        set by systemd for a Type=notify unit: READY=1 once\n"
    "                        loaded, WATCHDOG=1 every second, STATUS=, STOPPING=1\n"
    "  JOURNAL_STREAM        set by systemd: when it names standard error, each\n"
    "                        debug line there starts with its journal priority\n"
    "                        (<3> error, <4> warning, <5> state change, <6> info,\n"
    "                        <7> trace)\n"
    "\n"
    "Log files (LogMode=1): YYYYMMDD_child2_DEVICE.log in the log directory, one a\n"
    "day; LogKeepDays (default 30; 0 keeps all) says how many days back they are\n"
    "kept, LogMaxDayBytes (default 67108864; 0 no limit) where a day's file stops.\n"
    "\n"
    "Status page: StatusHttpPort (0: off) and StatusHttpAddress (default 127.0.0.1)\n"
    "in [Pellax_Panel] serve /, /panels/N, /events, /status.json, /metrics and\n"
    "/support.tar.gz, read-only; StatusHttpToken (needed off loopback) and\n"
    "StatusHttpHosts guard them.\n"
    "--support-bundle writes the support bundle of DEVICE (settings without the\n"
    "token, two days of logs, status and panel traffic of the last stop) to FILE.\n";

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

// A service has no XDG_RUNTIME_DIR. Qt then uses a private directory of its
// own (/tmp/runtime-<user>, created 0700 and checked) and only says so; that
// one notice is dropped. Setting the variable instead would also move the
// driver's default Infodriver socket directory. Every other message,
// including Qt's complaints about that directory's owner or mode, goes on
// to the handler that was there before.
QtMessageHandler g_previousHandler = nullptr;

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
    if (g_previousHandler != nullptr) {
        g_previousHandler(type, context, message);
    } else {
        const QByteArray text = qFormatLogMessage(type, context, message).toLocal8Bit();
        std::fprintf(stderr, "%s\n", text.constData());
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
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("pellax-panel %s\n", VORN_VERSION_TEXT);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 3 && std::string(argv[1]) == "--check-config") return vorn::RunConfigCheck(argv[2]);
    if (argc >= 2 && std::string(argv[1]) == "--support-bundle") return vorn::SupportBundleCommand(argc, argv);
    // Debug lines go to standard error; a reader of it that has gone away
    // (a closed log pipe) must cost those lines only, not end the driver
    // before CloseApp has put its slots back to "0". Sockets already send
    // without the signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Taken before QApplication, which removes the options it knows.
    const std::string commandLine = CommandLine(argc, argv);
    ChooseHeadlessPlatform();
    g_previousHandler = qInstallMessageHandler(FilterMessages);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);

    vorn::DeviceNumber = vorn::ParseDeviceNumber(commandLine);
    if (vorn::DeviceNumber <= 0) {
        vorn::QtSeam::ShowBox("Error", "Valid device number must be supplied as command line parameter", true);
        return -1;
    }

    vorn::SignalPipe signalPipe;
    vorn::MainWindow window;
    QObject::connect(&signalPipe, &vorn::SignalPipe::terminationRequested, &window, [&window](int) { window.close(); });
    QObject::connect(&signalPipe, &vorn::SignalPipe::reloadRequested, &window, [] { vorn::RequestSettingsReload(); });
    QObject::connect(&window, &vorn::MainWindow::shutDown, &app, [] { QCoreApplication::exit(0); });

    // What the status view shows, for the service manager and the status page.
    const auto takeSnapshot = [&window] {
        return vorn::TakeStatusSnapshot([&window](int controlId) {
            return window.statusView()->FieldText(controlId).toStdString();
        });
    };
    // Declared after the window, so that reporting ends before it goes.
    vorn::ServiceNotifier notifier;
    // The status as the shutdown begins, kept beside the logs with the
    // panels' traffic for a support bundle made after the stop.
    std::string statusAtStop;
    vorn::ServiceReporting reporting(notifier, [&takeSnapshot] { return vorn::ServiceStatusLine(takeSnapshot()); },
                                     [&] { statusAtStop = vorn::RenderStatusJson(takeSnapshot()); });

    // Start failed and the window has shut down already: without an
    // Infodriver the driver ends with 0 (a unit restarts it with its
    // Infodriver); after a fault of the set-up (settings unreadable, socket
    // refused) with -1, so that a supervisor sees it is not a clean stop.
    if (window.Start() != 0) return vorn::ConfigurationFault ? -1 : 0;
    vorn::StatusPage statusPage(takeSnapshot);
    statusPage.Apply(vorn::StatusPageConfigFromSettings());
    // A reload applies the page keys too (the page restarts only when one
    // of them changed). No reload runs once the loop has ended.
    vorn::SetSettingsReloadHook([&statusPage] { statusPage.Apply(vorn::StatusPageConfigFromSettings()); });
    window.ShowAtStart();
    const int exitCode = app.exec();
    vorn::SetSettingsReloadHook(nullptr);
    vorn::SaveStopRecords(statusAtStop);
    return exitCode;
}
