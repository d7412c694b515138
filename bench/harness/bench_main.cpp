// pellax-bench: runs the driver and the bare relay (bench-relay) against the
// same harness (reference Infodriver, control client, fake TCP panels) and
// prints driver | relay | ratio. Rounds of the two alternate within one run
// so that the machine's load falls on both alike. Usually started through
// scripts/bench; --help lists the options.

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "event_loop.h"
#include "figures.h"
#include "page_push.h"
#include "report.h"
#include "scenarios.h"
#include "world.h"

namespace vorn::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kPanels = 12;
const std::set<std::string> kSections = {"latency", "burst", "slowline", "paused", "stalled", "idle", "spawn",
                                         "failover", "page", "reload"};
constexpr size_t kLongBurst = 400000;

struct Options {
    bool quick = false;
    int rounds = 3;
    size_t changes = 50000;
    size_t samples = 1000;
    size_t presses = 1000;
    double idleSeconds = 20;
    int spawnRuns = 5;
    int failoverRuns = 3;
    size_t pauseChanges = 100000;
    double pauseSeconds = 5;
    double stallSeconds = 10;
    size_t stallChanges = 12200;
    std::string json;
    std::string binDir;
    std::string workDir;
    std::string note = "pellax-bench";
    bool keep = false;
    std::set<std::string> only;
    std::vector<System> systems = {System::Driver, System::Relay};
};

void Usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: pellax-bench [options]\n"
                 "  --quick            correctness only (driver; nothing lost, reordered or stale); exit 1 on a fault\n"
                 "  --rounds N         latency and burst rounds per system (3)\n"
                 "  --changes N        label and colour changes per burst (50000; quick 20000)\n"
                 "  --long-burst       400000 changes per burst: the driver's throughput, not the harness's\n"
                 "  --pause-changes N  label changes to the paused panel (100000; quick 20000)\n"
                 "  --pause-seconds S  how long the paused panel reads nothing (5; quick 2)\n"
                 "  --stall-seconds S  how long the stalled serial panel reads nothing (10)\n"
                 "  --stall-changes N  label changes to it at once as it stops (12200)\n"
                 "  --samples N        latency samples of each kind per round (1000)\n"
                 "  --presses N        presses and releases per press burst (1000; quick 400)\n"
                 "  --idle-seconds S   idle measurement (20)\n"
                 "  --spawn-runs N     spawn measurements per system (5)\n"
                 "  --failover-runs N  failovers per system and signal (3)\n"
                 "  --only LIST        sections, comma-separated:\n"
                 "                     latency,burst,slowline,paused,stalled,idle,spawn,failover,page,reload\n"
                 "                     (page: the driver's status page under 500 changes/s, once per round;\n"
                 "                     reload: SIGHUP reloads changing six of twelve panels, the other six\n"
                 "                     getting a label every ms; five reloads per round)\n"
                 "  --system NAME      driver, relay or both (both)\n"
                 "  --json FILE        write every figure as JSON\n"
                 "  --note TEXT        first line of the report (commit, date)\n"
                 "  --bin-dir DIR      pellax-panel, infodriver and bench-relay (this program's directory)\n"
                 "  --work-dir DIR     where the runs' directories go (a new one under $TMPDIR or /tmp)\n"
                 "  --keep             keep the run directories (logs, settings)\n"
                 "Exit: 0 done, 1 the driver lost, reordered or left stale changes, cut a frame or was cut off,\n"
                 "2 the bench failed.\n");
}

