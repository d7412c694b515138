// pellax-soak: the driver against twelve simulated panels (eight on TCP,
// four on pseudo-terminals) that drop their lines at random every 5-20 s and
// in between stop reading for 1-5 s (keeping their alive messages), while a
// control client writes 500 label changes a second (and 2000 more a second
// to each panel while it does not read) and a press arrives every 50 ms; a
// watching client records every slot write. See Usage() and the report it
// prints; scripts/soak builds and runs it.
//
// Counting rule: a panel is "up" from the moment the watching client sees
// the driver write "1" into its connection slot (after the "0" of the last
// drop) while the simulator holds its line, until its next drop begins.
// Presses are only sent while a panel is up, so every press and release
// sent must arrive; label changes count when written while the panel is up.
// A drop waits (at most 2 s) until the panel shows the last label written
// into each button, then cuts the line: TCP close, or the pty hung up and a
// new one put under the same COM link. A panel that does not read may be
// sent its labels thinned, but at the end of every up-interval it must show
// the last ones.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "accounts.h"
#include "child_process.h"
#include "control_client.h"
#include "event_loop.h"
#include "panel_spec.h"
#include "protocol/panel_frames.h"
#include "sim_pump.h"
#include "simulator.h"

namespace vorn::soak {
namespace {

using namespace std::chrono_literals;
using bench::BenchError;
using bench::ChildProcess;
using bench::ControlClient;

constexpr int kDevice = 5;
constexpr int kPanels = 12;
constexpr int kTcpPanels = 8;
constexpr int kSlotsPerPanel = 300;
constexpr int kLabelOffset = 50;
constexpr int kStatusOffset = 299;
constexpr auto kTick = 10ms;
constexpr auto kPressEvery = 50ms;
constexpr auto kReleaseAfter = 25ms;
constexpr int kChangesPerSecond = 500;
constexpr auto kDrainLimit = 2s;
constexpr auto kBackLimit = 10s;
constexpr auto kDropMin = 5s;
constexpr auto kDropMax = 20s;
constexpr auto kPauseMin = 1s;
constexpr auto kPauseMax = 5s;
constexpr auto kPauseGapMin = 2s;  // up, reading, between pauses
constexpr auto kPauseGapMax = 8s;
constexpr int kPausedChangesPerSecond = 2000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Options {
    double minutes = 1;
    uint64_t seed = 0;
    std::string dir;
    std::string binDir;
    bool keep = false;
};

// The driver process as the kernel sees it.
struct ProcSample {
    long rssKib = 0;
    long threads = 0;
    long fds = 0;
};

ProcSample SampleProcess(pid_t pid) {
    ProcSample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKib = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
    }
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++s.fds;
    }
    return s;
}

enum class Phase {
    kStarting,  // waiting for the first connection
    kUp,        // counted: presses go out, label changes count
    kDraining,  // a drop is due: waiting for what was sent to arrive
    kDown,      // dropped: waiting for "0", then "1" and the simulator's line
};

struct Panel {
    int number = 0;
    bool tcp = true;
    Phase phase = Phase::kStarting;
    bool sawZero = false;       // kDown: the driver has written "0" since the drop
    bool driverUp = false;      // the driver's last word on the line was "1" (after that "0")
    Clock::time_point nextDrop{};
    Clock::time_point drainStart{};
    Clock::time_point droppedAt{};
    int pendingRelease = 0;     // button pressed and not yet released
    bool paused = false;        // the simulator reads nothing from the driver
    Clock::time_point nextPause{};
    Clock::time_point pauseStart{};
    Clock::time_point pauseEnd{};
    size_t pausedWritten = 0;   // extra label changes of this pause
    size_t pauses = 0;
    Clock::time_point releaseAt{};
    PressAccount presses;
    LabelAccount labels;
    size_t drops = 0;
    double longestBack = 0;
    size_t lateBacks = 0;       // back after more than kBackLimit
    size_t unexpectedLosses = 0;
    size_t framesUp = 0;
    size_t framesAll = 0;
    size_t notSent = 0;         // a press or release the simulator could not send
};

