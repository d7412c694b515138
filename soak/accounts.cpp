#include "accounts.h"

namespace vorn::soak {

void PressAccount::Sent(int button, bool press) {
    if (button < 1 || button > kButtons) return;
    const size_t n = ++sentOf_[button][press ? 1 : 0];
    ++sent_[press ? 1 : 0];
    order_.Expect(std::to_string(button) + (press ? ":1#" : ":0#") + std::to_string(n));
}

void PressAccount::Seen(int button, const std::string& text) {
    if (button < 1 || button > kButtons) return;
    if (text != "0" && text != "1") {
        order_.Receive("?");  // matches nothing: an extra write
        return;
    }
    const bool press = text == "1";
    const size_t n = ++seenOf_[button][press ? 1 : 0];
    ++seen_[press ? 1 : 0];
    down_[button] = press;
    order_.Receive(std::to_string(button) + ":" + text + "#" + std::to_string(n));
}

size_t PressAccount::stuck() const {
    size_t n = 0;
    for (bool d : down_) n += d ? 1 : 0;
    return n;
}

void LabelAccount::Written(int button, const std::string& shown, bool counted) {
    const std::string key = Key(button, shown);
    if (counted) {
        counted_.insert(key);
        order_.Expect(key);
        if (button >= 1 && button <= kButtons) {
            last_[button] = shown;
            lastSeen_[button] = false;
        }
    } else {
        uncounted_.insert(key);
        // A newer label that does not count (written while the panel was
        // not up) replaces the last counted one, which need not show then.
        if (button >= 1 && button <= kButtons) last_[button].clear();
    }
}

bool LabelAccount::Caught() const {
    for (int b = 1; b <= kButtons; ++b) {
        if (!last_[b].empty() && !lastSeen_[b]) return false;
    }
    return true;
}

void LabelAccount::EndInterval() {
    for (int b = 1; b <= kButtons; ++b) {
        if (!last_[b].empty() && !lastSeen_[b]) ++lastLost_;
        last_[b].clear();
        lastSeen_[b] = false;
    }
}

void LabelAccount::Frame(int button, const std::string& text) {
    const std::string key = Key(button, text);
    if (button >= 1 && button <= kButtons && !last_[button].empty()) lastSeen_[button] = text == last_[button];
    if (counted_.count(key) != 0) {
        if (seen_.insert(key).second) {
            order_.Receive(key);
        } else {
            ++repeats_;
        }
    } else if (uncounted_.count(key) != 0) {
        ++late_;
    } else if (!text.empty() && text[0] == 'S') {
        ++unknown_;  // the soak's own kind of label, but never written
    }
}

}  // namespace vorn::soak