bool ParseOptions(int argc, char** argv, Options* o) {
    bool changesSet = false;
    bool pressesSet = false;
    bool pauseSet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw BenchError(a + " needs a value");
            return argv[++i];
        };
        auto number = [&]() -> long {
            const std::string v = value();
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (*end != '\0' || n < 1) throw BenchError(a + ": not a positive number: " + v);
            return n;
        };
        if (a == "--quick") {
            o->quick = true;
        } else if (a == "--rounds") {
            o->rounds = static_cast<int>(number());
        } else if (a == "--changes") {
            o->changes = static_cast<size_t>(number());
            changesSet = true;
            // Labels carry the change's number in six digits.
            if (o->changes >= 1000000) throw BenchError("--changes: at most 999999");
        } else if (a == "--long-burst") {
            o->changes = kLongBurst;
            changesSet = true;
        } else if (a == "--pause-changes") {
            o->pauseChanges = static_cast<size_t>(number());
            pauseSet = true;
        } else if (a == "--pause-seconds") {
            o->pauseSeconds = static_cast<double>(number());
            pauseSet = true;
        } else if (a == "--stall-seconds") {
            o->stallSeconds = static_cast<double>(number());
        } else if (a == "--stall-changes") {
            o->stallChanges = static_cast<size_t>(number());
        } else if (a == "--samples") {
            o->samples = static_cast<size_t>(number());
        } else if (a == "--presses") {
            o->presses = static_cast<size_t>(number()) / 2 * 2;
            pressesSet = true;
        } else if (a == "--idle-seconds") {
            o->idleSeconds = static_cast<double>(number());
        } else if (a == "--spawn-runs") {
            o->spawnRuns = static_cast<int>(number());
        } else if (a == "--failover-runs") {
            o->failoverRuns = static_cast<int>(number());
        } else if (a == "--only") {
            const std::string list = value();
            size_t start = 0;
            while (start <= list.size()) {
                const size_t comma = std::min(list.find(',', start), list.size());
                const std::string s = list.substr(start, comma - start);
                if (kSections.count(s) == 0) throw BenchError("unknown section: " + s);
                o->only.insert(s);
                start = comma + 1;
            }
        } else if (a == "--system") {
            const std::string s = value();
            if (s == "driver") {
                o->systems = {System::Driver};
            } else if (s == "relay") {
                o->systems = {System::Relay};
            } else if (s != "both") {
                throw BenchError("--system: driver, relay or both");
            }
        } else if (a == "--json") {
            o->json = value();
        } else if (a == "--note") {
            o->note = value();
        } else if (a == "--bin-dir") {
            o->binDir = value();
        } else if (a == "--work-dir") {
            o->workDir = value();
        } else if (a == "--keep") {
            o->keep = true;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            return false;
        } else {
            throw BenchError("unknown option: " + a);
        }
    }
    if (o->quick) {
        o->systems = {System::Driver};
        o->only = {"burst", "slowline", "paused"};
        o->rounds = 1;
        if (!changesSet) o->changes = 20000;
        if (!pressesSet) o->presses = 400;
        if (!pauseSet) {
            o->pauseChanges = 20000;
            o->pauseSeconds = 2;
        }
    }
    if (o->only.empty()) o->only = kSections;
    return true;
}

// The one-minute load average; other work on the machine shows in every
// timing, so the report says how busy it was when the run began.
std::string LoadAverage() {
    std::FILE* f = std::fopen("/proc/loadavg", "r");
    if (f == nullptr) return "?";
    char text[16] = "?";
    if (std::fscanf(f, "%15s", text) != 1) std::strcpy(text, "?");
    std::fclose(f);
    return text;
}

// CPU seconds the machine has been busy, and those of this process and its
// reaped children (every system, relay and Infodriver the bench started).
struct CpuUse {
    double machine = 0;
    double ours = 0;
};

CpuUse CpuNow() {
    CpuUse use;
    std::FILE* f = std::fopen("/proc/stat", "r");
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait, &irq,
                        &softirq, &steal) == 8) {
            use.machine = static_cast<double>(user + nice + system + irq + softirq + steal) /
                          static_cast<double>(sysconf(_SC_CLK_TCK));
        }
        std::fclose(f);
    }
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage r{};
        getrusage(who, &r);
        use.ours += static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                    static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    }
    return use;
}

