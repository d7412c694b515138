#include "simulator.h"

#include <algorithm>
#include <charconv>

#include "protocol/panel_frames.h"
#include "pty_panel_link.h"
#include "tcp_panel_link.h"

namespace vorn::sim {

struct Simulator::Panel {
    PanelSpec spec;
    PanelModel model;
    std::unique_ptr<PanelLink> link;
    DecodeCarry carry;  // cleared whenever the connection changes
    bool off = false;   // switched off with its line kept: silent, deaf, faces forgotten
};

Simulator::Simulator(Options options, std::function<void(std::string_view)> log, Clock::time_point now)
    : options_(options), log_(std::move(log)), nextAlive_(now + std::chrono::milliseconds(options.aliveMs)) {}

Simulator::~Simulator() { Shutdown(); }

bool Simulator::AddPanel(const PanelSpec& spec, std::string& error) {
    std::unique_ptr<PanelLink> link;
    if (spec.transport == PanelSpec::Transport::Tcp) {
        link = TcpPanelLink::Open(spec.host, spec.port, error);
    } else {
        link = PtyPanelLink::Open(spec.linkName, spec.linkDir, error);
    }
    if (!link) return false;
    const int number = PanelCount() + 1;
    link->SetCallbacks({
        [this, number](std::span<const uint8_t> bytes) { OnBytes(number, bytes); },
        [this, number](bool connected, std::string_view why) { OnState(number, connected, why); },
        [this, number](std::string_view text) { Log(number, text); },
    });
    panels_.push_back(
        std::make_unique<Panel>(Panel{spec, PanelModel(spec.type, spec.commsId), std::move(link), {}, false}));
    return true;
}

std::vector<std::string> Simulator::StartLines() const {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        const PanelLink& link = *panels_[i]->link;
        lines.push_back("panel " + std::to_string(i + 1) + " " + std::string(link.Kind()) + " " + link.Where());
    }
    return lines;
}

Simulator::Panel* Simulator::Find(int panel) {
    if (panel < 1 || panel > PanelCount()) return nullptr;
    return panels_[static_cast<std::size_t>(panel - 1)].get();
}

const PanelModel& Simulator::Model(int panel) const { return panels_.at(static_cast<std::size_t>(panel - 1))->model; }

bool Simulator::Connected(int panel) const { return panels_.at(static_cast<std::size_t>(panel - 1))->link->Connected(); }

std::string_view Simulator::Transport(int panel) const {
    return panels_.at(static_cast<std::size_t>(panel - 1))->link->Kind();
}

void Simulator::Log(int panel, std::string_view text) {
    if (log_) log_("panel " + std::to_string(panel) + ": " + std::string(text));
}

void Simulator::Changed(int panel) {
    if (changed_) changed_(panel);
}

void Simulator::OnBytes(int panel, std::span<const uint8_t> bytes) {
    Panel* p = Find(panel);
    if (p == nullptr || p->off) return;  // a panel without power takes nothing in
    p->model.counts().rxBytes += bytes.size();
    DecodeResult r = DecodeDriverFrames(p->carry, bytes, p->model.commsId());
    p->carry = r.carry;
    for (const DecodedFrame& f : r.frames) {
        if (frameSeen_) frameSeen_(panel, f);
        const std::string problem = p->model.Apply(f);
        if (!problem.empty()) {
            Log(panel, problem);
        } else if (options_.verbose) {
            std::string line = std::string(FrameKindName(f.kind)) + (f.foreign ? " (foreign)" : "") + ": " +
                               HexBytes(f.bytes);
            Log(panel, line);
        }
    }
    Changed(panel);
}

void Simulator::OnState(int panel, bool connected, std::string_view why) {
    Panel* p = Find(panel);
    if (p == nullptr) return;
    // Bytes of an old connection never join the new one.
    p->carry.Clear();
    Log(panel, std::string(connected ? "connected (" : "disconnected (") + std::string(why) + ")");
    if (panel == replayPanel_) {
        replayNext_ = 0;
        replayAt_ = connected && !replay_.empty() ? Clock::now() : Clock::time_point::max();
    }
    Changed(panel);
}

void Simulator::SetReplay(int panel, std::vector<ReplayBlock> blocks) {
    replayPanel_ = panel;
    replay_ = std::move(blocks);
    replayNext_ = 0;
    replayAt_ = Find(panel) != nullptr && Find(panel)->link->Connected() && !replay_.empty() ? Clock::now()
                                                                                           : Clock::time_point::max();
}

