#pragma once
// The production seam: status fields, panel list and debug list of the main
// window, timers by id (one QTimer each), descriptor watches
// (QSocketNotifier), posted calls (queued invocations on an object of the GUI
// thread), one-shot calls (single-shot QTimers), the close request and
// message boxes.
//
// It also measures the loop for LoopLag (core/loop_lag.h): a probe timer
// every 100 ms records how late it fires, and every call the seam makes
// (descriptor watch, timer tick, posted or one-shot call) records how long
// it kept the loop. Work of Qt's own (the status page's server, painting)
// shows through the probe only.
//
// Threading: created and used on the GUI thread; Post() is thread-safe.

#include <QObject>
#include <QPointer>
#include <map>
#include <memory>

#include "core/seam.h"

class QListWidget;
class QSocketNotifier;
class QTimer;
class QWidget;

namespace vorn {

class MainWindow;
class StatusView;

class QtSeam : public Seam {
public:
    QtSeam();
    ~QtSeam() override;
    QtSeam(const QtSeam&) = delete;
    QtSeam& operator=(const QtSeam&) = delete;

    // The widgets the seam writes to; any of them may be null (the calls
    // for it then do nothing). The window also owns nothing of the seam.
    void Attach(MainWindow* window, StatusView* view, QListWidget* debugList);

    void SetField(int controlId, std::string_view text) override;
    void SetFieldNumber(int controlId, unsigned value) override;
    void PanelListAdd(std::string_view line) override;
    void PanelListClear() override;
    void PanelListSelect(int line) override;
    int PanelListSelection() const override;
    void DebugListAppend(std::string_view line) override;
    int DebugListCount() const override;
    void DebugListRemoveFirst() override;
    void DebugListClear() override;
    void StartTimer(int id, int periodMs) override;
    void StopTimer(int id) override;
    void SetTimerHandler(std::function<void(int id)> handler) override;
    void PostCloseRequest() override;
    void MessageBox(std::string_view caption, std::string_view text) override;
    int AddWatch(int fd, Readiness what, std::function<void()> callback) override;
    void RemoveWatch(int watchId) override;
    void Post(std::function<void()> call) override;
    Clock::time_point Now() const override { return Clock::now(); }
    int CallAfter(std::chrono::milliseconds delay, std::function<void()> call) override;
    void CancelCall(int id) override;
    void SetMenuCheck(int commandId, bool checked) override;
    void SetWindowHeight(int height) override;

    // Stops every timer (the window is going away).
    void StopAllTimers();
    bool TimerActive(int id) const;
    int TimerInterval(int id) const;   // -1 when the id was never started
    int WatchCount() const { return static_cast<int>(watches_.size()); }

    // True when message boxes are shown on a display; false on the
    // offscreen and minimal platforms, where they go to standard error.
    static bool UsesDisplay();
    // A box without owner; critical adds the error icon. Without a display:
    // "caption: text" on standard error, no wait.
    static void ShowBox(std::string_view caption, std::string_view text, bool critical);

private:
    // Lives on the GUI thread: parent of the timers and notifiers, and the
    // receiver of posted calls (dropped with it when the seam goes).
    std::unique_ptr<QObject> host_;
    QPointer<MainWindow> window_;
    QPointer<StatusView> view_;
    QPointer<QListWidget> debugList_;
    std::map<int, QTimer*> timers_;
    std::function<void(int)> timerHandler_;
    std::map<int, QSocketNotifier*> watches_;
    int nextWatch_ = 1;
    std::map<int, QTimer*> calls_;  // one-shot calls not run yet
    int nextCall_ = 1;
    QTimer* lagProbe_ = nullptr;
    Clock::time_point probeDue_{};
};

}  // namespace vorn
