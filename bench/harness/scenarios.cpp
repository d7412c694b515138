#include "scenarios.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "figures.h"
#include "proc_stats.h"
#include "transport/info_frame.h"

namespace vorn::bench {

namespace {

using namespace std::chrono_literals;
using sim::DecodedFrame;
using sim::FrameKind;

constexpr auto kAnswerDeadline = 2s;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What a ten-character text frame carries for a label: the label padded
// with blanks (the bench's labels are never longer).
std::string Padded(const std::string& label) {
    std::string s = label.substr(0, 10);
    s.resize(10, ' ');
    return s;
}

// Pause between single samples, 2..4 ms, the same sequence for every system
// so that neither meets the other's timer phases more often.
Clock::duration Gap(size_t i) { return std::chrono::microseconds(2000 + (i * 7919) % 2000); }

void ClearHooks(World& w) {
    for (int n = 1; n <= w.panelCount(); ++n) w.panel(n).onFrame = nullptr;
    w.control().onChanged = nullptr;
}

}  // namespace

void MeasureLatencyOut(World& w, size_t samples, RoundFigures* out) {
    const int panels = w.panelCount();
    std::vector<int> colour(static_cast<size_t>(panels * kButtons + 1), 0);
    for (size_t i = 0; i < 2 * samples; ++i) {
        const bool label = i % 2 == 0;
        const size_t k = i / 2;
        const int panel = static_cast<int>(k % static_cast<size_t>(panels)) + 1;
        const int button = static_cast<int>((k * 7) % kButtons) + 1;
        std::string text;
        std::string key;
        int value = 0;
        if (label) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "LO%07zu", k % 10000000);
            text = buffer;
            key = Padded(text);
        } else {
            int& current = colour[static_cast<size_t>((panel - 1) * kButtons + button)];
            current = current % 9 + 1;  // 1..9, never the previous value
            value = current;
            text = std::to_string(value);
        }
        bool matched = false;
        Clock::time_point arrived{};
        w.panel(panel).onFrame = [&](const DecodedFrame& f, Clock::time_point at) {
            if (matched || f.button != button) return;
            if (label ? (f.kind == FrameKind::Text10 && f.text == key)
                      : (f.kind == FrameKind::Colour && f.value == value)) {
                matched = true;
                arrived = at;
            }
        };
        const int slot = SlotOf(panel, (label ? kLabelOffset : kColourOffset) + button);
        const Clock::time_point sent = w.control().Write(slot, text);
        LatencySamples& target = label ? out->outLabel : out->outColour;
        if (w.loop().RunUntil([&] { return matched; }, sent + kAnswerDeadline)) {
            target.ms.push_back(Ms(arrived - sent));
        } else {
            ++target.missed;
            w.CheckSystems();
        }
        w.panel(panel).onFrame = nullptr;
        w.loop().RunFor(Gap(i));
    }
}

void MeasureLatencyIn(World& w, size_t samples, RoundFigures* out) {
    const int panels = w.panelCount();
    for (size_t i = 0; i < 2 * samples; ++i) {
        const bool press = i % 2 == 0;
        const size_t k = i / 2;
        const int panel = static_cast<int>(k % static_cast<size_t>(panels)) + 1;
        const int button = static_cast<int>((k * 5) % kButtons) + 1;
        const int slot = SlotOf(panel, button);
        const std::string want = press ? "1" : "0";
        bool matched = false;
        Clock::time_point arrived{};
        w.control().onChanged = [&](int changed, const std::string& text, Clock::time_point at) {
            if (!matched && changed == slot && text == want) {
                matched = true;
                arrived = at;
            }
        };
        const Clock::time_point sent = w.panel(panel).SendButton(button, press);
        LatencySamples& target = press ? out->inPress : out->inRelease;
        if (sent != Clock::time_point{} && w.loop().RunUntil([&] { return matched; }, sent + kAnswerDeadline)) {
            target.ms.push_back(Ms(arrived - sent));
        } else {
            ++target.missed;
            w.CheckSystems();
        }
        w.control().onChanged = nullptr;
        w.loop().RunFor(Gap(i));
    }
}