bool Simulator::SendBytes(int panel, std::span<const uint8_t> bytes, std::string& error) {
    Panel* p = Find(panel);
    if (p == nullptr) {
        error = "no panel " + std::to_string(panel);
        return false;
    }
    if (!p->link->Send(bytes, error)) return false;
    ++p->model.counts().sentMessages;
    if (options_.verbose) Log(panel, "sent " + HexBytes({bytes.begin(), bytes.end()}));
    Changed(panel);
    return true;
}

bool Simulator::SendButton(int panel, uint8_t action, uint8_t number, bool joystick, std::string& error) {
    Panel* p = Find(panel);
    if (p == nullptr) {
        error = "no panel " + std::to_string(panel);
        return false;
    }
    const uint8_t id = static_cast<uint8_t>(p->model.commsId() + (joystick ? kJoystickAddressOffset : 0));
    const uint8_t frame[4] = {MSG_BUTTON, id, action, number};
    return SendBytes(panel, frame, error);
}

void Simulator::SendAlive(int panel) {
    Panel* p = Find(panel);
    if (p == nullptr || !p->link->Connected() || p->off) return;
    const uint8_t frame[3] = {MSG_PANEL, p->model.commsId(), PANEL_ALIVE};
    std::string error;
    if (!SendBytes(panel, frame, error)) Log(panel, "alive not sent: " + error);
}

std::vector<pollfd> Simulator::PollSet() const {
    std::vector<pollfd> fds;
    for (const auto& p : panels_) p->link->AddPollFds(fds);
    return fds;
}

int Simulator::TimeoutMs(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    if (options_.aliveMs > 0) next = nextAlive_;
    for (const auto& p : panels_) next = std::min(next, p->link->NextTimer());
    next = std::min(next, replayAt_);
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    // Rounded up, so that the wake-up never comes before the timer is due.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
    return static_cast<int>(std::min<long long>((us + 999) / 1000, 24LL * 3600 * 1000));
}

void Simulator::Dispatch(std::span<const pollfd> ready, Clock::time_point now) {
    for (const pollfd& r : ready) {
        if (r.revents == 0) continue;
        // Each link ignores descriptors that are not its own.
        for (std::size_t i = 0; i < panels_.size(); ++i) panels_[i]->link->OnReady(r.fd, r.revents);
    }
    for (const auto& p : panels_) {
        if (p->link->NextTimer() <= now) p->link->OnTimer(now);
    }
    // Blocks due are sent in order, each on its own schedule from the one
    // before, so a late start does not squeeze the gaps that follow.
    while (replayAt_ <= now && replayNext_ < replay_.size()) {
        std::string error;
        if (!SendBytes(replayPanel_, replay_[replayNext_].bytes, error)) Log(replayPanel_, "replay: " + error);
        if (++replayNext_ == replay_.size()) {
            Log(replayPanel_, "replay done: " + std::to_string(replay_.size()) + " blocks");
            replayAt_ = Clock::time_point::max();
        } else {
            replayAt_ += replay_[replayNext_].after;
        }
    }
    if (options_.aliveMs > 0 && now >= nextAlive_) {
        for (int n = 1; n <= PanelCount(); ++n) SendAlive(n);
        const auto period = std::chrono::milliseconds(options_.aliveMs);
        nextAlive_ += period;
        // After a stall (a suspended process) the schedule restarts from
        // now instead of sending the missed alives in a burst.
        if (nextAlive_ <= now) nextAlive_ = now + period;
    }
}

void Simulator::Shutdown() {
    for (auto& p : panels_) p->link->Close();
}

namespace {

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    // Bounded by the line length: each turn moves i forward.
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool ParseNumber(std::string_view text, int max, int& out) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value < 0 || value > max)
        return false;
    out = value;
    return true;
}

// "82 01 7D", "82017D" and "0x82" forms; false on anything else.
bool ParseHexBytes(std::span<const std::string_view> tokens, std::vector<uint8_t>& out) {
    for (std::string_view t : tokens) {
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.remove_prefix(2);
        if (t.empty() || t.size() % 2 != 0) return false;
        for (std::size_t i = 0; i < t.size(); i += 2) {
            unsigned v = 0;
            auto [end, ec] = std::from_chars(t.data() + i, t.data() + i + 2, v, 16);
            if (ec != std::errc{} || end != t.data() + i + 2) return false;
            out.push_back(static_cast<uint8_t>(v));
        }
    }
    return !out.empty();
}

}  // namespace