std::string Padded(const std::string& label) {
    std::string s = label.substr(0, 10);
    s.resize(10, ' ');
    return s;
}

class Soak {
public:
    explicit Soak(Options options) : o_(std::move(options)), rng_(o_.seed) {}
    ~Soak();
    int Run();

private:
    void SetUp();
    void WriteSettings(const std::vector<int>& ports) const;
    void OnSlot(int slot, const std::string& text);
    void OnFrame(int panel, const sim::DecodedFrame& f);
    void Tick();
    void HeartBeat();
    void CheckUp(Panel& p);
    void WriteChanges();
    void SendPress();
    void Drop(Panel& p);
    void Pause(Panel& p, bool on);
    Clock::duration Between(Clock::duration low, Clock::duration high);
    void WriteLabel(Panel& p, int button);
    bool AllUp() const;
    bool AllSeen() const;
    void WaitUntil(const std::function<bool()>& done, Clock::duration timeout, const char* what);
    int Report(const ProcSample& start, const ProcSample& middle, const ProcSample& end, std::optional<int> exit);

    Options o_;
    std::mt19937_64 rng_;
    bench::EventLoop loop_;
    ChildProcess::Env env_;
    std::unique_ptr<ChildProcess> infodriver_;
    std::unique_ptr<ChildProcess> driver_;
    std::FILE* simLog_ = nullptr;
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<SimPump> pump_;
    std::unique_ptr<ControlClient> writer_;
    std::unique_ptr<ControlClient> watcher_;
    std::vector<Panel> panels_;
    bool running_ = false;      // presses and changes go out
    bool holdDrops_ = true;     // no new drop or pause begins
    Clock::time_point writeStart_{};
    Clock::time_point nextPress_{};
    size_t changesWritten_ = 0;
    size_t regularWritten_ = 0;  // of the 500 a second
    size_t changesCounted_ = 0;
};

Soak::~Soak() {
    pump_.reset();
    if (sim_) sim_->Shutdown();
    writer_.reset();
    watcher_.reset();
    if (driver_) driver_->Stop(5s);
    if (infodriver_) infodriver_->Stop(5s);
    if (simLog_ != nullptr) std::fclose(simLog_);
}

void MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw BenchError("cannot create " + path + ": " + std::strerror(errno));
    }
}

void Soak::WaitUntil(const std::function<bool()>& done, Clock::duration timeout, const char* what) {
    if (!loop_.RunUntil(done, Clock::now() + timeout)) {
        throw BenchError(std::string(what) + "\n--- driver log\n" + bench::TailOfFile(o_.dir + "/driver.log", 15));
    }
}

