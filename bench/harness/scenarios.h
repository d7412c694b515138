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
    bool complete = false;       // every change reached its panel
    double seconds = 0;          // first write to last matching frame
    double changesPerSecond = 0;
    size_t lost = 0;
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
// Seconds from signalling the main to the reserve's first connection and
// first frame at a panel.
struct FailoverSample {
    double connectSeconds = -1;
    double frameSeconds = -1;
};
FailoverSample MeasureFailover(World& w, System s, int signal);

}  // namespace vorn::bench