Simulator::Answer Simulator::Execute(std::string_view line) {
    Answer answer;
    auto fail = [&answer](std::string reason) {
        answer.lines.push_back("error " + reason);
        return answer;
    };
    std::vector<std::string_view> t = Tokens(line);
    if (t.empty()) return fail("empty command");
    int panel = 1;
    if (!t[0].empty() && t[0][0] >= '0' && t[0][0] <= '9') {
        if (!ParseNumber(t[0], 1000000, panel) || panel < 1 || panel > PanelCount())
            return fail("no panel " + std::string(t[0]) + " (1.." + std::to_string(PanelCount()) + ")");
        t.erase(t.begin());
        if (t.empty()) return fail("command missing after the panel number");
    }
    const std::string_view verb = t[0];
    const std::span<const std::string_view> args(t.data() + 1, t.size() - 1);
    std::string error;
    auto oneNumber = [&](int& value) {
        return args.size() == 1 && ParseNumber(args[0], 255, value);
    };

    if (verb == "press" || verb == "release" || verb == "joy" || verb == "joyrelease") {
        int n = 0;
        if (!oneNumber(n)) return fail(std::string(verb) + " needs one number 0..255");
        const bool joystick = verb == "joy" || verb == "joyrelease";
        const uint8_t action = verb == "press" || verb == "joy" ? ACTION_PRESS
                               : verb == "release"              ? ACTION_RELEASE
                                                                : ACTION_RELEASE5;
        if (!SendButton(panel, action, static_cast<uint8_t>(n), joystick, error)) return fail(error);
    } else if (verb == "alive") {
        if (!args.empty()) return fail("alive takes no argument");
        const uint8_t frame[3] = {MSG_PANEL, Find(panel)->model.commsId(), PANEL_ALIVE};
        if (!SendBytes(panel, frame, error)) return fail(error);
    } else if (verb == "raw") {
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(args, bytes)) return fail("raw needs hexadecimal bytes, as in raw 83 01 01 07");
        if (!SendBytes(panel, bytes, error)) return fail(error);
    } else if (verb == "dump") {
        if (!args.empty()) return fail("dump takes no argument");
        answer.lines.push_back(Model(panel).ToJson(panel, Transport(panel), Connected(panel)));
    } else if (verb == "pause" || verb == "resume") {
        if (!args.empty()) return fail(std::string(verb) + " takes no argument");
        Find(panel)->link->SetPaused(verb == "pause");
    } else if (verb == "off" || verb == "on") {
        if (!args.empty()) return fail(std::string(verb) + " takes no argument");
        Panel* p = Find(panel);
        // Power lost: the faces go; the line stays as it is (no hang-up).
        if (verb == "off" && !p->off) p->model.ClearFaces();
        p->off = verb == "off";
        p->carry.Clear();
        Changed(panel);
    } else if (verb == "drop") {
        if (!args.empty()) return fail("drop takes no argument");
        if (!Find(panel)->link->Drop(error)) return fail(error);
    } else if (verb == "quit") {
        answer.quit = true;
    } else if (verb == "help") {
        std::string help = CommandHelp();
        std::size_t start = 0;
        for (std::size_t nl = help.find('\n'); nl != std::string::npos; nl = help.find('\n', start)) {
            answer.lines.push_back(help.substr(start, nl - start));
            start = nl + 1;
        }
    } else {
        return fail("unknown command '" + std::string(verb) + "' (try help)");
    }
    answer.lines.push_back("ok");
    return answer;
}

std::string Simulator::CommandHelp() {
    return "Commands on standard input, one per line, each answered by 'ok' or\n"
           "'error <reason>' (dump and help print their lines first). A leading\n"
           "panel number picks the panel (default 1), e.g. '2 press 5':\n"
           "  press B        send 131,id,1,B (button pressed)\n"
           "  release B      send 131,id,0,B (button released)\n"
           "  joy N          send 131,id+64,1,N (joystick action)\n"
           "  joyrelease N   send 131,id+64,5,N (joystick released)\n"
           "  alive          send 130,id,125 now\n"
           "  raw HEX...     send bytes as given, e.g. raw 83 01 01 07 or raw 83010107\n"
           "  dump           print the panel as one line of JSON\n"
           "  drop           close the TCP connection; on a pty, hang the line up and put\n"
           "                 a new one under the same COM link\n"
           "  pause          stop reading what the driver sends (it waits in the kernel);\n"
           "                 alive messages and presses still go out\n"
           "  resume         read again\n"
           "  off            switch the panel off with its line kept: no alive messages,\n"
           "                 what comes is lost, the faces are forgotten\n"
           "  on             switch it on again: alive messages resume, the faces\n"
           "                 stay blank until the driver sends them\n"
           "  help           this text\n"
           "  quit           exit 0\n"
           "B and N are decimal 0..255. At the end of the input the simulator keeps\n"
           "running until quit, SIGINT or SIGTERM.\n";
}

}  // namespace vorn::sim