void Soak::SetUp() {
    MakeDir(o_.dir);
    for (const char* sub : {"/sock", "/com", "/sys", "/sys/config", "/sys/config/system", "/sys/logs"}) {
        MakeDir(o_.dir + sub);
    }
    env_ = {{"QX_ROOT", o_.dir},
            {"QX_SYSTEM", "sys"},
            {"VORN_COM_DIR", o_.dir + "/com"},
            {"VORN_INFODRIVER_DIR", o_.dir + "/sock"},
            {"QT_QPA_PLATFORM", "offscreen"}};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') {
        MakeDir(o_.dir + "/xdg");
        env_.emplace_back("XDG_RUNTIME_DIR", o_.dir + "/xdg");
    }
    // The loop's heartbeat: schedules, and the re-check of waiting conditions.
    HeartBeat();

    infodriver_ = std::make_unique<ChildProcess>();
    std::string error;
    if (!infodriver_->Start(o_.binDir + "/infodriver", {std::to_string(kDevice)}, env_, o_.dir + "/infodriver.log",
                            &error)) {
        throw BenchError("infodriver: " + error);
    }
    const std::string socketPath = o_.dir + "/sock/infodriver-" + std::to_string(kDevice) + ".sock";
    WaitUntil(
        [&] {
            struct stat st{};
            return stat(socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
        },
        10s, "the infodriver did not start");

    // The panels: 1..8 on TCP, 9..12 on ptys under COM9..COM12.
    simLog_ = std::fopen((o_.dir + "/panelsim.log").c_str(), "a");
    if (simLog_ == nullptr) throw BenchError("cannot open panelsim.log");
    sim_ = std::make_unique<sim::Simulator>(sim::Simulator::Options{1000, false}, [this](std::string_view line) {
        std::fprintf(simLog_, "%.*s\n", static_cast<int>(line.size()), line.data());
    });
    for (int n = 1; n <= kPanels; ++n) {
        char spec[256];
        if (n <= kTcpPanels) {
            std::snprintf(spec, sizeof spec, "tcp:127.0.0.1:0:type=CP-2048E:id=%02X", n);
        } else {
            std::snprintf(spec, sizeof spec, "pty:COM%d:dir=%s/com:type=CP-2048E:id=%02X", n, o_.dir.c_str(), n);
        }
        sim::PanelSpec parsed;
        if (!sim::ParsePanelSpec(spec, parsed, error) || !sim_->AddPanel(parsed, error)) {
            throw BenchError("panel " + std::to_string(n) + ": " + error);
        }
        Panel p;
        p.number = n;
        p.tcp = n <= kTcpPanels;
        panels_.push_back(std::move(p));
    }
    std::vector<int> ports;
    for (const std::string& line : sim_->StartLines()) {
        std::istringstream words(line);
        std::string panel, number, kind, host;
        int port = 0;
        words >> panel >> number >> kind >> host >> port;
        if (kind == "tcp") ports.push_back(port);
    }
    sim_->SetFrameHandler([this](int panel, const sim::DecodedFrame& f) { OnFrame(panel, f); });
    pump_ = std::make_unique<SimPump>(loop_, *sim_);
    pump_->Sync();
    WriteSettings(ports);

    // The control client that writes, and the one that watches.
    auto attach = [&](std::unique_ptr<ControlClient>& client) {
        for (int attempt = 0;; ++attempt) {
            client = std::make_unique<ControlClient>(loop_);
            try {
                client->Attach(socketPath, kDevice);
                return;
            } catch (const BenchError&) {
                if (attempt >= 50) throw;
                loop_.RunFor(20ms);
            }
        }
    };
    attach(writer_);
    attach(watcher_);
    watcher_->onChanged = [this](int slot, const std::string& text, Clock::time_point) { OnSlot(slot, text); };

    driver_ = std::make_unique<ChildProcess>();
    if (!driver_->Start(o_.binDir + "/pellax-panel", {std::to_string(kDevice)}, env_, o_.dir + "/driver.log",
                        &error)) {
        throw BenchError("pellax-panel: " + error);
    }
}

void Soak::HeartBeat() {
    Tick();
    loop_.At(Clock::now() + kTick, [this] { HeartBeat(); });
}

void Soak::WriteSettings(const std::vector<int>& ports) const {
    if (ports.size() != static_cast<size_t>(kTcpPanels)) throw BenchError("the simulator gave no TCP ports");
    char name[64];
    std::snprintf(name, sizeof name, "/sys/config/system/DEV_%03d.ini", kDevice);
    std::ofstream out(o_.dir + name);
    out << "[Pellax_Panel]\nDebugMode=1\nLogMode=1\nRefreshOnConnection=1\nDriver_Identity=soak\n";
    for (const Panel& p : panels_) {
        char id[8];
        std::snprintf(id, sizeof id, "%02X", p.number);
        out << "[Pellax_Panel_" << p.number << "]\nPanel_ID=SOAK-" << p.number
            << "\nPanel_Location=soak\nPanel_Type=CP-2048E\nPanel_Comms_ID=" << id << "\n";
        if (p.tcp) {
            out << "TCPIP_Address=127.0.0.1\nTCPIP_Port=" << ports[static_cast<size_t>(p.number - 1)] << "\n";
        } else {
            out << "Serial_ComPort=" << p.number << "\n";
        }
    }
    if (!out) throw BenchError("cannot write the settings file");
}

