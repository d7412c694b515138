#include "core/loop_lag.h"

#include <algorithm>

namespace vorn {

namespace {

int64_t SecondOf(LoopLag::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

void LoopLag::Record(Clock::time_point now, Clock::duration lag) {
    const int64_t number = SecondOf(now);
    Second& s = seconds_[static_cast<size_t>(((number % kWindowSeconds) + kWindowSeconds) % kWindowSeconds)];
    if (s.number != number) s = Second{number, Clock::duration::zero()};
    s.longest = std::max(s.longest, lag);
}

LoopLag::Clock::duration LoopLag::Longest(Clock::time_point now, int seconds) const {
    const int64_t number = SecondOf(now);
    const int64_t window = std::clamp(seconds, 1, kWindowSeconds);
    Clock::duration longest = Clock::duration::zero();
    for (const Second& s : seconds_) {
        if (s.number > number - window && s.number <= number) longest = std::max(longest, s.longest);
    }
    return longest;
}

LoopLag& DriverLoopLag() {
    static LoopLag lag;
    return lag;
}

}  // namespace vorn