void RunPressBurst(World& w, size_t events, Clock::duration stall, PressFigures* out) {
    const int panels = w.panelCount();
    // Keys repeat every 96 events of a panel (48 buttons, press and
    // release); a window of 64 keeps the match unambiguous.
    std::vector<OrderCheck> checks(static_cast<size_t>(panels), OrderCheck(64));
    struct Event {
        int panel;
        int button;
        bool press;
    };
    std::vector<Event> plan;
    for (size_t i = 0; i < events; ++i) {
        const size_t k = i / 2;
        const int panel = static_cast<int>(k % static_cast<size_t>(panels)) + 1;
        const int button = static_cast<int>((k / static_cast<size_t>(panels)) % kButtons) + 1;
        plan.push_back({panel, button, i % 2 == 0});
        checks[static_cast<size_t>(panel - 1)].Expect(std::to_string(button) + (i % 2 == 0 ? ":1" : ":0"));
    }
    size_t matched = 0;
    Clock::time_point progress = Clock::now();
    w.control().onChanged = [&](int slot, const std::string& text, Clock::time_point at) {
        if (slot < 1) return;
        const int panel = (slot - 1) / kSlotsPerPanel + 1;
        const int offset = slot - kSlotsPerPanel * (panel - 1);
        if (panel > panels || offset < 1 || offset > kButtons) return;
        OrderCheck& c = checks[static_cast<size_t>(panel - 1)];
        const size_t before = c.Matched();
        c.Receive(std::to_string(offset) + ":" + text);
        if (c.Matched() != before) {
            ++matched;
            progress = at;
        }
    };
    for (const Event& e : plan) w.panel(e.panel).SendButton(e.button, e.press);
    w.loop().RunUntil([&] { return matched == plan.size() || Clock::now() - progress > stall; },
                      Clock::now() + stall * 6);
    w.WaitQuiet(300ms, Clock::now() + 5s);
    w.control().onChanged = nullptr;
    out->events = plan.size();
    for (const OrderCheck& c : checks) {
        out->lost += c.Lost();
        out->reordered += c.Reordered();
        out->extra += c.Extra();
    }
}

