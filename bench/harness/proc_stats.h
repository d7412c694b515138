#pragma once
// CPU time and memory of a process from /proc.

#include <sys/types.h>

#include <optional>

namespace vorn::bench {

// User plus system CPU time of all the process's threads, in seconds.
std::optional<double> CpuSeconds(pid_t pid);
// Resident set size now (VmRSS) and at its peak so far (VmHWM), in KiB.
std::optional<long> RssKib(pid_t pid);
std::optional<long> PeakRssKib(pid_t pid);

}  // namespace vorn::bench
