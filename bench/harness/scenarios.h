#pragma once
// The measurements, each run against one World whose system under test is
// connected to its panels. Samples are kept raw (milliseconds or seconds);
// the report reduces them.

#include <cstddef>
#include <string>
#include <vector>

#include "world.h"

namespace vorn::bench {

struct LatencySamples {
    std::vector<double> ms;
    size_t missed = 0;  // no answer within 2 s
};

struct BurstFigures {
    size_t changes = 0;
    bool complete = false;       // every panel shows the last change of each of its streams
    double seconds = 0;          // first write until then
    double changesPerSecond = 0;
    size_t lost = 0;             // streams (button and kind) whose last change the panel does not show
    size_t thinned = 0;          // changes passed over by a later one of their stream (a panel that lags)
    size_t reordered = 0;
    size_t extra = 0;            // frames of a written kind that match no change
    size_t stale = 0;
    std::vector<std::string> staleExamples;  // "slot N holds X, last written Y", a few
    size_t writeBacks = 0;
    double cpuSeconds = 0;       // the system's CPU time during the burst
    long rssBeforeKib = 0;
    long rssPeakKib = 0;
};

struct PressFigures {
    size_t events = 0;
    size_t lost = 0;
    size_t reordered = 0;
    size_t extra = 0;
};

struct RoundFigures {
    System system = System::Driver;
    LatencySamples outLabel, outColour, inPress, inRelease;
    PressFigures presses;
    BurstFigures burst;
};

struct IdleFigures {
    double seconds = 0;
    double cpuPercent = 0;  // of one core
    long rssKib = 0;
    long peakRssKib = 0;
    size_t framesSeen = 0;  // at the panels while idle (flashing, polls)
};

// A serial panel read at the line rate of 38400 8E1 gets ten pages of 48
// labels and colours in one burst.
struct SlowLineFigures {
    double shownSeconds = -1;  // end of the burst until the panel shows the last page (-1 never)
    double lineSeconds = 0;    // the last page's bytes at the line rate
    size_t pageBytes = 0;      // bytes of one page
    size_t sentBytes = 0;      // bytes at the panel from the burst until the last page showed
    size_t aheadBytes = 0;     // 0.1 s of the line: what the driver may have in flight
    size_t junkBytes = 0;
};

// A TCP panel that reads nothing for a while during a burst of label
// changes to its buttons, then reads again.
struct PausedFigures {
    size_t changes = 0;
    double shownSeconds = -1;  // resumed until it shows every button's last label (-1 never)
    size_t cutBytes = 0;       // bytes that formed no frame at the panel
    size_t lostLast = 0;       // buttons whose last label it does not show in the end
    long rssBeforeKib = 0;
    long rssPeakKib = 0;       // during the pause
};

// A serial panel that reads nothing for a while, labels still going to it,
// presses on a TCP panel meanwhile.
struct StalledFigures {
    LatencySamples before;          // press latency with the serial panel reading
    LatencySamples during;          // and while it does not
    double loopLagBeforeSeconds = -1;  // the driver's longest loop lag of the last minute, before the stall
    double loopLagSeconds = -1;        // and after it (-1 no answer)
    bool cutOff = false;            // the Infodriver cut the driver off, or it ended
};

// Latency out: label and colour writes, one at a time, until the frame is
// at the panel. samples of each kind.
void MeasureLatencyOut(World& w, size_t samples, RoundFigures* out);
// Latency in: presses and releases, one at a time, until the slot change
// reaches the control client.
void MeasureLatencyIn(World& w, size_t samples, RoundFigures* out);
// A burst of presses and releases on every panel at once; each must reach
// its slot, in order per panel.
void RunPressBurst(World& w, size_t events, Clock::duration stall, PressFigures* out);
// A burst of label and colour changes (two successive texts per slot at a
// time, over every button of every panel), then the slots read back.
// round tags the texts.
void RunChangeBurst(World& w, ChildProcess& system, size_t changes, int round, Clock::duration stall,
                    BurstFigures* out);
// CPU and memory over `seconds` with alive messages from every panel and
// one flashing button.
IdleFigures MeasureIdle(World& w, ChildProcess& system, double seconds);
// Seconds from the fork of the system to the first byte at any panel.
double MeasureSpawn(World& w, System s);
// The slow line: w has one serial panel and no TCP panel.
SlowLineFigures MeasureSlowLine(World& w);
// The paused panel: panel 1 of w pauses for `pause` while `changes` label
// changes go to its buttons at once.
PausedFigures MeasurePausedPanel(World& w, ChildProcess& system, size_t changes, Clock::duration pause);
// The stalled serial device: w's last panel is serial, w has a status page;
// presses go to panel 1 for `baseline` (at least until the system has run
// for a minute), then the serial panel stops reading for `stall`, and
// `burst` label changes go to it at once as it stops.
StalledFigures MeasureStalledSerial(World& w, ChildProcess& system, Clock::duration baseline, Clock::duration stall,
                                    size_t burst);

// Seconds from signalling the main to the reserve's first connection and
// first frame at a panel.
struct FailoverSample {
    double connectSeconds = -1;
    double frameSeconds = -1;
};
FailoverSample MeasureFailover(World& w, System s, int signal);

}  // namespace vorn::bench
