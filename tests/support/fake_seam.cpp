#include "support/fake_seam.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace vorn::test {

FakeSeam::FakeSeam() {
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
    }
}

FakeSeam::~FakeSeam() {
    for (int fd : wakePipe_) {
        if (fd >= 0) close(fd);
    }
}

void FakeSeam::SetField(int controlId, std::string_view text) {
    fields[controlId] = std::string(text);
    fieldHistory.emplace_back(controlId, std::string(text));
}

void FakeSeam::SetFieldNumber(int controlId, unsigned value) {
    SetField(controlId, std::to_string(value));
}

void FakeSeam::PanelListAdd(std::string_view line) { panelList.emplace_back(line); }

void FakeSeam::PanelListSelect(int line) {
    selection_ = (line >= 0 && line < static_cast<int>(panelList.size())) ? line : -1;
}

void FakeSeam::DebugListAppend(std::string_view line) { debugLines.emplace_back(line); }

void FakeSeam::DebugListRemoveFirst() {
    if (!debugLines.empty()) debugLines.erase(debugLines.begin());
}

void FakeSeam::StartTimer(int id, int periodMs) {
    timers[id] = periodMs;
    timerStarts.emplace_back(id, periodMs);
}

void FakeSeam::StopTimer(int id) {
    timers.erase(id);
    timerStops.push_back(id);
}

void FakeSeam::MessageBox(std::string_view caption, std::string_view text) {
    messageBoxes.emplace_back(std::string(caption), std::string(text));
}

int FakeSeam::AddWatch(int fd, Readiness what, std::function<void()> callback) {
    int id = nextWatch_++;
    watches_[id] = Watch{fd, what, std::move(callback)};
    return id;
}

void FakeSeam::RemoveWatch(int watchId) { watches_.erase(watchId); }

void FakeSeam::Post(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        posted_.push_back(std::move(call));
    }
    if (wakePipe_[1] >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t r = write(wakePipe_[1], &b, 1);
    }
}

int FakeSeam::CallAfter(std::chrono::milliseconds delay, std::function<void()> call) {
    const int id = nextCall_++;
    calls_[id] = Call{now_ + std::max(delay, std::chrono::milliseconds(0)), std::move(call)};
    return id;
}

void FakeSeam::Advance(std::chrono::milliseconds d) {
    const Clock::time_point until = now_ + d;
    // Bounded by the calls due before `until`; a call that keeps starting
    // new ones due at once would not end, which no user of the seam does.
    for (;;) {
        auto next = calls_.end();
        for (auto it = calls_.begin(); it != calls_.end(); ++it) {
            if (it->second.due <= until && (next == calls_.end() || it->second.due < next->second.due)) next = it;
        }
        if (next == calls_.end()) break;
        now_ = std::max(now_, next->second.due);
        std::function<void()> call = std::move(next->second.call);
        calls_.erase(next);
        call();
    }
    now_ = until;
}

int FakeSeam::RunPosted(int rounds) {
    int ran = 0;
    for (int r = 0; r < rounds; ++r) {
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard<std::mutex> lock(postMutex_);
            calls.swap(posted_);
        }
        if (calls.empty()) break;
        for (auto& c : calls) {
            c();
            ++ran;
        }
    }
    return ran;
}

bool FakeSeam::Tick(int id) {
    if (!TimerRunning(id)) return false;
    if (timerHandler_) timerHandler_(id);
    return true;
}

int FakeSeam::Pump(std::chrono::milliseconds wait) {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    fds.push_back(pollfd{wakePipe_[0], POLLIN, 0});
    for (const auto& [id, w] : watches_) {
        fds.push_back(pollfd{w.fd, static_cast<short>(w.what == Readiness::kRead ? POLLIN : POLLOUT), 0});
        ids.push_back(id);
    }
    bool havePosted;
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        havePosted = !posted_.empty();
    }
    int timeout = havePosted ? 0 : static_cast<int>(wait.count());
    int n = poll(fds.data(), fds.size(), timeout);
    int ran = 0;
    if (fds[0].revents & POLLIN) {
        char buf[64];
        while (read(wakePipe_[0], buf, sizeof buf) > 0) {
        }
    }
    // Posted calls first, in order; calls posted while running wait for the
    // next pump so that one pump is bounded.
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(postMutex_);
        calls.swap(posted_);
    }
    for (auto& c : calls) {
        c();
        ++ran;
    }
    // One-shot calls due on the clock as it stands (it moves only by
    // Advance); those they start wait for the next pump.
    std::vector<int> due;
    for (const auto& [id, c] : calls_) {
        if (c.due <= now_) due.push_back(id);
    }
    for (int id : due) {
        auto it = calls_.find(id);
        if (it == calls_.end()) continue;  // cancelled by an earlier call
        std::function<void()> call = std::move(it->second.call);
        calls_.erase(it);
        call();
        ++ran;
    }
    if (n > 0) {
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto it = watches_.find(ids[i - 1]);
            if (it == watches_.end()) continue;  // removed by an earlier callback
            auto cb = it->second.callback;       // copy: the callback may remove itself
            cb();
            ++ran;
        }
    }
    return ran;
}

bool FakeSeam::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) return pred();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        Pump(std::min(left, std::chrono::milliseconds(50)));
    }
    return true;
}

std::string FakeSeam::Field(int controlId) const {
    auto it = fields.find(controlId);
    return it == fields.end() ? std::string() : it->second;
}

bool FakeSeam::HasDebugLine(const std::string& text) const { return CountDebugLines(text) > 0; }

int FakeSeam::CountDebugLines(const std::string& text) const {
    return static_cast<int>(std::count(debugLines.begin(), debugLines.end(), text));
}

}  // namespace vorn::test
