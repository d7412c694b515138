#pragma once
// How late the driver's event loop gets round to its work: every lag the
// loop measures (a timer that fired late, one handler that kept the loop
// busy) is recorded here, and the longest one of the last minute is what the
// status page and the metrics show. The measuring itself belongs to the
// loop (app/gui/qt_seam); this is the arithmetic. GUI thread only.

#include <array>
#include <chrono>
#include <cstdint>

namespace vorn {

class LoopLag {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kWindowSeconds = 60;

    // One measured lag at `now`.
    void Record(Clock::time_point now, Clock::duration lag);
    // The longest lag recorded in the kWindowSeconds before now (zero when
    // none was).
    Clock::duration Longest(Clock::time_point now) const { return Longest(now, kWindowSeconds); }
    // The longest lag recorded in the current whole second and the
    // `seconds` - 1 before it (1..kWindowSeconds).
    Clock::duration Longest(Clock::time_point now, int seconds) const;

private:
    // The longest lag of each of the last kWindowSeconds whole seconds,
    // indexed by second modulo the window: bounded whatever the rate.
    struct Second {
        int64_t number = -1;
        Clock::duration longest{};
    };
    std::array<Second, kWindowSeconds> seconds_{};
};

// The driver's own loop.
LoopLag& DriverLoopLag();

}  // namespace vorn