void Soak::OnSlot(int slot, const std::string& text) {
    if (slot < 1 || slot > kPanels * kSlotsPerPanel) return;
    Panel& p = panels_[static_cast<size_t>((slot - 1) / kSlotsPerPanel)];
    const int offset = slot - kSlotsPerPanel * (p.number - 1);
    if (offset >= 1 && offset <= kButtons) {
        p.presses.Seen(offset, text);
        return;
    }
    if (offset != kStatusOffset) return;
    if (text == "0") {
        if (p.phase == Phase::kUp || p.phase == Phase::kDraining) {
            // Lost without a drop of ours: counted, and followed until back.
            ++p.unexpectedLosses;
            p.phase = Phase::kDown;
            p.droppedAt = Clock::now();
        }
        p.sawZero = true;
        p.driverUp = false;
    } else if (text == "1") {
        p.driverUp = p.phase == Phase::kStarting || p.sawZero;
    }
    CheckUp(p);
}

void Soak::OnFrame(int panel, const sim::DecodedFrame& f) {
    if (panel < 1 || panel > kPanels || f.kind == sim::FrameKind::Junk) return;
    Panel& p = panels_[static_cast<size_t>(panel - 1)];
    ++p.framesAll;
    if (p.phase == Phase::kUp || p.phase == Phase::kDraining) ++p.framesUp;
    if ((f.kind == sim::FrameKind::Text10 || f.kind == sim::FrameKind::Text8) && !f.foreign) {
        p.labels.Frame(f.button, f.text);
    }
}

// Up once the driver has said so and the simulator holds the line.
void Soak::CheckUp(Panel& p) {
    if (p.phase != Phase::kStarting && p.phase != Phase::kDown) return;
    if (!p.driverUp || !sim_->Connected(p.number)) return;
    const Clock::time_point now = Clock::now();
    if (p.phase == Phase::kDown) {
        const double back = Seconds(now - p.droppedAt);
        p.longestBack = std::max(p.longestBack, back);
        if (back > Seconds(kBackLimit)) ++p.lateBacks;
    }
    p.phase = Phase::kUp;
    p.sawZero = false;
    p.nextDrop = now + Between(kDropMin, kDropMax);
    p.nextPause = now + Between(kPauseGapMin, kPauseGapMax);
}

Clock::duration Soak::Between(Clock::duration low, Clock::duration high) {
    std::uniform_int_distribution<long> wait(std::chrono::duration_cast<std::chrono::milliseconds>(low).count(),
                                             std::chrono::duration_cast<std::chrono::milliseconds>(high).count());
    return std::chrono::milliseconds(wait(rng_));
}

void Soak::Pause(Panel& p, bool on) {
    const sim::Simulator::Answer a = sim_->Execute(std::to_string(p.number) + (on ? " pause" : " resume"));
    pump_->Sync();
    if (a.lines.empty() || a.lines.back() != "ok") throw BenchError("panel " + std::to_string(p.number) + ": pause refused");
    const Clock::time_point now = Clock::now();
    p.paused = on;
    if (on) {
        ++p.pauses;
        p.pauseStart = now;
        p.pauseEnd = now + Between(kPauseMin, kPauseMax);
        p.pausedWritten = 0;
    } else {
        p.nextPause = now + Between(kPauseGapMin, kPauseGapMax);
    }
}

