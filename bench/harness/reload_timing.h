#pragma once
// A reload of the settings under load (section "reload", driver only):
// twelve CP-2048E panels; label changes go one at a time, every
// kStreamPeriod, round the buttons of the first six panels; the settings
// file is rewritten so that the other six panels change (their Panel_ID)
// and the driver gets SIGHUP. Measured per reload:
//   - reload time: from the signal until every changed panel has been
//     connected anew and shows every button's label and colour again (its
//     refresh);
//   - how the untouched panels' frames were held up meanwhile: the longest
//     gap between two label frames at them, and the longest time from a
//     label's write to its frame, against the same span just before the
//     signal.
// Faults: an untouched panel that was connected anew, a label to them that
// never arrived, a changed panel that never came back.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"
#include "world.h"

namespace vorn::bench {

struct ReloadFigures {
    int changedPanels = 0;
    int untouchedPanels = 0;
    std::vector<double> reloadMs;        // per reload: signal until the changed panels are refreshed
    std::vector<double> gapMsBefore;     // per reload: longest gap between label frames, span before
    std::vector<double> gapMsDuring;     // and from the signal until the reload was done
    std::vector<double> latencyMsBefore; // per reload: longest write-to-frame time, span before
    std::vector<double> latencyMsDuring; // and during the reload
    size_t labelsWritten = 0;
    size_t labelsLost = 0;         // written to an untouched panel, never framed there
    size_t untouchedReconnects = 0;
    size_t reloadsIncomplete = 0;  // a changed panel not refreshed within the deadline
};

ReloadFigures MeasureReload(World& w, ChildProcess& driver, int reloads);
size_t ReloadFaults(const std::vector<ReloadFigures>& runs);
void PrintReload(const std::vector<ReloadFigures>& runs, std::FILE* out);
std::string ReloadJson(const std::vector<ReloadFigures>& runs);

}  // namespace vorn::bench
