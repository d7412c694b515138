#pragma once
// The seam between the driver's logic and the window system / event loop.
//
// Logic and transports (src/panels, src/protocol, src/transport and the
// Qt-free part of src/app) reach the GUI only through this interface. The
// production implementation (app/gui) uses Qt; tests use the recording
// FakeSeam of tests/support, whose timers are ticked by hand.
//
// Threading: every member is called on the GUI thread, except Post(), which
// any thread may call.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace vorn {

// Control ids of the status view and the debug list.
enum ControlId : int {
    kFieldVersion = 1000,
    kFieldIdentity = 1001,
    kFieldPanelCount = 1002,
    kFieldCommsSummary = 1004,
    kListPanels = 1006,
    kFieldQueue = 1007,
    kFieldLocation = 1009,
    kFieldType = 1010,
    kFieldConnection = 1011,
    kFieldLastButton = 1012,
    kFieldAddress = 1013,
    kButtonReset = 1014,
    kFieldPanelId = 1015,
    kButtonTest = 1016,
    kCaptionAddress = 1017,
    kFieldInfoStatus = 2005,
    kFieldInfoRx = 2006,
    kFieldInfoTx = 2007,
    kFieldPanelRx = 2008,
    kFieldPanelTx = 2009,
    kFieldDriverStatus = 2010,
};

// Timer ids of the main window.
enum TimerId : int {
    kHousekeepingTimer = 1,
    kStartupLoadTimer = 2,
    kFlashTimer = 4,
    kPanelTestTimer = 5,
};

class Seam {
public:
    virtual ~Seam() = default;

    // Status view fields by control id: plain text, or an unsigned number
    // shown in decimal (the dialog's "set item int").
    virtual void SetField(int controlId, std::string_view text) = 0;
    virtual void SetFieldNumber(int controlId, unsigned value) = 0;

    // Panel list (control 1006): lines are appended in order; a reload of
    // the settings clears the list and fills it again. Selection is a
    // 0-based line, -1 for none; clearing leaves none (and, like a selection
    // made by the program, is not the operator's pick).
    virtual void PanelListAdd(std::string_view line) = 0;
    virtual void PanelListClear() = 0;
    virtual void PanelListSelect(int line) = 0;
    virtual int PanelListSelection() const = 0;

    // Debug list (control 100). The 1000-line bound is kept by the caller
    // (DebugMessage), which removes the oldest line itself.
    virtual void DebugListAppend(std::string_view line) = 0;
    virtual int DebugListCount() const = 0;
    virtual void DebugListRemoveFirst() = 0;
    virtual void DebugListClear() = 0;

    // Timers of the main window by id. Starting a running id restarts it with
    // the new period. Ticks arrive through the handler given to
    // SetTimerHandler, on the GUI thread.
    virtual void StartTimer(int id, int periodMs) = 0;
    virtual void StopTimer(int id) = 0;
    virtual void SetTimerHandler(std::function<void(int id)> handler) = 0;

    // Ask the main window to close (as a posted close request: it is acted
    // on after the current handler returns).
    virtual void PostCloseRequest() = 0;

    // Modal message box; without a display the caption and text go to
    // standard error and nothing waits.
    virtual void MessageBox(std::string_view caption, std::string_view text) = 0;

    // Readiness watch on a descriptor. The callback runs on the GUI thread
    // while the descriptor is readable (read) or writable (write); it is
    // level-triggered. Returns a watch id (> 0); RemoveWatch stops it, also
    // from inside its own callback.
    enum class Readiness { kRead, kWrite };
    virtual int AddWatch(int fd, Readiness what, std::function<void()> callback) = 0;
    virtual void RemoveWatch(int watchId) = 0;

    // Run a call on the GUI thread later. Thread-safe.
    virtual void Post(std::function<void()> call) = 0;

    // The loop's monotonic clock (tests move it by hand).
    using Clock = std::chrono::steady_clock;
    virtual Clock::time_point Now() const = 0;
    // Runs call once on the GUI thread when delay has passed on that clock.
    // Returns an id > 0; CancelCall drops a call that has not run yet (an
    // id that ran or is unknown is ignored), also from inside another call.
    virtual int CallAfter(std::chrono::milliseconds delay, std::function<void()> call) = 0;
    virtual void CancelCall(int id) = 0;

    // Main window extras driven by the Debug menu logic: the check mark of a
    // menu command, and the main window's outer height in pixels (its width
    // stays fixed). Seams without a window ignore them.
    virtual void SetMenuCheck(int commandId, bool checked) {
        (void)commandId;
        (void)checked;
    }
    virtual void SetWindowHeight(int height) { (void)height; }
};

// The process's seam. Set once by the application (or by a test fixture)
// before any logic runs; GetSeam() must not be called before that.
void SetSeam(Seam* seam);
Seam& GetSeam();
bool HasSeam();

}  // namespace vorn
