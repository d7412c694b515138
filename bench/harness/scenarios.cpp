#include "scenarios.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "figures.h"
#include "proc_stats.h"
#include "status_probe.h"
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
    // One stream per button and kind. Colours repeat after ten values: a
    // colour frame takes the next change of its value, however far ahead,
    // since a panel that lags gets its streams thinned (in order, so the
    // frames stay a subsequence of the changes); that tells thinning from
    // loss, while order is checked on the labels, whose texts are unique.
    std::vector<OrderCheck> labels(buttons + 1);
    std::vector<OrderCheck> colours(buttons + 1);
    auto index = [](int panel, int button) { return static_cast<size_t>((panel - 1) * kButtons + button); };
    std::vector<int> colourCount(buttons + 1, 0);
    struct Change {
        int slot;
        std::string text;
    };
    std::vector<Change> plan;
    std::map<int, std::string> lastWritten;
    std::vector<std::string> lastLabel(buttons + 1), lastColour(buttons + 1);
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
                lastLabel[at] = Padded(text);
            } else {
                const int value = ++colourCount[at] % 10;
                plan.push_back({SlotOf(panel, kColourOffset + button), std::to_string(value)});
                colours[at].Expect(std::to_string(value));
                lastColour[at] = std::to_string(value);
            }
            lastWritten[plan.back().slot] = plan.back().text;
        }
    }

    // Done when every stream (button and kind) shows its last change; a
    // panel that lags may be sent a stream thinned (see PanelLink), never
    // one that ends before its last change. lastKey: the last change of
    // each stream ([0] labels, [1] colours); showing: whether the panel
    // shows it now.
    std::vector<std::string> lastKey[2] = {std::vector<std::string>(buttons + 1), std::vector<std::string>(buttons + 1)};
    std::vector<char> showing[2] = {std::vector<char>(buttons + 1, 0), std::vector<char>(buttons + 1, 0)};
    size_t streams = 0;
    for (size_t i = 1; i <= buttons; ++i) {
        for (int k = 0; k < 2; ++k) {
            const std::string& key = k == 0 ? lastLabel[i] : lastColour[i];
            lastKey[k][i] = key;
            streams += key.empty() ? 0 : 1;
        }
    }
    size_t matched = 0;
    size_t finished = 0;
    Clock::time_point lastMatch{};
    Clock::time_point doneAt{};
    for (int n = 1; n <= panels; ++n) {
        w.panel(n).onFrame = [&, n](const DecodedFrame& f, Clock::time_point at) {
            if (f.button < 1 || f.button > kButtons) return;
            OrderCheck* c = nullptr;
            std::string key;
            int kind = 0;
            if (f.kind == FrameKind::Text10) {
                c = &labels[index(n, f.button)];
                key = f.text;
            } else if (f.kind == FrameKind::Colour) {
                c = &colours[index(n, f.button)];
                key = std::to_string(f.value);
                kind = 1;
            } else {
                return;
            }
            const size_t before = c->Matched();
            c->Receive(key);
            if (c->Matched() != before) {
                ++matched;
                lastMatch = at;
            }
            const size_t i = index(n, f.button);
            const bool now = !lastKey[kind][i].empty() && key == lastKey[kind][i];
            if (now != (showing[kind][i] != 0)) {
                showing[kind][i] = now ? 1 : 0;
                if (now) {
                    ++finished;
                } else {
                    --finished;
                }
                if (finished == streams) doneAt = at;
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
            return finished == streams || Clock::now() - progress > stall;
        },
        start + stall * 30);
    w.loop().Cancel(sampler);
    out->cpuSeconds = CpuSeconds(pid).value_or(0) - cpuBefore;
    out->rssPeakKib = peak;
    out->changes = plan.size();
    out->complete = finished == streams;
    const Clock::time_point end = out->complete ? doneAt : lastMatch == Clock::time_point{} ? Clock::now() : lastMatch;
    out->seconds = Seconds(end - start);
    // The changes written, each shown or superseded, over that time.
    out->changesPerSecond = out->seconds > 0 && out->complete ? static_cast<double>(plan.size()) / out->seconds : 0;
    w.CheckSystems();

    // Late echoes and confirmations still count: wait for a second of calm.
    w.WaitQuiet(1s, Clock::now() + 30s);
    ClearHooks(w);
    out->writeBacks = writeBacks;
    for (size_t i = 1; i <= buttons; ++i) {
        for (int k = 0; k < 2; ++k) out->lost += !lastKey[k][i].empty() && showing[k][i] == 0 ? 1 : 0;
        out->thinned += labels[i].Passed() + colours[i].Passed();
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

namespace {

// 38400 baud, 8 data bits, even parity, one stop bit: eleven bits a character.
constexpr double kLineBytesPerSecond = 38400.0 / 11.0;

// RSS of pid every 100 ms into *peak until the returned timer is cancelled.
EventLoop::TimerId SampleRss(EventLoop& loop, pid_t pid, long* peak) {
    *peak = std::max(*peak, RssKib(pid).value_or(0));
    return loop.At(Clock::now() + 100ms, [&loop, pid, peak] { SampleRss(loop, pid, peak); });
}

}  // namespace

SlowLineFigures MeasureSlowLine(World& w) {
    const int n = w.panelCount() + 1;
    PtyPanel& panel = w.ptyPanel(n);
    panel.SetReadRate(kLineBytesPerSecond);
    w.WaitQuiet(500ms, Clock::now() + 10s);
    SlowLineFigures f;
    constexpr int kPages = 10;
    // A page: every button's label (eight characters, all the short form
    // carries) and colour; page k has colour k, so pages differ everywhere.
    std::string encoded;
    std::vector<std::string> last(kButtons + 1);
    for (int page = 0; page < kPages; ++page) {
        for (int b = 1; b <= kButtons; ++b) {
            char text[16];
            std::snprintf(text, sizeof text, "PG%d-B%02d", page, b);
            encoded += EncodeInfoFrame(InfoFrame{XOV_SLOTWRITE, 0, 0, SlotOf(n, kLabelOffset + b), 0, text});
            encoded += EncodeInfoFrame(
                InfoFrame{XOV_SLOTWRITE, 0, 0, SlotOf(n, kColourOffset + b), 0, std::to_string(page)});
            last[static_cast<size_t>(b)] = Padded(text).substr(0, 8);
        }
    }
    f.pageBytes = static_cast<size_t>(kButtons) * (13 + 5);
    f.lineSeconds = static_cast<double>(f.pageBytes) / kLineBytesPerSecond;
    f.aheadBytes = static_cast<size_t>(0.1 * kLineBytesPerSecond);
    std::vector<std::string> label(kButtons + 1);
    std::vector<int> colour(kButtons + 1, -1);
    int showing = 0;  // buttons that show the last page
    Clock::time_point shownAt{};
    auto shows = [&](int b) { return label[static_cast<size_t>(b)] == last[static_cast<size_t>(b)] && colour[static_cast<size_t>(b)] == kPages - 1; };
    panel.onFrame = [&](const DecodedFrame& fr, Clock::time_point at) {
        if (fr.button < 1 || fr.button > kButtons) return;
        const bool before = shows(fr.button);
        if (fr.kind == FrameKind::Text8) label[fr.button] = fr.text;
        if (fr.kind == FrameKind::Colour) colour[fr.button] = fr.value;
        const bool now = shows(fr.button);
        showing += (now ? 1 : 0) - (before ? 1 : 0);
        if (showing == kButtons && shownAt == Clock::time_point{}) shownAt = at;
    };
    const uint64_t bytesBefore = panel.BytesRead();
    const uint64_t junkBefore = panel.JunkBytes();
    uint64_t bytesAtShown = 0;
    w.control().WriteEncoded(encoded);
    // The end of the burst: every write handed to the Infodriver.
    w.loop().RunUntil([&] { return !w.control().Sending(); }, Clock::now() + 10s);
    const Clock::time_point burstEnd = Clock::now();
    w.loop().RunUntil(
        [&] {
            if (shownAt != Clock::time_point{} && bytesAtShown == 0) bytesAtShown = panel.BytesRead();
            return shownAt != Clock::time_point{};
        },
        burstEnd + 30s);
    w.CheckSystems();
    panel.onFrame = nullptr;
    if (shownAt != Clock::time_point{}) {
        f.shownSeconds = Seconds(shownAt - burstEnd);
        f.sentBytes = static_cast<size_t>(bytesAtShown - bytesBefore);
    }
    f.junkBytes = static_cast<size_t>(panel.JunkBytes() - junkBefore);
    return f;
}

PausedFigures MeasurePausedPanel(World& w, ChildProcess& system, size_t changes, Clock::duration pause) {
    FakePanel& panel = w.panel(1);
    PausedFigures f;
    f.changes = changes;
    std::string encoded;
    std::vector<std::string> last(kButtons + 1);
    for (size_t i = 0; i < changes; ++i) {
        const int b = static_cast<int>(i % kButtons) + 1;
        char text[16];
        std::snprintf(text, sizeof text, "PZ%06zu", i % 1000000);
        encoded += EncodeInfoFrame(InfoFrame{XOV_SLOTWRITE, 0, 0, SlotOf(1, kLabelOffset + b), 0, text});
        last[static_cast<size_t>(b)] = Padded(text);
    }
    std::vector<std::string> label(kButtons + 1);
    int showing = 0;
    Clock::time_point shownAt{};
    panel.onFrame = [&](const DecodedFrame& fr, Clock::time_point at) {
        if (fr.kind != FrameKind::Text10 || fr.button < 1 || fr.button > kButtons) return;
        const size_t b = fr.button;
        const bool before = label[b] == last[b];
        label[b] = fr.text;
        showing += (label[b] == last[b] ? 1 : 0) - (before ? 1 : 0);
        if (showing == kButtons && shownAt == Clock::time_point{}) shownAt = at;
    };
    const pid_t pid = system.pid();
    f.rssBeforeKib = RssKib(pid).value_or(0);
    long peak = f.rssBeforeKib;
    const uint64_t junkBefore = panel.JunkBytes();
    panel.SetPaused(true);
    const Clock::time_point paused = Clock::now();
    const EventLoop::TimerId sampler = SampleRss(w.loop(), pid, &peak);
    w.control().WriteEncoded(encoded);
    w.loop().RunUntil([] { return false; }, paused + pause);
    w.loop().Cancel(sampler);
    f.rssPeakKib = peak;
    w.CheckSystems();
    const Clock::time_point resumed = Clock::now();
    shownAt = {};
    panel.SetPaused(false);
    w.loop().RunUntil([&] { return shownAt != Clock::time_point{}; }, resumed + 20s);
    if (shownAt != Clock::time_point{}) f.shownSeconds = Seconds(shownAt - resumed);
    w.WaitQuiet(500ms, Clock::now() + 10s);
    panel.onFrame = nullptr;
    for (int b = 1; b <= kButtons; ++b) f.lostLast += label[static_cast<size_t>(b)] == last[static_cast<size_t>(b)] ? 0 : 1;
    f.cutBytes = static_cast<size_t>(panel.JunkBytes() - junkBefore);
    return f;
}

StalledFigures MeasureStalledSerial(World& w, ChildProcess& system, Clock::duration baseline, Clock::duration stall,
                                    size_t burst) {
    const int serial = w.panelCount() + 1;
    PtyPanel& line = w.ptyPanel(serial);
    line.SetReadRate(kLineBytesPerSecond);
    StalledFigures f;
    // Labels for the serial panel all along: 100 a second, about 40 % of
    // its line; presses on TCP panel 1 one at a time.
    size_t written = 0;
    const Clock::time_point start = Clock::now();
    auto writeLabels = [&] {
        const auto due = static_cast<size_t>(Seconds(Clock::now() - start) * 100);
        for (; written < due; ++written) {
            char text[16];
            std::snprintf(text, sizeof text, "ST%06zu", written % 1000000);
            const int b = static_cast<int>(written % kButtons) + 1;
            w.control().Write(SlotOf(serial, kLabelOffset + b), text);
        }
    };
    auto presses = [&](Clock::duration span, LatencySamples* out) {
        const Clock::time_point end = Clock::now() + span;
        for (size_t i = 0; Clock::now() < end; ++i) {
            writeLabels();
            const bool press = i % 2 == 0;
            const int button = static_cast<int>((i / 2) % kButtons) + 1;
            const int slot = SlotOf(1, button);
            bool matched = false;
            Clock::time_point arrived{};
            w.control().onChanged = [&](int changed, const std::string& text, Clock::time_point at) {
                if (!matched && changed == slot && text == (press ? "1" : "0")) {
                    matched = true;
                    arrived = at;
                }
            };
            const Clock::time_point sent = w.panel(1).SendButton(button, press);
            if (sent != Clock::time_point{} && w.loop().RunUntil([&] { return matched; }, sent + kAnswerDeadline)) {
                out->ms.push_back(Ms(arrived - sent));
            } else {
                ++out->missed;
            }
            w.control().onChanged = nullptr;
            w.loop().RunFor(Gap(i));
            if (!system.Running()) return;
        }
    };
    // The driver's lag figure covers a minute: the baseline lasts until its
    // start-up has left that minute, so that the figure after the stall is
    // the stall's (or the baseline's, when that was longer).
    presses(std::max<Clock::duration>(baseline, system.Started() + 61s - Clock::now()), &f.before);
    f.loopLagBeforeSeconds = FetchMetric(w.statusPort(), "pellax_event_loop_lag_seconds", 2s).value_or(-1);
    line.SetPaused(true);
    // A burst for the serial panel as it stops reading: more than its line
    // and kernel buffer hold.
    std::string encoded;
    for (size_t i = 0; i < burst; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "SB%06zu", i % 1000000);
        const int b = static_cast<int>(i % kButtons) + 1;
        encoded += EncodeInfoFrame(InfoFrame{XOV_SLOTWRITE, 0, 0, SlotOf(serial, kLabelOffset + b), 0, text});
    }
    w.control().WriteEncoded(encoded);
    presses(stall, &f.during);
    f.loopLagSeconds = FetchMetric(w.statusPort(), "pellax_event_loop_lag_seconds", 2s).value_or(-1);
    line.SetPaused(false);
    f.cutOff = !system.Running() || w.InfodriverLogged(" cut off: ");
    return f;
}

}  // namespace vorn::bench