void Soak::Drop(Panel& p) {
    p.labels.EndInterval();
    const sim::Simulator::Answer a = sim_->Execute(std::to_string(p.number) + " drop");
    pump_->Sync();
    if (a.lines.empty() || a.lines.back() != "ok") {
        throw BenchError("panel " + std::to_string(p.number) + ": drop refused: " +
                         (a.lines.empty() ? std::string("?") : a.lines.back()));
    }
    ++p.drops;
    p.phase = Phase::kDown;
    p.sawZero = false;
    p.driverUp = false;
    p.droppedAt = Clock::now();
}

void Soak::WriteLabel(Panel& p, int button) {
    const size_t i = changesWritten_++;
    char text[16];
    std::snprintf(text, sizeof text, "S%07zu", i % 10000000);
    const bool counted = p.phase == Phase::kUp;
    changesCounted_ += counted ? 1 : 0;
    // A TCP panel gets the long text form (ten characters), a serial
    // panel the short one (eight).
    p.labels.Written(button, p.tcp ? Padded(text) : Padded(text).substr(0, 8), counted);
    writer_->Write(kSlotsPerPanel * (p.number - 1) + kLabelOffset + button, text);
}

void Soak::WriteChanges() {
    const Clock::time_point now = Clock::now();
    const auto due = static_cast<size_t>(Seconds(now - writeStart_) * kChangesPerSecond);
    // At most a burst of 100 at once if the loop fell behind.
    for (size_t k = 0; regularWritten_ < due && k < 100; ++k) {
        const size_t i = regularWritten_++;
        WriteLabel(panels_[i % kPanels], static_cast<int>((i / kPanels) % kButtons) + 1);
    }
    // Labels pour into a panel while it does not read.
    for (Panel& p : panels_) {
        if (!p.paused) continue;
        const auto pausedDue = static_cast<size_t>(Seconds(now - p.pauseStart) * kPausedChangesPerSecond);
        for (size_t k = 0; p.pausedWritten < pausedDue && k < 200; ++k) {
            WriteLabel(p, static_cast<int>(p.pausedWritten++ % kButtons) + 1);
        }
    }
}

void Soak::SendPress() {
    std::vector<Panel*> ready;
    for (Panel& p : panels_) {
        if (p.phase == Phase::kUp && p.pendingRelease == 0) ready.push_back(&p);
    }
    if (ready.empty()) return;
    Panel& p = *ready[std::uniform_int_distribution<size_t>(0, ready.size() - 1)(rng_)];
    const int button = std::uniform_int_distribution<int>(1, kButtons)(rng_);
    std::string error;
    if (!sim_->SendButton(p.number, ACTION_PRESS, static_cast<uint8_t>(button), false, error)) {
        ++p.notSent;
        return;
    }
    p.presses.Sent(button, true);
    p.pendingRelease = button;
    p.releaseAt = Clock::now() + kReleaseAfter;
}

void Soak::Tick() {
    if (driver_ && !driver_->Running()) {
        throw BenchError("the driver ended by itself\n--- driver log\n" + bench::TailOfFile(o_.dir + "/driver.log", 20));
    }
    if (!sim_) return;
    const Clock::time_point now = Clock::now();
    for (Panel& p : panels_) {
        CheckUp(p);
        if (p.pendingRelease != 0 && now >= p.releaseAt) {
            std::string error;
            if (sim_->SendButton(p.number, ACTION_RELEASE, static_cast<uint8_t>(p.pendingRelease), false, error)) {
                p.presses.Sent(p.pendingRelease, false);
            } else {
                ++p.notSent;
            }
            p.pendingRelease = 0;
        }
        if (p.paused && (now >= p.pauseEnd || p.phase != Phase::kUp)) Pause(p, false);
        if (p.phase == Phase::kUp && !p.paused && !holdDrops_ && running_ && now >= p.nextPause &&
            now + kPauseMax < p.nextDrop) {
            Pause(p, true);
        }
        if (p.phase == Phase::kUp && !p.paused && !holdDrops_ && now >= p.nextDrop) {
            p.phase = Phase::kDraining;
            p.drainStart = now;
        }
        if (p.phase == Phase::kDraining &&
            ((p.pendingRelease == 0 && p.presses.allSeen() && p.labels.Caught()) ||
             now - p.drainStart >= kDrainLimit)) {
            Drop(p);
        }
    }
    if (!running_) return;
    WriteChanges();
    // Bounded: the schedule moves on by one period per press.
    while (now >= nextPress_) {
        SendPress();
        nextPress_ += kPressEvery;
    }
}