void RunChangeBurst(World& w, ChildProcess& system, size_t changes, int round, Clock::duration stall,
                    BurstFigures* out) {
    const int panels = w.panelCount();
    const size_t buttons = static_cast<size_t>(panels) * kButtons;
    // One stream per button and kind; colours repeat after ten values.
    std::vector<OrderCheck> labels(buttons + 1);
    std::vector<OrderCheck> colours(buttons + 1, OrderCheck(9));
    auto index = [](int panel, int button) { return static_cast<size_t>((panel - 1) * kButtons + button); };
    std::vector<int> colourCount(buttons + 1, 0);
    struct Change {
        int slot;
        std::string text;
    };
    std::vector<Change> plan;
    std::map<int, std::string> lastWritten;
    // Visits go across the panels first; each visit writes two labels and
    // then two colours into the button's slots, back to back.
    for (size_t visit = 0; plan.size() < changes; ++visit) {
        const int panel = static_cast<int>(visit % static_cast<size_t>(panels)) + 1;
        const int button = static_cast<int>((visit / static_cast<size_t>(panels)) % kButtons) + 1;
        const size_t at = index(panel, button);
        for (int step = 0; step < 4 && plan.size() < changes; ++step) {
            if (step < 2) {
                // Ten characters at most, unique within the burst (the
                // options keep a burst below a million changes).
                char text[32];
                std::snprintf(text, sizeof text, "B%d-%06zu", round % 10, plan.size() % 1000000);
                plan.push_back({SlotOf(panel, kLabelOffset + button), text});
                labels[at].Expect(Padded(text));
            } else {
                const int value = ++colourCount[at] % 10;
                plan.push_back({SlotOf(panel, kColourOffset + button), std::to_string(value)});
                colours[at].Expect(std::to_string(value));
            }
            lastWritten[plan.back().slot] = plan.back().text;
        }
    }

    size_t matched = 0;
    Clock::time_point lastMatch{};
    for (int n = 1; n <= panels; ++n) {
        w.panel(n).onFrame = [&, n](const DecodedFrame& f, Clock::time_point at) {
            if (f.button < 1 || f.button > kButtons) return;
            OrderCheck* c = nullptr;
            std::string key;
            if (f.kind == FrameKind::Text10) {
                c = &labels[index(n, f.button)];
                key = f.text;
            } else if (f.kind == FrameKind::Colour) {
                c = &colours[index(n, f.button)];
                key = std::to_string(f.value);
            } else {
                return;
            }
            const size_t before = c->Matched();
            c->Receive(key);
            if (c->Matched() != before) {
                ++matched;
                lastMatch = at;
            }
        };
    }
    size_t writeBacks = 0;
    w.control().onChanged = [&](int slot, const std::string&, Clock::time_point) {
        if (slot < 1) return;
        const int panel = (slot - 1) / kSlotsPerPanel + 1;
        const int offset = slot - kSlotsPerPanel * (panel - 1);
        const bool label = offset > kLabelOffset && offset <= kLabelOffset + kButtons;
        const bool colour = offset > kColourOffset && offset <= kColourOffset + kButtons;
        if (panel <= panels && (label || colour)) ++writeBacks;
    };

    // Memory while the burst runs, every 100 ms.
    const pid_t pid = system.pid();
    out->rssBeforeKib = RssKib(pid).value_or(0);
    long peak = out->rssBeforeKib;
    std::function<void()> sample;
    EventLoop::TimerId sampler = 0;
    sample = [&] {
        peak = std::max(peak, RssKib(pid).value_or(0));
        sampler = w.loop().At(Clock::now() + 100ms, sample);
    };
    sample();
    const double cpuBefore = CpuSeconds(pid).value_or(0);

    std::string encoded;
    for (const Change& c : plan) encoded += EncodeInfoFrame(InfoFrame{XOV_SLOTWRITE, 0, 0, c.slot, 0, c.text});
    const Clock::time_point start = w.control().WriteEncoded(encoded);
    Clock::time_point progress = start;
    size_t seen = 0;
    w.loop().RunUntil(
        [&] {
            if (matched != seen) {
                seen = matched;
                progress = Clock::now();
            }
            return matched == plan.size() || Clock::now() - progress > stall;
        },
        start + stall * 30);
    w.loop().Cancel(sampler);
    out->cpuSeconds = CpuSeconds(pid).value_or(0) - cpuBefore;
    out->rssPeakKib = peak;
    out->changes = plan.size();
    out->complete = matched == plan.size();
    const Clock::time_point end = lastMatch == Clock::time_point{} ? Clock::now() : lastMatch;
    out->seconds = Seconds(end - start);
    out->changesPerSecond = out->seconds > 0 ? static_cast<double>(matched) / out->seconds : 0;
    w.CheckSystems();

    // Late echoes and confirmations still count: wait for a second of calm.
    w.WaitQuiet(1s, Clock::now() + 30s);
    ClearHooks(w);
    out->writeBacks = writeBacks;
    for (size_t i = 1; i <= buttons; ++i) {
        out->lost += labels[i].Lost() + colours[i].Lost();
        out->reordered += labels[i].Reordered() + colours[i].Reordered();
        out->extra += labels[i].Extra() + colours[i].Extra();
    }

    std::map<int, std::string> readBack;
    for (const auto& [slot, text] : lastWritten) {
        w.control().Read(slot, [&readBack, slot = slot](const std::string& t) { readBack[slot] = t; });
    }
    if (!w.loop().RunUntil([&] { return readBack.size() == lastWritten.size(); }, Clock::now() + 15s)) {
        throw BenchError("slot read-back did not finish");
    }
    out->stale = CountStale(lastWritten, readBack);
    for (const auto& [slot, text] : lastWritten) {
        if (readBack[slot] == text || out->staleExamples.size() >= 3) continue;
        out->staleExamples.push_back("slot " + std::to_string(slot) + " holds '" + readBack[slot] +
                                     "', last written '" + text + "'");
    }
}