std::string OwnDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return std::filesystem::path(path).parent_path().string();
}

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("bench: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

class Bench {
public:
    Bench(const Options& o, const Binaries& bins, std::string root) : o_(o), bins_(bins), root_(std::move(root)) {}

    Results Run() {
        Results res;
        res.note = o_.note + ", load " + LoadAverage() + " at start";
        res.quick = o_.quick;
        res.changes = o_.changes;
        res.samples = o_.samples;
        if (Has("latency") || Has("burst")) Rounds(res);
        if (Has("slowline") && Runs(System::Driver)) {
            Progress("slow line, driver");
            auto w = NewWorld(0, 1);
            w->Start(1s);
            w->Launch(System::Driver);
            w->WaitPanelsReady(20s, 300ms);
            const SlowLineFigures f = MeasureSlowLine(*w);
            Progress("  last page shown %.3f s after the burst (%.3f s at line rate), %zu bytes (%.2f pages)",
                     f.shownSeconds, f.lineSeconds, f.sentBytes, double(f.sentBytes) / double(f.pageBytes));
            res.driver.slowLine.push_back(f);
            Done(std::move(w));
        }
        if (Has("paused")) {
            for (System s : o_.systems) {
                Progress("paused panel, %s: %zu changes, %.0f s", SystemName(s), o_.pauseChanges, o_.pauseSeconds);
                auto w = NewWorld();
                w->Start(1s);
                ChildProcess& c = w->Launch(s);
                w->WaitPanelsReady(20s, 300ms);
                const PausedFigures f = MeasurePausedPanel(*w, c, o_.pauseChanges, Span(o_.pauseSeconds));
                Progress("  last labels shown %.3f s after resuming; lost %zu, bytes cut %zu, RSS +%ld KiB",
                         f.shownSeconds, f.lostLast, f.cutBytes, f.rssPeakKib - f.rssBeforeKib);
                Of(res, s).paused.push_back(f);
                Done(std::move(w));
            }
        }
        if (Has("stalled") && Runs(System::Driver)) {
            Progress("stalled serial panel, driver: %.0f s, %zu changes", o_.stallSeconds, o_.stallChanges);
            auto w = NewWorld(kPanels - 1, 1, true);
            w->Start(1s);
            ChildProcess& c = w->Launch(System::Driver);
            w->WaitPanelsReady(20s, 300ms);
            const StalledFigures f = MeasureStalledSerial(*w, c, 5s, Span(o_.stallSeconds), o_.stallChanges);
            Progress("  longest loop lag %.1f ms (%.1f ms before); press p99 %.3f ms (%.3f ms before); cut off: %s",
                     f.loopLagSeconds * 1000, f.loopLagBeforeSeconds * 1000, Percentile(f.during.ms, 99).value_or(-1),
                     Percentile(f.before.ms, 99).value_or(-1), f.cutOff ? "yes" : "no");
            res.driver.stalled.push_back(f);
            if (!f.cutOff) Done(std::move(w));
        }
        if (Has("idle")) {
            for (System s : o_.systems) {
                Progress("idle %s, %.0f s", SystemName(s), o_.idleSeconds);
                auto w = NewWorld();
                w->Start(1s);
                ChildProcess& c = w->Launch(s);
                w->WaitPanelsReady(20s, 300ms);
                Of(res, s).idle.push_back(MeasureIdle(*w, c, o_.idleSeconds));
                Done(std::move(w));
            }
        }
        if (Has("spawn")) {
            for (int k = 0; k < o_.spawnRuns; ++k) {
                for (System s : Order(k)) {
                    auto w = NewWorld();
                    w->Start(1s);
                    const double t = MeasureSpawn(*w, s);
                    Progress("spawn %s %d: %.3f s", SystemName(s), k + 1, t);
                    Of(res, s).spawnSeconds.push_back(t);
                    Done(std::move(w));
                }
            }
        }
        if (Has("page") && std::count(o_.systems.begin(), o_.systems.end(), System::Driver) != 0) {
            for (int r = 1; r <= o_.rounds; ++r) {
                Progress("page %d/%d: 500 changes/s, 4 pages on /events", r, o_.rounds);
                auto w = NewWorld(kPanels, 0, true);
                w->Start(1s);
                ChildProcess& c = w->Launch(System::Driver);
                w->WaitPanelsReady(20s, 300ms);
                res.page.push_back(MeasurePagePush(*w, c, 10.0, 500.0, 4));
                Done(std::move(w));
            }
        }
        if (Has("reload") && Runs(System::Driver)) {
            for (int r = 1; r <= o_.rounds; ++r) {
                Progress("reload %d/%d: 6 of 12 panels changed, a label every ms to the other 6", r, o_.rounds);
                auto w = NewWorld();
                w->Start(1s);
                ChildProcess& c = w->Launch(System::Driver);
                w->WaitPanelsReady(20s, 300ms);
                const ReloadFigures f = MeasureReload(*w, c, 5);
                Progress("  reload %.1f ms (median), untouched frame gap %.1f ms during against %.1f ms before (max)",
                         Median(f.reloadMs).value_or(-1), Percentile(f.gapMsDuring, 100).value_or(-1),
                         Percentile(f.gapMsBefore, 100).value_or(-1));
                res.reload.push_back(f);
                Done(std::move(w));
            }
        }
        if (Has("failover")) {
            for (int sig : {SIGKILL, SIGTERM}) {
                for (int k = 0; k < o_.failoverRuns; ++k) {
                    for (System s : Order(k)) {
                        auto w = NewWorld();
                        w->Start(1s);
                        const FailoverSample f = MeasureFailover(*w, s, sig);
                        Progress("failover %s %s %d: connect %.3f s, first frame %.3f s", SystemName(s),
                                 sig == SIGKILL ? "SIGKILL" : "SIGTERM", k + 1, f.connectSeconds, f.frameSeconds);
                        (sig == SIGKILL ? Of(res, s).failoverKill : Of(res, s).failoverTerm).push_back(f);
                        Done(std::move(w));
                    }
                }
            }
        }
        return res;
    }

private:
    bool Has(const char* section) const { return o_.only.count(section) != 0; }
    static SystemResults& Of(Results& r, System s) { return s == System::Driver ? r.driver : r.relay; }

    // Round k runs the systems in turn, the other one first every other round.
    std::vector<System> Order(int k) const {
        std::vector<System> order = o_.systems;
        if (k % 2 == 1) std::reverse(order.begin(), order.end());
        return order;
    }

    std::unique_ptr<World> NewWorld(int panels = kPanels, int ptyPanels = 0, bool statusPage = false) {
        return std::make_unique<World>(loop_, bins_, root_ + "/run-" + std::to_string(++worlds_), panels, ptyPanels,
                                       statusPage);
    }
    bool Runs(System s) const { return std::find(o_.systems.begin(), o_.systems.end(), s) != o_.systems.end(); }
    static Clock::duration Span(double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    void Done(std::unique_ptr<World> w) {
        const std::string dir = w->dir();
        w.reset();
        if (!o_.keep) std::filesystem::remove_all(dir);
    }

    void Rounds(Results& res) {
        for (int r = 1; r <= o_.rounds; ++r) {
            for (System s : Order(r - 1)) {
                Progress("round %d/%d, %s", r, o_.rounds, SystemName(s));
                auto w = NewWorld();
                w->Start(1s);
                ChildProcess& c = w->Launch(s);
                w->WaitPanelsReady(20s, 300ms);
                RoundFigures f;
                f.system = s;
                if (Has("latency")) {
                    MeasureLatencyOut(*w, o_.samples, &f);
                    MeasureLatencyIn(*w, o_.samples, &f);
                }
                if (Has("burst")) {
                    RunPressBurst(*w, o_.presses, 5s, &f.presses);
                    RunChangeBurst(*w, c, o_.changes, r, o_.quick ? 8s : 20s, &f.burst);
                    const BurstFigures& b = f.burst;
                    Progress("  %zu changes in %.2f s (%.0f/s%s): last changes lost %zu, thinned %zu, reordered %zu, "
                             "stale %zu, write-backs %zu; presses lost %zu, reordered %zu",
                             b.changes, b.seconds, b.changesPerSecond, b.complete ? "" : ", incomplete", b.lost,
                             b.thinned, b.reordered, b.stale, b.writeBacks, f.presses.lost, f.presses.reordered);
                    for (const std::string& e : b.staleExamples) Progress("  stale: %s", e.c_str());
                }
                Of(res, s).rounds.push_back(std::move(f));
                Done(std::move(w));
            }
        }
    }

    const Options& o_;
    Binaries bins_;
    std::string root_;
    EventLoop loop_;
    int worlds_ = 0;
};

int Main(int argc, char** argv) {
    InstallInterruptHandlers();
    Options o;
    std::string root;
    try {
        if (!ParseOptions(argc, argv, &o)) return 0;
        const std::string bin = o.binDir.empty() ? OwnDirectory() : o.binDir;
        const Binaries bins{bin + "/pellax-panel", bin + "/bench-relay", bin + "/infodriver"};
        for (const std::string& p : {bins.driver, bins.relay, bins.infodriver}) {
            if (access(p.c_str(), X_OK) != 0) throw BenchError("not found: " + p);
        }
        std::string base = o.workDir;
        if (base.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        std::string templ = base + "/pellax-bench.XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) throw BenchError("cannot create a directory in " + base);
        root = templ;

        Bench bench(o, bins, root);
        const CpuUse before = CpuNow();
        const Clock::time_point start = Clock::now();
        Results res = bench.Run();
        const CpuUse after = CpuNow();
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double others = (after.machine - before.machine) - (after.ours - before.ours);
        char busy[96];
        std::snprintf(busy, sizeof busy, "; other processes used %.0f%% of a core during the run",
                      std::max(0.0, others / wall * 100.0));
        res.note += busy;
        std::fflush(stderr);
        PrintTable(res, stdout);
        std::fflush(stdout);
        if (!o.json.empty() && !WriteJson(res, o.json)) throw BenchError("cannot write " + o.json);
        if (!o.keep) std::filesystem::remove_all(root);
        if (CorrectnessFaults(res.relay) != 0) {
            std::fprintf(stderr, "bench: the relay lost or reordered changes: the harness is at fault\n");
            return 2;
        }
        return CorrectnessFaults(res.driver) + OutputFaults(res.driver) + ReloadFaults(res.reload) == 0 ? 0 : 1;
    } catch (const Interrupted&) {
        std::fprintf(stderr, "bench: interrupted%s%s\n", root.empty() ? "" : "; files kept in ", root.c_str());
        return 2;
    } catch (const BenchError& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        if (!root.empty()) std::fprintf(stderr, "bench: files kept in %s\n", root.c_str());
        return 2;
    }
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) { return vorn::bench::Main(argc, argv); }