bool Soak::AllUp() const {
    for (const Panel& p : panels_) {
        if (p.phase != Phase::kUp) return false;
    }
    return true;
}

bool Soak::AllSeen() const {
    for (const Panel& p : panels_) {
        if (p.paused || p.pendingRelease != 0 || !p.presses.allSeen() || !p.labels.Caught()) return false;
    }
    return true;
}

int Soak::Run() {
    SetUp();
    WaitUntil([this] { return AllUp(); }, 30s, "the panels did not all connect within 30 s");
    running_ = true;
    writeStart_ = Clock::now();
    nextPress_ = writeStart_;
    loop_.RunFor(2s);  // warm-up: the first refreshes and the queues settle
    const ProcSample start = SampleProcess(driver_->pid());
    const Clock::time_point t0 = Clock::now();
    const auto length = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.minutes * 60));
    std::fprintf(stderr, "soak: %.1f min, seed %llu, in %s\n", o_.minutes, static_cast<unsigned long long>(o_.seed),
                 o_.dir.c_str());

    // Middle: no new drop until every panel is back, then a sample.
    holdDrops_ = false;
    loop_.RunUntil([] { return false; }, t0 + length / 2);
    holdDrops_ = true;
    WaitUntil([this] { return AllUp(); }, 30s, "not every panel came back for the middle sample");
    const ProcSample middle = SampleProcess(driver_->pid());
    holdDrops_ = false;
    loop_.RunUntil([] { return false; }, t0 + length);

    // End: every panel back, then nothing more sent until all has arrived.
    holdDrops_ = true;
    WaitUntil([this] { return AllUp(); }, 30s, "not every panel came back at the end");
    running_ = false;
    for (Panel& p : panels_) {
        if (p.paused) Pause(p, false);
    }
    loop_.RunUntil([this] { return AllSeen(); }, Clock::now() + 5s);
    loop_.RunFor(500ms);  // late duplicates would show here
    for (Panel& p : panels_) p.labels.EndInterval();
    const ProcSample end = SampleProcess(driver_->pid());

    driver_->endExpected = true;
    driver_->Signal(SIGTERM);
    const std::optional<int> exit = driver_->Wait(10s);
    return Report(start, middle, end, exit);
}

