#pragma once
// What the soak sent to one panel and what came back, as counts. Pure: no
// I/O, no clock.
//
// Presses: every press and release the panel sent, in order, is expected as
// a button slot write ("1" or "0") at the watching client. The n-th "1"
// written into a button's slot is taken for the n-th press of that button,
// so a write seen twice is a duplicate, one never seen is lost, and one seen
// after a later event of the panel is reordered.
//
// Labels: every label written while the panel was up is expected as a text
// frame at the panel, in order per panel, except that the driver may thin
// the labels of a panel that does not take what it is sent (a paused one):
// a label passed over that never arrives is thinned, which is fine as long
// as the panel ends each up-interval showing the last label written into
// each button (Caught); one it does not show then is a last label lost. A
// frame of a label seen before is a repeat (the refresh after a
// reconnection resends the face); a frame of a label written while the
// panel was down is late news, also fine; a frame of a label never written
// is unknown.

#include <array>
#include <cstddef>
#include <set>
#include <string>

#include "figures.h"

namespace vorn::soak {

constexpr int kButtons = 48;  // CP-2048E

class PressAccount {
public:
    // A press (true) or release sent by the panel.
    void Sent(int button, bool press);
    // A write of text into the button's state slot, seen by the watcher.
    void Seen(int button, const std::string& text);

    size_t pressesSent() const { return sent_[1]; }
    size_t releasesSent() const { return sent_[0]; }
    size_t pressesSeen() const { return seen_[1]; }
    size_t releasesSeen() const { return seen_[0]; }
    size_t lost() const { return order_.Lost(); }
    size_t duplicated() const { return order_.Extra(); }
    size_t reordered() const { return order_.Reordered(); }
    bool allSeen() const { return order_.Complete(); }
    // Buttons whose last seen state is "1".
    size_t stuck() const;

private:
    bench::OrderCheck order_;
    std::array<std::array<size_t, 2>, kButtons + 1> sentOf_{};
    std::array<std::array<size_t, 2>, kButtons + 1> seenOf_{};
    std::array<bool, kButtons + 1> down_{};
    std::array<size_t, 2> sent_{};
    std::array<size_t, 2> seen_{};
};

class LabelAccount {
public:
    // A label (as the panel shows it: ten or eight characters) written into
    // the button's label slot; counted when the panel was up.
    void Written(int button, const std::string& shown, bool counted);
    // A text frame at the panel.
    void Frame(int button, const std::string& text);

    size_t counted() const { return order_.Expected(); }
    size_t seen() const { return order_.Matched(); }
    // Passed over and never arrived (also those of the current interval).
    size_t thinned() const { return order_.Passed() + order_.Unreached(); }
    size_t reordered() const { return order_.Reordered(); }
    size_t repeats() const { return repeats_; }
    size_t late() const { return late_; }
    size_t unknown() const { return unknown_; }
    size_t lastLost() const { return lastLost_; }
    // True when every button shows the last label counted for it.
    bool Caught() const;
    // The up-interval ends: each button not showing its last counted label
    // is a last label lost; the next interval starts afresh.
    void EndInterval();

private:
    static std::string Key(int button, const std::string& text) { return std::to_string(button) + ":" + text; }

    bench::OrderCheck order_;
    std::set<std::string> counted_;
    std::set<std::string> uncounted_;
    std::set<std::string> seen_;
    size_t repeats_ = 0;
    size_t late_ = 0;
    size_t unknown_ = 0;
    size_t lastLost_ = 0;
    // Per button, the last label counted in this interval ("" none) and
    // whether a frame of it came after it was written.
    std::array<std::string, kButtons + 1> last_{};
    std::array<bool, kButtons + 1> lastSeen_{};
};

}  // namespace vorn::soak
