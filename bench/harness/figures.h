#pragma once
// Pure arithmetic of the bench: percentiles and medians of samples, and the
// order check that counts lost, reordered and extra frames of one stream
// (one kind of frame for one button) against what was written.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorn::bench {

// Nearest-rank percentile (p in 0..100) of the samples; p 100 is the
// maximum. Empty: nullopt.
std::optional<double> Percentile(std::vector<double> samples, double p);
// Middle value; the mean of the two middle values for an even count.
std::optional<double> Median(std::vector<double> values);

// The changes written into one stream, in order, and the frames seen for it
// at the panel, in arrival order. A frame matches the first expected item
// not yet passed that carries its key, looking at most `window` items ahead
// (keys that repeat, such as colours 0..9, need a window shorter than their
// cycle). Items passed over are lost until they arrive late, which makes
// them reordered. A frame that matches nothing is extra.
class OrderCheck {
public:
    explicit OrderCheck(size_t window = static_cast<size_t>(-1)) : window_(window) {}

    void Expect(const std::string& key) { expected_.push_back(key); }
    void Receive(const std::string& key);

    size_t Expected() const { return expected_.size(); }
    size_t Matched() const { return matched_; }
    // Never arrived, so far: passed over plus not yet reached.
    size_t Lost() const { return skipped_.size() + (expected_.size() - next_); }
    size_t Reordered() const { return reordered_; }
    // Passed over and not arrived since: thinned, when a later item arrived.
    size_t Passed() const { return skipped_.size(); }
    // Not reached yet: the last item expected has not arrived in order.
    size_t Unreached() const { return expected_.size() - next_; }
    size_t Extra() const { return extra_; }
    bool Complete() const { return matched_ == expected_.size(); }

private:
    size_t window_;
    std::vector<std::string> expected_;
    size_t next_ = 0;
    std::multimap<std::string, size_t> skipped_;
    size_t matched_ = 0;
    size_t reordered_ = 0;
    size_t extra_ = 0;
};

// Slots whose read-back text is not the last text written into them (a
// slot missing from readBack counts too).
size_t CountStale(const std::map<int, std::string>& lastWritten, const std::map<int, std::string>& readBack);

}  // namespace vorn::bench