int Soak::Report(const ProcSample& start, const ProcSample& middle, const ProcSample& end, std::optional<int> exit) {
    struct Sum {
        size_t panels = 0, pressesSent = 0, releasesSent = 0, pressesSeen = 0, releasesSeen = 0, lost = 0,
               duplicated = 0, reordered = 0, stuck = 0, notSent = 0, labelsCounted = 0, labelsSeen = 0,
               labelsThinned = 0, lastLost = 0, labelsReordered = 0, labelsUnknown = 0, repeats = 0, late = 0,
               framesUp = 0, drops = 0, pauses = 0, lateBacks = 0, unexpected = 0;
        double longestBack = 0;
    } sums[2];  // [0] TCP, [1] serial
    for (const Panel& p : panels_) {
        Sum& s = sums[p.tcp ? 0 : 1];
        ++s.panels;
        s.pressesSent += p.presses.pressesSent();
        s.releasesSent += p.presses.releasesSent();
        s.pressesSeen += p.presses.pressesSeen();
        s.releasesSeen += p.presses.releasesSeen();
        s.lost += p.presses.lost();
        s.duplicated += p.presses.duplicated();
        s.reordered += p.presses.reordered();
        s.stuck += p.presses.stuck();
        s.notSent += p.notSent;
        s.labelsCounted += p.labels.counted();
        s.labelsSeen += p.labels.seen();
        s.labelsThinned += p.labels.thinned();
        s.lastLost += p.labels.lastLost();
        s.pauses += p.pauses;
        s.labelsReordered += p.labels.reordered();
        s.labelsUnknown += p.labels.unknown();
        s.repeats += p.labels.repeats();
        s.late += p.labels.late();
        s.framesUp += p.framesUp;
        s.drops += p.drops;
        s.lateBacks += p.lateBacks;
        s.unexpected += p.unexpectedLosses;
        s.longestBack = std::max(s.longestBack, p.longestBack);
    }
    auto row = [&](const char* name, auto field) {
        std::printf("  %-40s %12zu %12zu\n", name, static_cast<size_t>(field(sums[0])), static_cast<size_t>(field(sums[1])));
    };
    std::printf("soak: %.1f min, seed %llu, driver pid %d\n", o_.minutes, static_cast<unsigned long long>(o_.seed),
                static_cast<int>(driver_->pid()));
    std::printf("  %-40s %12s %12s\n", "", "TCP", "serial");
    row("panels", [](const Sum& s) { return s.panels; });
    row("presses sent (while up)", [](const Sum& s) { return s.pressesSent; });
    row("presses seen", [](const Sum& s) { return s.pressesSeen; });
    row("releases sent (while up)", [](const Sum& s) { return s.releasesSent; });
    row("releases seen", [](const Sum& s) { return s.releasesSeen; });
    row("  lost", [](const Sum& s) { return s.lost; });
    row("  duplicated", [](const Sum& s) { return s.duplicated; });
    row("  reordered", [](const Sum& s) { return s.reordered; });
    row("  stuck at \"1\"", [](const Sum& s) { return s.stuck; });
    row("  not sendable (simulator off line)", [](const Sum& s) { return s.notSent; });
    row("label changes written while up", [](const Sum& s) { return s.labelsCounted; });
    row("  seen at the panel", [](const Sum& s) { return s.labelsSeen; });
    row("  thinned (panel not reading)", [](const Sum& s) { return s.labelsThinned; });
    row("  last label not shown at interval end", [](const Sum& s) { return s.lastLost; });
    row("  reordered", [](const Sum& s) { return s.labelsReordered; });
    row("  unknown labels", [](const Sum& s) { return s.labelsUnknown; });
    row("  repeated (refresh)", [](const Sum& s) { return s.repeats; });
    row("  written while down, shown later", [](const Sum& s) { return s.late; });
    row("frames received while up", [](const Sum& s) { return s.framesUp; });
    row("drops", [](const Sum& s) { return s.drops; });
    row("pauses (1-5 s not reading)", [](const Sum& s) { return s.pauses; });
    std::printf("  %-40s %12.1f %12.1f\n", "longest time back after a drop (s)", sums[0].longestBack,
                sums[1].longestBack);
    row("  back after more than 10 s", [](const Sum& s) { return s.lateBacks; });
    row("lines lost without a drop", [](const Sum& s) { return s.unexpected; });
    std::printf("  label changes written in all: %zu (%zu while their panel was up)\n", changesWritten_,
                changesCounted_);
    std::printf("  %-40s %12s %12s %12s\n", "driver", "start", "middle", "end");
    std::printf("  %-40s %12ld %12ld %12ld\n", "RSS (KiB)", start.rssKib, middle.rssKib, end.rssKib);
    std::printf("  %-40s %12ld %12ld %12ld\n", "threads", start.threads, middle.threads, end.threads);
    std::printf("  %-40s %12ld %12ld %12ld\n", "descriptors", start.fds, middle.fds, end.fds);

    std::vector<std::string> faults;
    auto fault = [&](bool bad, const std::string& what) {
        if (bad) faults.push_back(what);
    };
    for (int k = 0; k < 2; ++k) {
        const Sum& s = sums[k];
        const std::string t = k == 0 ? "TCP: " : "serial: ";
        fault(s.pressesSent == 0, t + "no press was sent");
        fault(s.drops == 0, t + "no line was dropped");
        fault(s.lost + s.duplicated + s.reordered + s.stuck + s.notSent > 0,
              t + "presses lost, duplicated, reordered, stuck or not sendable");
        fault(s.pauses == 0, t + "no panel paused");
        fault(s.lastLost + s.labelsReordered + s.labelsUnknown > 0,
              t + "last labels not shown, label changes reordered or unknown");
        fault(s.lateBacks > 0, t + "a line came back after more than 10 s");
        fault(s.unexpected > 0, t + "a line was lost without a drop");
    }
    // Flat: the same descriptors and threads with every panel connected;
    // memory in the second half grows by less than 5 % (at least 4 MiB).
    fault(middle.fds != start.fds || end.fds != start.fds, "descriptors changed");
    fault(end.threads != start.threads, "threads changed");
    fault(end.rssKib - middle.rssKib > std::max<long>(4096, middle.rssKib / 20), "RSS grew in the second half");
    fault(!exit || *exit != 0, "the driver did not exit with 0 on SIGTERM");
    for (const std::string& f : faults) std::printf("FAULT: %s\n", f.c_str());
    std::printf("soak: %s\n", faults.empty() ? "PASS" : "FAIL");
    std::fflush(stdout);
    return faults.empty() ? 0 : 1;
}

