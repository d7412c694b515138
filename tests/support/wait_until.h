#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vorn::test {

// Polls cond every 50 ms until it holds (true) or the deadline passes (false).
// For tests that wait on another process; in-process timing uses the fake seam.
inline bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace vorn::test