IdleFigures MeasureIdle(World& w, ChildProcess& system, double seconds) {
    w.control().Write(SlotOf(1, kAltLabelOffset + 1), "IDLE");
    w.control().Write(SlotOf(1, kAltColourOffset + 1), "5");
    w.control().Write(SlotOf(1, kFlashOffset), "1");
    w.loop().RunFor(3s);  // start-up work and the flash settle
    IdleFigures f;
    size_t frames = 0;
    for (int n = 1; n <= w.panelCount(); ++n) {
        w.panel(n).onFrame = [&frames](const DecodedFrame&, Clock::time_point) { ++frames; };
    }
    const auto cpu0 = CpuSeconds(system.pid());
    const Clock::time_point t0 = Clock::now();
    w.loop().RunFor(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const auto cpu1 = CpuSeconds(system.pid());
    const Clock::time_point t1 = Clock::now();
    w.CheckSystems();
    ClearHooks(w);
    if (!cpu0 || !cpu1) throw BenchError("cannot read the CPU time of " + system.name());
    f.seconds = Seconds(t1 - t0);
    f.cpuPercent = (*cpu1 - *cpu0) / f.seconds * 100.0;
    f.rssKib = RssKib(system.pid()).value_or(0);
    f.peakRssKib = PeakRssKib(system.pid()).value_or(0);
    f.framesSeen = frames;
    return f;
}

double MeasureSpawn(World& w, System s) {
    ChildProcess& child = w.Launch(s);
    const Clock::time_point started = child.Started();
    auto first = [&] {
        Clock::time_point t{};
        for (int n = 1; n <= w.panelCount(); ++n) {
            const Clock::time_point b = w.panel(n).FirstByte();
            if (b != Clock::time_point{} && (t == Clock::time_point{} || b < t)) t = b;
        }
        return t;
    };
    if (!w.loop().RunUntil([&] { return first() != Clock::time_point{}; }, started + 15s)) {
        w.CheckSystems();
        throw BenchError(std::string(SystemName(s)) + ": no frame at any panel within 15 s\n" + w.LogTails());
    }
    return Seconds(first() - started);
}

FailoverSample MeasureFailover(World& w, System s, int signal) {
    ChildProcess& main = w.Launch(s);
    w.WaitPanelsReady(20s, 300ms);
    ChildProcess& reserve = w.Launch(s);
    // The reserve is attached once the Infodriver lists two driver clients;
    // then it gets time to finish starting and settle as reserve.
    size_t clients = 0;
    const Clock::time_point deadline = Clock::now() + 15s;
    while (clients < 2) {
        bool answered = false;
        w.control().Call(XOV_LISTCLIENTS, 0, [&](const InfoFrame& reply) {
            answered = true;
            clients = static_cast<size_t>(std::count(reply.text.begin(), reply.text.end(), '\n'));
            if (!reply.text.empty() && reply.text.back() != '\n') ++clients;
        });
        if (!w.loop().RunUntil([&] { return answered; }, deadline)) {
            throw BenchError("the reserve never attached\n" + w.LogTails());
        }
        if (clients < 2) w.loop().RunFor(100ms);
        w.CheckSystems();
    }
    w.loop().RunFor(3s);
    w.CheckSystems();
    std::vector<uint64_t> accepts;
    for (int n = 1; n <= w.panelCount(); ++n) {
        if (w.panel(n).Accepts() != 1) throw BenchError("the reserve connected to a panel while the main ran");
        accepts.push_back(w.panel(n).Accepts());
    }

    main.endExpected = true;
    const Clock::time_point killed = Clock::now();
    main.Signal(signal);
    FailoverSample sample;
    auto update = [&] {
        for (int n = 1; n <= w.panelCount(); ++n) {
            const FakePanel& p = w.panel(n);
            if (p.Accepts() == accepts[static_cast<size_t>(n - 1)]) continue;
            const double connect = Seconds(p.LastAccept() - killed);
            if (sample.connectSeconds < 0 || connect < sample.connectSeconds) sample.connectSeconds = connect;
            if (p.FirstByte() != Clock::time_point{}) {
                const double frame = Seconds(p.FirstByte() - killed);
                if (sample.frameSeconds < 0 || frame < sample.frameSeconds) sample.frameSeconds = frame;
            }
        }
        return sample.frameSeconds >= 0;
    };
    const bool done = w.loop().RunUntil(
        [&] {
            if (!reserve.Running()) return true;
            return update();
        },
        killed + 30s);
    if (!main.Wait(10s)) throw BenchError("the main did not end after signal " + std::to_string(signal));
    if (!done || !reserve.Running()) {
        w.CheckSystems();
        throw BenchError(std::string(SystemName(s)) + ": the reserve did not take over within 30 s\n" + w.LogTails());
    }
    return sample;
}

}  // namespace vorn::bench
