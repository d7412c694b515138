#pragma once
// The panel simulator without any user interface: a set of simulated panels,
// each a model fed by its transport, the alive messages, and the text
// commands. Qt-free, so tests and other tools can run it in-process.
//
// Threading: one thread. The owner runs the loop: PollSet() and TimeoutMs()
// say what to wait for, Dispatch() handles what became ready and every
// timer that is due. Nothing here blocks: sockets and the pty are
// non-blocking.

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver_frame_decoder.h"
#include "panel_link.h"
#include "panel_model.h"
#include "panel_spec.h"
#include "traffic_replay.h"

namespace vorn::sim {

class Simulator {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        int aliveMs = 1000;    // period of alive messages; 0 never
        bool verbose = false;  // log every decoded frame
    };

    struct Answer {
        std::vector<std::string> lines;  // output lines; the last is "ok" or "error <reason>"
        bool quit = false;               // the command was quit
    };

    // log receives one line per event (connections, undecodable bytes,
    // failed writes, and with verbose every frame), without newline.
    Simulator(Options options, std::function<void(std::string_view)> log, Clock::time_point now = Clock::now());
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the panel's transport and adds it as the next panel number
    // (1, 2, ...). False with the reason when the transport cannot be made.
    bool AddPanel(const PanelSpec& spec, std::string& error);

    // "panel N tcp HOST PORT" / "panel N pty SLAVE LINK|-", one per panel.
    std::vector<std::string> StartLines() const;

    int PanelCount() const { return static_cast<int>(panels_.size()); }
    // Panel 1..PanelCount(); the caller checks the range.
    const PanelModel& Model(int panel) const;
    bool Connected(int panel) const;
    std::string_view Transport(int panel) const;

    // Runs one command line (see CommandHelp()).
    Answer Execute(std::string_view line);

    // Sends a button message 131, id, action, button (joystick: id + 64).
    // False with the reason when the panel is not connected.
    bool SendButton(int panel, uint8_t action, uint8_t number, bool joystick, std::string& error);
    bool SendBytes(int panel, std::span<const uint8_t> bytes, std::string& error);

    // Descriptors to wait on for input, and how long at most (ms; -1 none).
    std::vector<pollfd> PollSet() const;
    int TimeoutMs(Clock::time_point now) const;
    // Handles the ready entries of a PollSet() result (revents != 0; other
    // entries and unknown descriptors are ignored) and then all due timers.
    void Dispatch(std::span<const pollfd> ready, Clock::time_point now);

    // Replays blocks on panel each time its transport connects: the first
    // at once, each next one after its gap. Alive messages go on as set by
    // the options (0 for none).
    void SetReplay(int panel, std::vector<ReplayBlock> blocks);

    // Called with the panel number whenever its model or connection changed.
    void SetChangeHandler(std::function<void(int panel)> handler) { changed_ = std::move(handler); }
    // Called for every frame decoded from the driver, junk included, before
    // the model takes it (for harnesses that check every frame).
    void SetFrameHandler(std::function<void(int panel, const DecodedFrame&)> handler) {
        frameSeen_ = std::move(handler);
    }

    // Closes every transport and removes the COM symlinks. Idempotent.
    void Shutdown();

    // The command syntax for --help.
    static std::string CommandHelp();

private:
    struct Panel;

    void OnBytes(int panel, std::span<const uint8_t> bytes);
    void OnState(int panel, bool connected, std::string_view why);
    void SendAlive(int panel);
    void Log(int panel, std::string_view text);
    void Changed(int panel);
    Panel* Find(int panel);

    Options options_;
    std::function<void(std::string_view)> log_;
    std::function<void(int)> changed_;
    std::function<void(int, const DecodedFrame&)> frameSeen_;
    std::vector<std::unique_ptr<Panel>> panels_;
    Clock::time_point nextAlive_;
    int replayPanel_ = 0;
    std::vector<ReplayBlock> replay_;
    std::size_t replayNext_ = 0;
    Clock::time_point replayAt_ = Clock::time_point::max();  // max: nothing due
};

}  // namespace vorn::sim
