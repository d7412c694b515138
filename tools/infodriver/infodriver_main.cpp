// infodriver [--state FILE] [--no-fence] DEVICE...
//
// Serves the Infodriver link for each DEVICE (1..65535) until SIGINT or
// SIGTERM, then tells every client XOV_INFODISCONNECTED, removes its sockets
// and exits 0. With --state the slot texts are kept in FILE across restarts;
// --no-fence leaves a main that was cut off running (see README.md).
// Under systemd (NOTIFY_SOCKET): READY=1 once every socket listens,
// WATCHDOG=1 from the server's loop at half the watchdog interval while the
// loop turns, STOPPING=1 when the shutdown begins.
// Exit codes: 0 stopped by a signal, 1 could not start, 2 usage.

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "infodriver_server.h"

namespace {

vorn::InfodriverServer* g_server = nullptr;

// Only wakes the loop: Stop() is an atomic store and a write() to its pipe.
void OnSignal(int) {
    if (g_server != nullptr) g_server->Stop();
}

#ifndef VORN_VERSION_TEXT
#define VORN_VERSION_TEXT "unknown"
#endif

constexpr const char kUsage[] =
    "usage: infodriver [--state FILE] [--no-fence] DEVICE...\n"
    "       infodriver --help | --version\n"
    "Serves the slots of each DEVICE (1..65535) on $VORN_INFODRIVER_DIR/infodriver-DEVICE.sock.\n";

int Usage(const char* why) {
    if (why != nullptr) std::fprintf(stderr, "infodriver: %s\n", why);
    std::fprintf(stderr, "%s", kUsage);
    return 2;
}

// --help: usage and environment on standard output.
int Help() {
    std::printf("%s\n"
                "  --state FILE   keep the slot texts in FILE across runs (saved atomically)\n"
                "  --no-fence     leave a main driver that was cut off running instead of ending it\n"
                "                 (SIGKILL) before the next driver is made main\n"
                "  --help         this text\n"
                "  --version      the version\n"
                "\n"
                "Environment:\n"
                "  VORN_INFODRIVER_DIR  directory of the sockets (default $XDG_RUNTIME_DIR/vorn,\n"
                "                       else /tmp/vorn-<uid>)\n"
                "  NOTIFY_SOCKET, WATCHDOG_USEC\n"
                "                       set by systemd: READY=1, WATCHDOG=1 and STOPPING=1\n"
                "\n"
                "Stops on SIGTERM or SIGINT. Exit codes: 0 stopped by a signal, 1 could not start, 2 usage.\n",
                kUsage);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    vorn::InfodriverOptions options;
    bool stateGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--state") {
            if (i + 1 >= argc) return Usage("--state needs a FILE");
            options.stateFile = argv[++i];
            stateGiven = true;
        } else if (arg.substr(0, 8) == "--state=") {
            options.stateFile = std::string(arg.substr(8));
            stateGiven = true;
        } else if (arg == "--no-fence") {
            options.fence = false;
        } else if (arg == "-h" || arg == "--help") {
            return Help();
        } else if (arg == "--version") {
            std::printf("infodriver %s\n", VORN_VERSION_TEXT);
            return std::fflush(stdout) == 0 ? 0 : 1;
        } else {
            int device = 0;
            auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), device);
            if (arg.empty() || ec != std::errc() || end != arg.data() + arg.size() || device < 1 || device > 65535) {
                std::string why = "bad DEVICE '" + std::string(arg) + "'";
                return Usage(why.c_str());
            }
            options.devices.push_back(device);
        }
    }
    if (options.devices.empty()) return Usage("no DEVICE given");
    if (stateGiven && options.stateFile.empty()) return Usage("--state needs a FILE");

    signal(SIGPIPE, SIG_IGN);
    // Without NOTIFY_SOCKET sd_notify does nothing. The watchdog is fed from
    // the loop, so a loop that hangs lets systemd restart the Infodriver.
    uint64_t watchdogUsec = 0;
    if (sd_watchdog_enabled(0, &watchdogUsec) > 0 && watchdogUsec > 0) {
        options.heartbeatIntervalMs = static_cast<int>(std::max<uint64_t>(watchdogUsec / 2000, 1));
        options.heartbeat = [] { (void)sd_notify(0, "WATCHDOG=1"); };
    }
    options.stopping = [] { (void)sd_notify(0, "STOPPING=1\nSTATUS=stopping"); };
    vorn::InfodriverServer server(options);
    // Handlers first: a signal during Start() makes Run() return at once.
    g_server = &server;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::string error;
    if (!server.Start(&error)) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        g_server = nullptr;
        std::fprintf(stderr, "infodriver: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "infodriver: ready\n");
    std::string status = "READY=1\nSTATUS=serving device";
    for (int device : options.devices) status += " " + std::to_string(device);
    (void)sd_notify(0, status.c_str());
    server.Run();
    // Signals from here on end the process the default way; the loop is over.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_server = nullptr;
    return 0;
}
