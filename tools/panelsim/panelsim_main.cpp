// panelsim: simulates control panels for the driver. See Usage() for the
// command line; the Simulator holds the panels, this file the process:
// arguments, signals, start-up lines and the plain poll() loop (or the
// window's loop with --gui).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_console.h"
#include "panel_palette.h"
#include "panel_spec.h"
#include "qt_loop_bridge.h"
#include "simulator.h"

#ifndef VORN_VERSION_TEXT
#define VORN_VERSION_TEXT "unknown"
#endif

namespace {

using vorn::sim::CommandConsole;
using vorn::sim::PanelSpec;
using vorn::sim::Simulator;

int g_signalPipe[2] = {-1, -1};

// Async-signal-safe: only write() on the non-blocking pipe.
extern "C" void OnTerminate(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

std::string Usage() {
    std::string text =
        "Usage: panelsim [--gui] [--alive MS] [--verbose] [--replay FILE [--replay-panel N]] PANELSPEC...\n"
        "       panelsim --help | --version\n"
        "Simulates control panels for the panel driver, over TCP or a pseudo-terminal.\n"
        "\n"
        "Options:\n"
        "  --gui         show each panel's buttons in a window; a click sends press\n"
        "                and release\n"
        "  --alive MS    send the alive message 130,id,125 every MS milliseconds on\n"
        "                each connected panel (default 1000; 0 never)\n"
        "  --verbose     log every frame received and sent on standard error\n"
        "  --replay FILE send the blocks that panel N sent to the driver, as the\n"
        "                driver's traffic file records them (traffic.txt of a support\n"
        "                bundle), on the first PANELSPEC each time it connects, with\n"
        "                their recorded gaps (add --alive 0 for those bytes alone)\n"
        "  --replay-panel N\n"
        "                the panel of the file to replay (default: the first with a block)\n"
        "  --help        this text\n"
        "  --version     the version\n"
        "\n" +
        vorn::sim::PanelSpecHelp() +
        "\n"
        "Standard output: one line per panel once its transport is open, then 'ready':\n"
        "  panel 1 tcp 127.0.0.1 40123\n"
        "  panel 2 pty /dev/pts/7 /tmp/x/COM3     (- when there is no symlink)\n"
        "  ready\n"
        "then the answers to the commands. Events and undecodable bytes are logged\n"
        "on standard error.\n"
        "\n" +
        Simulator::CommandHelp() +
        "\n"
        "Window colours for colour numbers 0..9:";
    for (std::size_t i = 0; i < vorn::sim::kColourPalette.size(); ++i) {
        if (i % 5 == 0) text += "\n ";
        text += " " + std::to_string(i) + " " + std::string(vorn::sim::kColourPalette[i].name) + " (" +
                std::string(vorn::sim::kColourPalette[i].rgb) + ")";
    }
    text += "\n  other numbers grey; lamps lit " + std::string(vorn::sim::kLampOn.rgb) + ", dark " +
            std::string(vorn::sim::kLampOff.rgb) +
            "\n\nSIGINT and SIGTERM end the simulator with exit code 0 and remove its symlinks.\n"
            "Exit codes: 0 done, 1 a transport could not be opened, 2 bad arguments.\n";
    return text;
}

int BadArguments(const std::string& why) {
    std::fprintf(stderr, "panelsim: %s\nTry 'panelsim --help'.\n", why.c_str());
    return 2;
}

struct Arguments {
    bool gui = false;
    bool verbose = false;
    int aliveMs = 1000;
    std::string replayFile;
    int replayPanel = 0;
    std::vector<PanelSpec> panels;
};

// 0 parsed; otherwise the exit code (help or version printed: 0 via helpShown).
int ParseArguments(int argc, char** argv, Arguments& args, bool& helpShown) {
    helpShown = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(Usage().c_str(), stdout);
            helpShown = true;
            return 0;
        } else if (a == "--version") {
            std::printf("panelsim %s\n", VORN_VERSION_TEXT);
            helpShown = true;
            return 0;
        } else if (a == "--gui") {
            args.gui = true;
        } else if (a == "--verbose" || a == "-v") {
            args.verbose = true;
        } else if (a == "--alive" || a.rfind("--alive=", 0) == 0) {
            std::string value;
            if (a == "--alive") {
                if (i + 1 >= argc) return BadArguments("--alive needs a number of milliseconds");
                value = argv[++i];
            } else {
                value = a.substr(8);
            }
            int ms = -1;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
            if (value.empty() || ec != std::errc{} || end != value.data() + value.size() || ms < 0 ||
                ms > 3600000)
                return BadArguments("bad --alive value '" + value + "' (0..3600000 ms)");
            args.aliveMs = ms;
        } else if (a == "--replay" || a == "--replay-panel") {
            if (i + 1 >= argc) return BadArguments(a + " needs a value");
            const std::string value = argv[++i];
            if (a == "--replay") {
                args.replayFile = value;
            } else {
                auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), args.replayPanel);
                if (value.empty() || ec != std::errc{} || end != value.data() + value.size() || args.replayPanel < 1 ||
                    args.replayPanel > 99)
                    return BadArguments("bad --replay-panel value '" + value + "' (1..99)");
            }
        } else if (a.rfind("-", 0) == 0) {
            return BadArguments("unknown option " + a);
        } else {
            PanelSpec spec;
            std::string error;
            if (!vorn::sim::ParsePanelSpec(a, spec, error)) return BadArguments(error);
            args.panels.push_back(spec);
        }
    }
    if (args.panels.empty()) return BadArguments("no PANELSPEC given");
    if (args.replayPanel != 0 && args.replayFile.empty()) return BadArguments("--replay-panel needs --replay");
    return 0;
}

