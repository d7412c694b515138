#pragma once
// Reads one figure from the driver's status page (/metrics on 127.0.0.1):
// one plain HTTP/1.0 request, waited for at most `timeout` (the harness's
// loop stands still meanwhile; the answer takes well under a millisecond).

#include <optional>
#include <string>

#include "event_loop.h"

namespace vorn::bench {

// The value of the metric line "name value"; nullopt when there is no
// answer in time or no such line.
std::optional<double> FetchMetric(int port, const std::string& name, Clock::duration timeout);

}  // namespace vorn::bench
