#pragma once
// Reduces the raw figures of a run (medians over rounds) and prints them:
// a table driver | relay | ratio | target on stdout, and all figures, raw
// samples' summaries included, as JSON.

#include <cstdio>
#include <string>
#include <vector>

#include "page_push.h"
#include "reload_timing.h"
#include "scenarios.h"

namespace vorn::bench {

struct SystemResults {
    std::vector<RoundFigures> rounds;
    std::vector<IdleFigures> idle;
    std::vector<double> spawnSeconds;
    std::vector<FailoverSample> failoverKill;
    std::vector<FailoverSample> failoverTerm;
    std::vector<SlowLineFigures> slowLine;
    std::vector<PausedFigures> paused;
    std::vector<StalledFigures> stalled;
};

struct Results {
    std::string note;  // commit and date, from the caller
    bool quick = false;
    size_t changes = 0;
    size_t samples = 0;
    SystemResults driver;
    SystemResults relay;
    std::vector<PagePushFigures> page;  // the driver's status page (section "page")
    std::vector<ReloadFigures> reload;  // the driver's settings reload (section "reload")
};

// Faults of correctness in one system's figures: lost, reordered or stale
// changes, lost or reordered presses, latency samples that never arrived.
size_t CorrectnessFaults(const SystemResults& r);
// Faults of the output sections: a panel that never showed the last
// page or labels, lost a last label or got a frame cut, a driver cut off.
// (The relay has no output queue: it may lose there, and that is measured,
// not a fault of the harness.)
size_t OutputFaults(const SystemResults& r);

void PrintTable(const Results& results, std::FILE* out);
bool WriteJson(const Results& results, const std::string& path);

}  // namespace vorn::bench
