#pragma once
// The traffic counters of a panel (TxCount frames sent, RxCount blocks read).

#include <climits>

namespace vorn {

// Adds one to a traffic counter. A babbling TCP panel can raise hundreds of
// thousands of read events a second, so INT_MAX is reachable in a long run:
// past it the count starts again at 1, never overflowing (undefined) and never
// dropping to 0 or below, where the status checks (RxCount > 0) would take a
// panel that answers for a silent one.
inline void CountTraffic(int& counter) { counter = counter < INT_MAX ? counter + 1 : 1; }

}  // namespace vorn
