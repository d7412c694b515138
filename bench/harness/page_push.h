#pragma once
// The status page's live channel under load (section "page", driver only):
// twelve panels, label changes written at a steady rate over all their
// buttons, and pages listening on /events. Measured:
//   - push latency: from the text frame at the panel to the event with
//     that label at the first page's socket;
//   - the driver's CPU per 1000 changes without a page and with the pages
//     open (the difference is what an open page costs);
//   - the driver's RSS before and with the pages open, per page.
// The pages connect from loopback addresses of their own (127.0.0.10 and
// up), since the page takes at most four connections per client address.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"
#include "world.h"

namespace vorn::bench {

struct PagePushFigures {
    double seconds = 0;         // of each phase
    double rate = 0;            // changes per second written
    int pages = 0;
    std::vector<double> ms;     // push latency samples
    size_t missed = 0;          // labels framed at a panel and never pushed within 2 s
    size_t wholePictures = 0;   // "all" events after the first (the page fell behind)
    double cpuPer1000Without = 0;  // driver CPU seconds per 1000 changes
    double cpuPer1000With = 0;
    long rssWithoutKib = 0;
    long rssWithKib = 0;
};

// The page port must be World::statusPort, set before World::Start.
PagePushFigures MeasurePagePush(World& w, ChildProcess& driver, double seconds, double rate, int pages);

void PrintPagePush(const std::vector<PagePushFigures>& runs, std::FILE* out);
std::string PagePushJson(const std::vector<PagePushFigures>& runs);

}  // namespace vorn::bench
