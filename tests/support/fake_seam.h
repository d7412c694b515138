#pragma once
// Recording seam for tests: keeps every field write, list line, timer and
// message box, ticks timers by hand, and runs descriptor watches and posted
// calls from Pump(), which waits in poll() for at most the given time. Its
// clock stands still until Advance() moves it, which runs the one-shot calls
// that fall due on the way.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/seam.h"

namespace vorn::test {

class FakeSeam : public Seam {
public:
    FakeSeam();
    ~FakeSeam() override;

    void SetField(int controlId, std::string_view text) override;
    void SetFieldNumber(int controlId, unsigned value) override;
    void PanelListAdd(std::string_view line) override;
    void PanelListClear() override {
        panelList.clear();
        selection_ = -1;
    }
    void PanelListSelect(int line) override;
    int PanelListSelection() const override { return selection_; }
    void DebugListAppend(std::string_view line) override;
    int DebugListCount() const override { return static_cast<int>(debugLines.size()); }
    void DebugListRemoveFirst() override;
    void DebugListClear() override { debugLines.clear(); }
    void StartTimer(int id, int periodMs) override;
    void StopTimer(int id) override;
    void SetTimerHandler(std::function<void(int)> handler) override { timerHandler_ = std::move(handler); }
    void PostCloseRequest() override { ++closeRequests; }
    void MessageBox(std::string_view caption, std::string_view text) override;
    int AddWatch(int fd, Readiness what, std::function<void()> callback) override;
    void RemoveWatch(int watchId) override;
    void Post(std::function<void()> call) override;
    Clock::time_point Now() const override { return now_; }
    int CallAfter(std::chrono::milliseconds delay, std::function<void()> call) override;
    void CancelCall(int id) override { calls_.erase(id); }
    void SetMenuCheck(int commandId, bool checked) override { menuChecks[commandId] = checked; }
    void SetWindowHeight(int height) override { windowHeights.push_back(height); }

    // Delivers one tick of timer id to the handler if that timer runs.
    // Returns false (and delivers nothing) when the timer is not running.
    bool Tick(int id);
    bool TimerRunning(int id) const { return timers.count(id) != 0; }

    // Moves the clock on by d, running every one-shot call due on the way at
    // its own time, in time order (calls made by them too, when due).
    void Advance(std::chrono::milliseconds d);
    // Runs the posted calls, those posted by them too (at most `rounds`
    // rounds), without looking at any descriptor. Returns the calls run.
    int RunPosted(int rounds = 100);
    int PendingCalls() const { return static_cast<int>(calls_.size()); }

    // Runs posted calls and ready watches; waits up to `wait` for something
    // to become ready. Returns the number of callbacks run.
    int Pump(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // Pumps until pred() is true or the deadline passes; returns pred().
    bool PumpUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    int WatchCount() const { return static_cast<int>(watches_.size()); }

    // Text of a field ("" if never written) and the history of writes.
    std::string Field(int controlId) const;
    bool HasDebugLine(const std::string& text) const;
    int CountDebugLines(const std::string& text) const;

    std::map<int, std::string> fields;
    std::vector<std::pair<int, std::string>> fieldHistory;
    std::vector<std::string> panelList;
    std::vector<std::string> debugLines;
    std::map<int, int> timers;                       // running id -> period
    std::vector<std::pair<int, int>> timerStarts;    // every start: id, period
    std::vector<int> timerStops;
    std::vector<std::pair<std::string, std::string>> messageBoxes;
    int closeRequests = 0;
    std::map<int, bool> menuChecks;                  // command id -> last check state
    std::vector<int> windowHeights;                  // every SetWindowHeight

private:
    struct Watch {
        int fd;
        Readiness what;
        std::function<void()> callback;
    };
    int selection_ = -1;
    std::function<void(int)> timerHandler_;
    std::map<int, Watch> watches_;
    int nextWatch_ = 1;
    std::mutex postMutex_;
    std::deque<std::function<void()>> posted_;
    struct Call {
        Clock::time_point due;
        std::function<void()> call;
    };
    Clock::time_point now_ = Clock::time_point{} + std::chrono::hours(1000);
    std::map<int, Call> calls_;
    int nextCall_ = 1;
    int wakePipe_[2] = {-1, -1};
};

}  // namespace vorn::test