std::string Usage() {
    return "Usage: pellax-soak [--minutes M] [--seed N] [--dir DIR] [--bin DIR] [--keep]\n"
           "Runs the driver with 12 panels (8 TCP, 4 pty) that drop their lines at random\n"
           "every 5-20 s and stop reading for 1-5 s in between, 500 label changes a second\n"
           "(2000 more to a panel that does not read) and a press every 50 ms, for M\n"
           "minutes (default 1), and prints what was sent and seen and the driver's\n"
           "memory, threads and descriptors. --dir keeps everything in DIR (default a\n"
           "new directory under /tmp, removed after a pass unless --keep); --bin names\n"
           "the directory of pellax-panel and infodriver (default: this program's).\n"
           "Exit codes: 0 pass, 1 a fault (listed), 2 the soak itself failed.\n";
}

}  // namespace
}  // namespace vorn::soak

int main(int argc, char** argv) {
    using namespace vorn::soak;
    Options o;
    o.seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pellax-soak: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--minutes") {
            o.minutes = std::atof(value().c_str());
        } else if (a == "--seed") {
            o.seed = std::strtoull(value().c_str(), nullptr, 10);
        } else if (a == "--dir") {
            o.dir = value();
        } else if (a == "--bin") {
            o.binDir = value();
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--help") {
            std::fputs(Usage().c_str(), stdout);
            return 0;
        } else {
            std::fprintf(stderr, "pellax-soak: unknown argument %s\n%s", a.c_str(), Usage().c_str());
            return 2;
        }
    }
    if (!(o.minutes > 0)) {
        std::fprintf(stderr, "pellax-soak: --minutes must be above 0\n");
        return 2;
    }
    if (o.binDir.empty()) o.binDir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    bool madeDir = false;
    if (o.dir.empty()) {
        char dirTemplate[] = "/tmp/pellax-soak-XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) {
            std::perror("pellax-soak: mkdtemp");
            return 2;
        }
        o.dir = dirTemplate;
        madeDir = true;
    }
    vorn::bench::InstallInterruptHandlers();
    int rc = 2;
    try {
        Soak soak(o);
        rc = soak.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pellax-soak: %s\n", e.what());
        rc = 2;
    }
    if (rc == 0 && madeDir && !o.keep) {
        std::error_code ec;
        std::filesystem::remove_all(o.dir, ec);
    } else {
        std::fprintf(stderr, "pellax-soak: logs in %s\n", o.dir.c_str());
    }
    return rc;
}
