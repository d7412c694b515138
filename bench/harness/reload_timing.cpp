#include "reload_timing.h"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

#include "figures.h"

namespace vorn::bench {

namespace {

using namespace std::chrono_literals;
using sim::DecodedFrame;
using sim::FrameKind;

constexpr int kUntouched = 6;                    // panels 1..6 get the stream
constexpr auto kStreamPeriod = 1ms;              // one label change this often
constexpr auto kBetweenReloads = 1s;
constexpr auto kReloadDeadline = 10s;
constexpr auto kGapTail = 20ms;                  // a gap that ends just after the reload counts

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The label stream to the untouched panels: write times and arrival times
// by the label's number.
struct Stream {
    std::vector<Clock::time_point> written;
    std::vector<Clock::time_point> arrived;  // epoch: not (yet)
    std::vector<Clock::time_point> frames;   // every arrival, in order
    EventLoop::TimerId timer = 0;
    bool running = false;

    // Longest gap between two label frames that ends in [from, to].
    double LongestGapMs(Clock::time_point from, Clock::time_point to) const {
        double longest = 0;
        for (size_t i = 1; i < frames.size(); ++i) {
            if (frames[i] < from || frames[i] > to) continue;
            longest = std::max(longest, Ms(frames[i] - frames[i - 1]));
        }
        return longest;
    }
    // Longest write-to-frame time of the labels written in [from, to].
    double LongestLatencyMs(Clock::time_point from, Clock::time_point to) const {
        double longest = 0;
        for (size_t i = 0; i < written.size(); ++i) {
            if (written[i] < from || written[i] > to || arrived[i] == Clock::time_point{}) continue;
            longest = std::max(longest, Ms(arrived[i] - written[i]));
        }
        return longest;
    }
};

void WriteNext(World& w, Stream& s) {
    if (!s.running) return;
    const size_t i = s.written.size();
    const int panel = static_cast<int>(i % kUntouched) + 1;
    const int button = static_cast<int>((i / kUntouched) % kButtons) + 1;
    char text[16];
    std::snprintf(text, sizeof text, "RL%07zu", i % 10000000);
    s.written.push_back(w.control().Write(SlotOf(panel, kLabelOffset + button), text));
    s.arrived.emplace_back();
    s.timer = w.loop().At(Clock::now() + kStreamPeriod, [&w, &s] { WriteNext(w, s); });
}

}  // namespace

ReloadFigures MeasureReload(World& w, ChildProcess& driver, int reloads) {
    ReloadFigures out;
    const int panels = w.panelCount();
    out.untouchedPanels = kUntouched;
    out.changedPanels = panels - kUntouched;
    Stream stream;
    for (int n = 1; n <= kUntouched; ++n) {
        w.panel(n).onFrame = [&stream](const DecodedFrame& f, Clock::time_point at) {
            if (f.kind != FrameKind::Text10 || f.text.compare(0, 2, "RL") != 0) return;
            const size_t i = static_cast<size_t>(std::atol(f.text.c_str() + 2));
            if (i >= stream.arrived.size()) return;
            stream.arrived[i] = at;
            stream.frames.push_back(at);
        };
    }
    std::vector<uint64_t> acceptsAtStart(static_cast<size_t>(panels + 1));
    for (int n = 1; n <= panels; ++n) acceptsAtStart[static_cast<size_t>(n)] = w.panel(n).Accepts();

    stream.running = true;
    WriteNext(w, stream);
    for (int k = 1; k <= reloads; ++k) {
        w.loop().RunFor(kBetweenReloads);
        w.CheckSystems();
        // What each changed panel gets on its new connection: done once it
        // shows every button's label and colour again.
        struct Changed {
            uint64_t accepts = 0;
            std::set<int> texts, colours;
            Clock::time_point doneAt{};
        };
        std::vector<Changed> changed(static_cast<size_t>(panels + 1));
        for (int n = kUntouched + 1; n <= panels; ++n) {
            Changed& c = changed[static_cast<size_t>(n)];
            c.accepts = w.panel(n).Accepts();
            w.panel(n).onFrame = [&w, &c, n](const DecodedFrame& f, Clock::time_point at) {
                if (w.panel(n).Accepts() == c.accepts || c.doneAt != Clock::time_point{}) return;
                if (f.kind == FrameKind::Text10) c.texts.insert(f.button);
                if (f.kind == FrameKind::Colour) c.colours.insert(f.button);
                if (c.texts.size() >= static_cast<size_t>(kButtons) && c.colours.size() >= static_cast<size_t>(kButtons)) {
                    c.doneAt = at;
                }
            };
        }
        w.RewriteSettings(kUntouched + 1, k % 2 == 1 ? "-R" : "");
        const Clock::time_point signalled = Clock::now();
        driver.Signal(SIGHUP);
        const auto allDone = [&] {
            for (int n = kUntouched + 1; n <= panels; ++n) {
                if (changed[static_cast<size_t>(n)].doneAt == Clock::time_point{}) return false;
            }
            return true;
        };
        const bool done = w.loop().RunUntil(allDone, signalled + kReloadDeadline);
        for (int n = kUntouched + 1; n <= panels; ++n) w.panel(n).onFrame = nullptr;
        if (!done) {
            ++out.reloadsIncomplete;
            w.CheckSystems();
            continue;
        }
        Clock::time_point doneAt = signalled;
        for (int n = kUntouched + 1; n <= panels; ++n) doneAt = std::max(doneAt, changed[static_cast<size_t>(n)].doneAt);
        w.loop().RunFor(kGapTail);  // frames held up by the reload's last step arrive
        const Clock::duration span = doneAt - signalled;
        out.reloadMs.push_back(Ms(span));
        out.gapMsBefore.push_back(stream.LongestGapMs(signalled - span, signalled));
        out.gapMsDuring.push_back(stream.LongestGapMs(signalled, doneAt + kGapTail));
        out.latencyMsBefore.push_back(stream.LongestLatencyMs(signalled - span, signalled));
        out.latencyMsDuring.push_back(stream.LongestLatencyMs(signalled, doneAt));
    }
    stream.running = false;
    w.loop().Cancel(stream.timer);
    w.loop().RunUntil(
        [&] {
            return std::none_of(stream.arrived.begin(), stream.arrived.end(),
                                [](Clock::time_point t) { return t == Clock::time_point{}; });
        },
        Clock::now() + 2s);
    out.labelsWritten = stream.written.size();
    out.labelsLost = static_cast<size_t>(std::count(stream.arrived.begin(), stream.arrived.end(), Clock::time_point{}));
    for (int n = 1; n <= kUntouched; ++n) {
        out.untouchedReconnects += w.panel(n).Accepts() - acceptsAtStart[static_cast<size_t>(n)];
        w.panel(n).onFrame = nullptr;
    }
    return out;
}

size_t ReloadFaults(const std::vector<ReloadFigures>& runs) {
    size_t faults = 0;
    for (const ReloadFigures& f : runs) faults += f.labelsLost + f.untouchedReconnects + f.reloadsIncomplete;
    return faults;
}

void PrintReload(const std::vector<ReloadFigures>& runs, std::FILE* out) {
    if (runs.empty()) return;
    std::vector<double> reload, gapBefore, gapDuring, latBefore, latDuring;
    size_t written = 0, lost = 0, reconnects = 0, incomplete = 0;
    for (const ReloadFigures& f : runs) {
        reload.insert(reload.end(), f.reloadMs.begin(), f.reloadMs.end());
        gapBefore.insert(gapBefore.end(), f.gapMsBefore.begin(), f.gapMsBefore.end());
        gapDuring.insert(gapDuring.end(), f.gapMsDuring.begin(), f.gapMsDuring.end());
        latBefore.insert(latBefore.end(), f.latencyMsBefore.begin(), f.latencyMsBefore.end());
        latDuring.insert(latDuring.end(), f.latencyMsDuring.begin(), f.latencyMsDuring.end());
        written += f.labelsWritten;
        lost += f.labelsLost;
        reconnects += f.untouchedReconnects;
        incomplete += f.reloadsIncomplete;
    }
    const ReloadFigures& first = runs.front();
    std::fprintf(out,
                 "\nSettings reload (driver; %d CP-2048E panels changed, %d untouched getting a label every %.0f ms; "
                 "%zu reloads)\n",
                 first.changedPanels, first.untouchedPanels, Ms(kStreamPeriod), reload.size() + incomplete);
    std::fprintf(out, "| %-48s | %10s | %10s | %8s |\n", "figure", "median", "max", "target");
    std::fprintf(out, "|%s|%s|%s|%s|\n", std::string(50, '-').c_str(), std::string(12, '-').c_str(),
                 std::string(12, '-').c_str(), std::string(10, '-').c_str());
    const auto row = [&](const char* name, const std::vector<double>& v, const char* target) {
        std::fprintf(out, "| %-48s | %10.1f | %10.1f | %8s |\n", name, Median(v).value_or(-1),
                     Percentile(v, 100).value_or(-1), target);
    };
    row("reload, signal to changed panels refreshed (ms)", reload, "");
    row("untouched: longest frame gap, before (ms)", gapBefore, "");
    row("untouched: longest frame gap, during (ms)", gapDuring, "");
    row("untouched: longest label latency, before (ms)", latBefore, "");
    row("untouched: longest label latency, during (ms)", latDuring, "");
    std::fprintf(out, "| %-48s | %10zu | %10s | %8s |\n", "untouched: labels written", written, "", "");
    std::fprintf(out, "| %-48s | %10zu | %10s | %8s |\n", "untouched: labels lost", lost, "", "0");
    std::fprintf(out, "| %-48s | %10zu | %10s | %8s |\n", "untouched: connected anew", reconnects, "", "0");
    std::fprintf(out, "| %-48s | %10zu | %10s | %8s |\n", "reloads not done within 10 s", incomplete, "", "0");
}

std::string ReloadJson(const std::vector<ReloadFigures>& runs) {
    const auto list = [](const std::vector<double>& v) {
        std::ostringstream o;
        o << "[";
        for (size_t i = 0; i < v.size(); ++i) o << (i ? "," : "") << v[i];
        return o.str() + "]";
    };
    std::ostringstream o;
    o << "[";
    for (size_t i = 0; i < runs.size(); ++i) {
        const ReloadFigures& f = runs[i];
        o << (i ? "," : "") << "{\"changed_panels\":" << f.changedPanels << ",\"untouched_panels\":" << f.untouchedPanels
          << ",\"reload_ms\":" << list(f.reloadMs) << ",\"gap_ms_before\":" << list(f.gapMsBefore)
          << ",\"gap_ms_during\":" << list(f.gapMsDuring) << ",\"latency_ms_before\":" << list(f.latencyMsBefore)
          << ",\"latency_ms_during\":" << list(f.latencyMsDuring) << ",\"labels_written\":" << f.labelsWritten
          << ",\"labels_lost\":" << f.labelsLost << ",\"untouched_reconnects\":" << f.untouchedReconnects
          << ",\"reloads_incomplete\":" << f.reloadsIncomplete << "}";
    }
    return o.str() + "]";
}

}  // namespace vorn::bench