bool InstallSignals() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa{};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A driver that goes away mid-write must not end the simulator.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// The loop without a window: poll() over the panels' descriptors, standard
// input and the signal pipe, with the simulator's next timer as timeout.
void RunPlainLoop(Simulator& sim, CommandConsole& console) {
    while (!console.quit()) {
        std::vector<pollfd> fds = sim.PollSet();
        const std::size_t simCount = fds.size();
        fds.push_back({g_signalPipe[0], POLLIN, 0});
        if (console.fd() >= 0) fds.push_back({console.fd(), POLLIN, 0});
        const int rc = poll(fds.data(), fds.size(), sim.TimeoutMs(Simulator::Clock::now()));
        if (rc < 0 && errno != EINTR) {
            std::fprintf(stderr, "panelsim: poll: %s\n", std::strerror(errno));
            return;
        }
        if (fds[simCount].revents != 0) return;  // SIGINT or SIGTERM
        if (rc > 0 && fds.size() > simCount + 1 && fds[simCount + 1].revents != 0) console.OnReadable();
        if (console.quit()) return;
        sim.Dispatch({fds.data(), simCount}, Simulator::Clock::now());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    bool helpShown = false;
    if (int rc = ParseArguments(argc, argv, args, helpShown); rc != 0 || helpShown) return rc;
    if (!InstallSignals()) {
        std::fprintf(stderr, "panelsim: cannot make the signal pipe: %s\n", std::strerror(errno));
        return 1;
    }

    Simulator sim({args.aliveMs, args.verbose}, [](std::string_view line) {
        std::fprintf(stderr, "panelsim: %.*s\n", static_cast<int>(line.size()), line.data());
    });
    for (const PanelSpec& spec : args.panels) {
        std::string error;
        if (!sim.AddPanel(spec, error)) {
            std::fprintf(stderr, "panelsim: panel %d: %s\n", sim.PanelCount() + 1, error.c_str());
            sim.Shutdown();
            return 1;
        }
    }
    if (!args.replayFile.empty()) {
        std::vector<vorn::sim::ReplayBlock> blocks;
        std::string error;
        int panel = args.replayPanel;
        if (!vorn::sim::LoadReplay(args.replayFile, &panel, &blocks, &error)) {
            std::fprintf(stderr, "panelsim: %s\n", error.c_str());
            sim.Shutdown();
            return 2;
        }
        std::fprintf(stderr, "panelsim: replaying %zu blocks of panel %d on panel 1\n", blocks.size(), panel);
        sim.SetReplay(1, std::move(blocks));
    }
    CommandConsole console(sim, STDIN_FILENO, STDOUT_FILENO);
    for (const std::string& line : sim.StartLines()) console.WriteLine(line);
    console.WriteLine("ready");

    int rc = 0;
    if (args.gui) {
        rc = vorn::sim::RunWindowLoop(sim, console, g_signalPipe[0], argv[0]);
    } else {
        RunPlainLoop(sim, console);
    }
    sim.Shutdown();
    return rc;
}
