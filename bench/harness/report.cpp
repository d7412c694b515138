#include "report.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "figures.h"

namespace vorn::bench {

namespace {

using Value = std::optional<double>;
using LatencyKind = LatencySamples RoundFigures::*;

enum class Target { None, RatioAtMost, RatioAtLeast, AtMost, Zero };

struct Row {
    std::string name;
    Value driver;
    Value relay;
    int decimals = 2;
    Target target = Target::None;
    double limit = 0;
    bool ratio = false;  // driver/relay means something for this figure
};

Value Ratio(const Row& r) {
    if (!r.ratio || !r.driver || !r.relay || *r.relay <= 0) return std::nullopt;
    return *r.driver / *r.relay;
}

// True or false when the row has a target and the figures to judge it.
std::optional<bool> Verdict(const Row& r) {
    const Value ratio = Ratio(r);
    switch (r.target) {
        case Target::None: return std::nullopt;
        case Target::RatioAtMost: return ratio ? std::optional<bool>(*ratio <= r.limit) : std::nullopt;
        case Target::RatioAtLeast: return ratio ? std::optional<bool>(*ratio >= r.limit) : std::nullopt;
        case Target::AtMost: return r.driver ? std::optional<bool>(*r.driver <= r.limit) : std::nullopt;
        case Target::Zero: return r.driver ? std::optional<bool>(*r.driver == 0) : std::nullopt;
    }
    return std::nullopt;
}

std::string TargetText(const Row& r) {
    char text[32];
    switch (r.target) {
        case Target::None: return "";
        case Target::RatioAtMost: std::snprintf(text, sizeof text, "<= %.1fx", r.limit); return text;
        case Target::RatioAtLeast: std::snprintf(text, sizeof text, ">= %.1fx", r.limit); return text;
        case Target::AtMost: std::snprintf(text, sizeof text, "<= %g", r.limit); return text;
        case Target::Zero: return "0";
    }
    return "";
}

std::string Number(Value v, int decimals) {
    if (!v) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, *v);
    return text;
}

Value LatencyStat(const SystemResults& r, LatencyKind kind, double percent) {
    std::vector<double> perRound;
    for (const RoundFigures& f : r.rounds) {
        if (Value p = Percentile((f.*kind).ms, percent)) perRound.push_back(*p);
    }
    return Median(perRound);
}

Value MedianOver(const std::vector<RoundFigures>& rounds, const std::function<double(const RoundFigures&)>& get) {
    std::vector<double> v;
    for (const RoundFigures& f : rounds) v.push_back(get(f));
    return Median(v);
}

Value SumOver(const std::vector<RoundFigures>& rounds, const std::function<double(const RoundFigures&)>& get) {
    if (rounds.empty()) return std::nullopt;
    double sum = 0;
    for (const RoundFigures& f : rounds) sum += get(f);
    return sum;
}

Value MaxOver(const std::vector<RoundFigures>& rounds, const std::function<double(const RoundFigures&)>& get) {
    Value best;
    for (const RoundFigures& f : rounds) best = best ? std::max(*best, get(f)) : get(f);
    return best;
}

Value Megabytes(Value kib) { return kib ? std::optional<double>(*kib * 1024.0 / 1e6) : std::nullopt; }

Value MedianOf(const std::vector<double>& v) { return Median(v); }

Value FailoverMedian(const std::vector<FailoverSample>& v, bool frame) {
    std::vector<double> s;
    for (const FailoverSample& f : v) s.push_back(frame ? f.frameSeconds : f.connectSeconds);
    return Median(s);
}

Value IdleMedian(const std::vector<IdleFigures>& v, const std::function<double(const IdleFigures&)>& get) {
    std::vector<double> s;
    for (const IdleFigures& f : v) s.push_back(get(f));
    return Median(s);
}

std::vector<Row> BuildRows(const Results& res) {
    const SystemResults& d = res.driver;
    const SystemResults& r = res.relay;
    std::vector<Row> rows;
    auto both = [&](const std::function<Value(const SystemResults&)>& get) { return std::make_pair(get(d), get(r)); };
    auto add = [&](const std::string& name, std::pair<Value, Value> v, int decimals, Target t = Target::None,
                   double limit = 0) { rows.push_back(Row{name, v.first, v.second, decimals, t, limit}); };
    // Timings compared with the relay; the others are judged on their own.
    auto compared = [&](const std::string& name, std::pair<Value, Value> v, int decimals, Target t = Target::None,
                        double limit = 0) { rows.push_back(Row{name, v.first, v.second, decimals, t, limit, true}); };

    if (!d.rounds.empty() || !r.rounds.empty()) {
        const struct {
            const char* name;
            LatencyKind kind;
        } kinds[] = {{"latency out, label", &RoundFigures::outLabel},
                     {"latency out, colour", &RoundFigures::outColour},
                     {"latency in, press", &RoundFigures::inPress},
                     {"latency in, release", &RoundFigures::inRelease}};
        for (const auto& k : kinds) {
            const bool measured = !d.rounds.empty() && !(d.rounds[0].*k.kind).ms.empty();
            if (!measured && (r.rounds.empty() || (r.rounds[0].*k.kind).ms.empty())) continue;
            compared(std::string(k.name) + " p50 (ms)", both([&](auto& s) { return LatencyStat(s, k.kind, 50); }), 3,
                Target::RatioAtMost, 1.3);
            compared(std::string(k.name) + " p99 (ms)", both([&](auto& s) { return LatencyStat(s, k.kind, 99); }), 3,
                Target::RatioAtMost, 2.0);
            compared(std::string(k.name) + " max (ms)", both([&](auto& s) { return LatencyStat(s, k.kind, 100); }), 3);
            add(std::string(k.name) + " no answer", both([&](auto& s) {
                    return SumOver(s.rounds, [&](const RoundFigures& f) { return double((f.*k.kind).missed); });
                }),
                0, Target::Zero);
        }
        auto burst = [&](const std::function<double(const BurstFigures&)>& get) {
            return [get](const RoundFigures& f) { return get(f.burst); };
        };
        if (!res.quick) {
            compared("throughput (changes/s)",
                both([&](auto& s) { return MedianOver(s.rounds, burst([](auto& b) { return b.changesPerSecond; })); }),
                0, Target::RatioAtLeast, 0.9);
        }
        compared("burst time (s)", both([&](auto& s) { return MedianOver(s.rounds, burst([](auto& b) { return b.seconds; })); }),
            2);
        compared("CPU during burst (s)",
            both([&](auto& s) { return MedianOver(s.rounds, burst([](auto& b) { return b.cpuSeconds; })); }), 2);
        add("RSS before burst (MB)", both([&](auto& s) {
                return Megabytes(MaxOver(s.rounds, burst([](auto& b) { return double(b.rssBeforeKib); })));
            }),
            1);
        add("RSS peak in burst (MB)", both([&](auto& s) {
                return Megabytes(MaxOver(s.rounds, burst([](auto& b) { return double(b.rssPeakKib); })));
            }),
            1);
        add("last changes lost", both([&](auto& s) { return SumOver(s.rounds, burst([](auto& b) { return double(b.lost); })); }),
            0, Target::Zero);
        add("changes thinned", both([&](auto& s) {
                return SumOver(s.rounds, burst([](auto& b) { return double(b.thinned); }));
            }),
            0);
        add("changes reordered",
            both([&](auto& s) { return SumOver(s.rounds, burst([](auto& b) { return double(b.reordered); })); }), 0,
            Target::Zero);
        add("extra frames",
            both([&](auto& s) { return SumOver(s.rounds, burst([](auto& b) { return double(b.extra); })); }), 0);
        add("stale slots", both([&](auto& s) { return SumOver(s.rounds, burst([](auto& b) { return double(b.stale); })); }),
            0, Target::Zero);
        add("write-backs", both([&](auto& s) {
                return SumOver(s.rounds, burst([](auto& b) { return double(b.writeBacks); }));
            }),
            0);
        add("write-backs (% of changes)", both([&](auto& s) -> Value {
                const Value wb = SumOver(s.rounds, burst([](auto& b) { return double(b.writeBacks); }));
                const Value ch = SumOver(s.rounds, burst([](auto& b) { return double(b.changes); }));
                if (!wb || !ch || *ch == 0) return std::nullopt;
                return *wb / *ch * 100.0;
            }),
            2, Target::AtMost, 1.0);
        add("presses lost", both([&](auto& s) {
                return SumOver(s.rounds, [](const RoundFigures& f) { return double(f.presses.lost); });
            }),
            0, Target::Zero);
        add("presses reordered", both([&](auto& s) {
                return SumOver(s.rounds, [](const RoundFigures& f) { return double(f.presses.reordered); });
            }),
            0, Target::Zero);
    }
    if (!d.slowLine.empty()) {
        const SlowLineFigures& f = d.slowLine.front();
        auto one = [](Value v) { return std::make_pair(v, Value()); };
        auto median = [&](const std::function<double(const SlowLineFigures&)>& get) {
            std::vector<double> v;
            for (const SlowLineFigures& x : d.slowLine) v.push_back(get(x));
            return Median(v);
        };
        add("slow line: last page shown (s)", one(median([](auto& x) { return x.shownSeconds; })), 3, Target::AtMost,
            1.2 * f.lineSeconds + 0.2);
        add("slow line: last page at line rate (s)", one(median([](auto& x) { return x.lineSeconds; })), 3);
        add("slow line: bytes sent (pages)",
            one(median([](auto& x) { return double(x.sentBytes) / double(x.pageBytes); })), 2, Target::AtMost,
            1.5 + double(f.aheadBytes) / double(f.pageBytes));
        add("slow line: bytes cut", one(median([](auto& x) { return double(x.junkBytes); })), 0, Target::Zero);
    }
    if (!d.paused.empty() || !r.paused.empty()) {
        auto median = [](const SystemResults& x, const std::function<double(const PausedFigures&)>& get) -> Value {
            std::vector<double> v;
            for (const PausedFigures& p : x.paused) v.push_back(get(p));
            return Median(v);
        };
        add("paused panel: last labels shown (s)", both([&](auto& x) { return median(x, [](auto& p) { return p.shownSeconds; }); }),
            3, Target::AtMost, 1.0);
        add("paused panel: last labels lost", both([&](auto& x) { return median(x, [](auto& p) { return double(p.lostLast); }); }),
            0, Target::Zero);
        add("paused panel: bytes cut", both([&](auto& x) { return median(x, [](auto& p) { return double(p.cutBytes); }); }),
            0, Target::Zero);
        add("paused panel: RSS growth (MB)", both([&](auto& x) {
                return Megabytes(median(x, [](auto& p) { return double(p.rssPeakKib - p.rssBeforeKib); }));
            }),
            1, Target::AtMost, 2.0);
    }
    if (!d.stalled.empty()) {
        const StalledFigures& f = d.stalled.front();
        auto one = [](Value v) { return std::make_pair(v, Value()); };
        const Value p99before = Percentile(f.before.ms, 99);
        add("stalled serial: longest loop lag (ms)",
            one(f.loopLagSeconds < 0 ? Value() : Value(f.loopLagSeconds * 1000)), 1, Target::AtMost, 20);
        add("stalled serial: press p50 (ms)", one(Percentile(f.during.ms, 50)), 3);
        add("stalled serial: press p99 (ms)", one(Percentile(f.during.ms, 99)), 3, Target::AtMost,
            p99before ? 2 * *p99before : 0);
        add("stalled serial: press max (ms)", one(Percentile(f.during.ms, 100)), 3);
        add("stalled serial: press p99 before (ms)", one(p99before), 3);
        add("stalled serial: press no answer", one(double(f.during.missed)), 0, Target::Zero);
        add("stalled serial: cut off", one(f.cutOff ? 1.0 : 0.0), 0, Target::Zero);
    }
    if (!d.idle.empty() || !r.idle.empty()) {
        add("idle CPU (% of a core)", both([](auto& s) { return IdleMedian(s.idle, [](auto& f) { return f.cpuPercent; }); }),
            3, Target::AtMost, 0.3);
        add("idle RSS (MB)", both([](auto& s) {
                return Megabytes(IdleMedian(s.idle, [](auto& f) { return double(f.rssKib); }));
            }),
            1, Target::AtMost, 30);
    }
    if (!d.spawnSeconds.empty() || !r.spawnSeconds.empty()) {
        add("spawn to first frame (s)", both([](auto& s) { return MedianOf(s.spawnSeconds); }), 3, Target::AtMost, 1.2);
    }
    if (!d.failoverKill.empty() || !r.failoverKill.empty()) {
        add("failover SIGKILL, connect (s)", both([](auto& s) { return FailoverMedian(s.failoverKill, false); }), 3);
        add("failover SIGKILL, first frame (s)", both([](auto& s) { return FailoverMedian(s.failoverKill, true); }), 3);
    }
    if (!d.failoverTerm.empty() || !r.failoverTerm.empty()) {
        add("failover SIGTERM, connect (s)", both([](auto& s) { return FailoverMedian(s.failoverTerm, false); }), 3);
        add("failover SIGTERM, first frame (s)", both([](auto& s) { return FailoverMedian(s.failoverTerm, true); }), 3);
    }
    return rows;
}

std::string JsonNumber(Value v) {
    if (!v || !std::isfinite(*v)) return "null";
    std::ostringstream s;
    s.precision(9);
    s << *v;
    return s.str();
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string LatencyJson(const LatencySamples& s) {
    std::ostringstream o;
    o << "{\"samples\":" << s.ms.size() << ",\"missed\":" << s.missed
      << ",\"p50_ms\":" << JsonNumber(Percentile(s.ms, 50)) << ",\"p99_ms\":" << JsonNumber(Percentile(s.ms, 99))
      << ",\"max_ms\":" << JsonNumber(Percentile(s.ms, 100)) << "}";
    return o.str();
}

std::string SystemJson(const SystemResults& r) {
    std::ostringstream o;
    o << "{\"rounds\":[";
    for (size_t i = 0; i < r.rounds.size(); ++i) {
        const RoundFigures& f = r.rounds[i];
        const BurstFigures& b = f.burst;
        o << (i ? "," : "") << "{\"latency_out_label\":" << LatencyJson(f.outLabel)
          << ",\"latency_out_colour\":" << LatencyJson(f.outColour) << ",\"latency_in_press\":" << LatencyJson(f.inPress)
          << ",\"latency_in_release\":" << LatencyJson(f.inRelease) << ",\"presses\":{\"events\":" << f.presses.events
          << ",\"lost\":" << f.presses.lost << ",\"reordered\":" << f.presses.reordered
          << ",\"extra\":" << f.presses.extra << "},\"burst\":{\"changes\":" << b.changes
          << ",\"complete\":" << (b.complete ? "true" : "false") << ",\"seconds\":" << JsonNumber(b.seconds)
          << ",\"changes_per_s\":" << JsonNumber(b.changesPerSecond) << ",\"lost\":" << b.lost
          << ",\"thinned\":" << b.thinned
          << ",\"reordered\":" << b.reordered << ",\"extra\":" << b.extra << ",\"stale\":" << b.stale
          << ",\"write_backs\":" << b.writeBacks << ",\"cpu_s\":" << JsonNumber(b.cpuSeconds)
          << ",\"rss_before_kib\":" << b.rssBeforeKib << ",\"rss_peak_kib\":" << b.rssPeakKib << "}}";
    }
    o << "],\"idle\":[";
    for (size_t i = 0; i < r.idle.size(); ++i) {
        const IdleFigures& f = r.idle[i];
        o << (i ? "," : "") << "{\"seconds\":" << JsonNumber(f.seconds) << ",\"cpu_percent\":" << JsonNumber(f.cpuPercent)
          << ",\"rss_kib\":" << f.rssKib << ",\"peak_rss_kib\":" << f.peakRssKib << ",\"frames\":" << f.framesSeen
          << "}";
    }
    o << "],\"slow_line\":[";
    for (size_t i = 0; i < r.slowLine.size(); ++i) {
        const SlowLineFigures& f = r.slowLine[i];
        o << (i ? "," : "") << "{\"shown_s\":" << JsonNumber(f.shownSeconds) << ",\"line_s\":" << JsonNumber(f.lineSeconds)
          << ",\"page_bytes\":" << f.pageBytes << ",\"sent_bytes\":" << f.sentBytes << ",\"ahead_bytes\":" << f.aheadBytes
          << ",\"junk_bytes\":" << f.junkBytes << "}";
    }
    o << "],\"paused\":[";
    for (size_t i = 0; i < r.paused.size(); ++i) {
        const PausedFigures& f = r.paused[i];
        o << (i ? "," : "") << "{\"changes\":" << f.changes << ",\"shown_s\":" << JsonNumber(f.shownSeconds)
          << ",\"cut_bytes\":" << f.cutBytes << ",\"lost_last\":" << f.lostLast << ",\"rss_before_kib\":" << f.rssBeforeKib
          << ",\"rss_peak_kib\":" << f.rssPeakKib << "}";
    }
    o << "],\"stalled\":[";
    for (size_t i = 0; i < r.stalled.size(); ++i) {
        const StalledFigures& f = r.stalled[i];
        o << (i ? "," : "") << "{\"before\":" << LatencyJson(f.before) << ",\"during\":" << LatencyJson(f.during)
          << ",\"loop_lag_before_s\":" << JsonNumber(f.loopLagBeforeSeconds)
          << ",\"loop_lag_s\":" << JsonNumber(f.loopLagSeconds) << ",\"cut_off\":" << (f.cutOff ? "true" : "false")
          << "}";
    }
    o << "],\"spawn_s\":[";
    for (size_t i = 0; i < r.spawnSeconds.size(); ++i) o << (i ? "," : "") << JsonNumber(r.spawnSeconds[i]);
    for (const auto& [name, list] : {std::make_pair("failover_kill", &r.failoverKill),
                                     std::make_pair("failover_term", &r.failoverTerm)}) {
        o << "],\"" << name << "\":[";
        for (size_t i = 0; i < list->size(); ++i) {
            o << (i ? "," : "") << "{\"connect_s\":" << JsonNumber((*list)[i].connectSeconds)
              << ",\"first_frame_s\":" << JsonNumber((*list)[i].frameSeconds) << "}";
        }
    }
    o << "]}";
    return o.str();
}

}  // namespace

size_t OutputFaults(const SystemResults& r) {
    size_t faults = 0;
    for (const SlowLineFigures& f : r.slowLine) faults += (f.shownSeconds < 0) + f.junkBytes;
    for (const PausedFigures& f : r.paused) faults += (f.shownSeconds < 0) + f.lostLast + f.cutBytes;
    for (const StalledFigures& f : r.stalled) faults += (f.cutOff ? 1 : 0) + f.during.missed;
    return faults;
}

size_t CorrectnessFaults(const SystemResults& r) {
    size_t faults = 0;
    for (const RoundFigures& f : r.rounds) {
        faults += f.burst.lost + f.burst.reordered + f.burst.stale + f.presses.lost + f.presses.reordered;
        faults += f.outLabel.missed + f.outColour.missed + f.inPress.missed + f.inRelease.missed;
    }
    return faults;
}

void PrintTable(const Results& res, std::FILE* out) {
    const std::vector<Row> rows = BuildRows(res);
    std::fprintf(out, "%s\n", res.note.c_str());
    if (res.quick) {
        std::fprintf(out, "%-36s %12s %9s %s\n", "quick check", "driver", "target", "");
        for (const Row& r : rows) {
            const std::optional<bool> ok = Verdict(r);
            if (r.target != Target::Zero) continue;
            std::fprintf(out, "%-36s %12s %9s %s\n", r.name.c_str(), Number(r.driver, r.decimals).c_str(),
                         TargetText(r).c_str(), ok ? (*ok ? "ok" : "FAIL") : "");
        }
        for (const Row& r : rows) {
            if (r.target == Target::Zero) continue;
            std::fprintf(out, "%-36s %12s %9s %s\n", r.name.c_str(), Number(r.driver, r.decimals).c_str(), "", "");
        }
        return;
    }
    if (rows.empty()) {  // only the page or reload section ran
        PrintPagePush(res.page, out);
        PrintReload(res.reload, out);
        return;
    }
    std::fprintf(out, "| %-34s | %10s | %10s | %8s | %8s | %-4s |\n", "figure", "driver", "relay", "ratio", "target",
                 "");
    std::fprintf(out, "|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(12, '-').c_str(),
                 std::string(12, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str(),
                 std::string(6, '-').c_str());
    for (const Row& r : rows) {
        const Value ratio = Ratio(r);
        const std::optional<bool> ok = Verdict(r);
        std::string ratioText = ratio ? Number(ratio, 2) + "x" : "";
        std::fprintf(out, "| %-34s | %10s | %10s | %8s | %8s | %-4s |\n", r.name.c_str(),
                     Number(r.driver, r.decimals).c_str(), Number(r.relay, r.decimals).c_str(), ratioText.c_str(),
                     TargetText(r).c_str(), ok ? (*ok ? "ok" : "MISS") : "");
    }
    PrintPagePush(res.page, out);
    PrintReload(res.reload, out);
}

bool WriteJson(const Results& res, const std::string& path) {
    std::ofstream o(path);
    o << "{\"note\":" << JsonString(res.note) << ",\"quick\":" << (res.quick ? "true" : "false")
      << ",\"changes\":" << res.changes << ",\"samples\":" << res.samples << ",\"driver\":" << SystemJson(res.driver)
      << ",\"relay\":" << SystemJson(res.relay) << ",\"page\":" << PagePushJson(res.page) << ",\"reload\":" << ReloadJson(res.reload)
      << ",\"summary\":[";
    const std::vector<Row> rows = BuildRows(res);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const std::optional<bool> ok = Verdict(r);
        o << (i ? "," : "") << "{\"figure\":" << JsonString(r.name) << ",\"driver\":" << JsonNumber(r.driver)
          << ",\"relay\":" << JsonNumber(r.relay) << ",\"ratio\":" << JsonNumber(Ratio(r))
          << ",\"target\":" << JsonString(TargetText(r)) << ",\"met\":" << (ok ? (*ok ? "true" : "false") : "null")
          << "}";
    }
    o << "]}\n";
    return static_cast<bool>(o);
}

}  // namespace vorn::bench
