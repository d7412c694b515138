#include "figures.h"

#include <algorithm>
#include <cmath>

namespace vorn::bench {

std::optional<double> Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return std::nullopt;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    const size_t index = rank < 1 ? 0 : std::min(samples.size(), static_cast<size_t>(rank)) - 1;
    return samples[index];
}

std::optional<double> Median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void OrderCheck::Receive(const std::string& key) {
    const size_t end = window_ >= expected_.size() - next_ ? expected_.size() : next_ + window_;
    for (size_t j = next_; j < end; ++j) {
        if (expected_[j] != key) continue;
        for (size_t k = next_; k < j; ++k) skipped_.emplace(expected_[k], k);
        next_ = j + 1;
        ++matched_;
        return;
    }
    // A late arrival takes the earliest passed-over item with its key.
    auto [first, last] = skipped_.equal_range(key);
    if (first != last) {
        auto earliest = first;
        for (auto it = first; it != last; ++it) {
            if (it->second < earliest->second) earliest = it;
        }
        skipped_.erase(earliest);
        ++matched_;
        ++reordered_;
        return;
    }
    ++extra_;
}

size_t CountStale(const std::map<int, std::string>& lastWritten, const std::map<int, std::string>& readBack) {
    size_t stale = 0;
    for (const auto& [slot, text] : lastWritten) {
        const auto it = readBack.find(slot);
        if (it == readBack.end() || it->second != text) ++stale;
    }
    return stale;
}

}  // namespace vorn::bench
