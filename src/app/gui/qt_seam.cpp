#include "app/gui/qt_seam.h"

#include <QGuiApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaObject>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>

#include "app/gui/main_window.h"
#include "app/gui/status_view.h"
#include "core/loop_lag.h"

namespace vorn {

namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Every call through the seam measures how long it held the loop (Timed);
// the probe catches what holds it elsewhere (Qt's own work, the status page)
// to within its period. Each wake-up of an idle driver costs CPU: ten a
// second took a third of its idle figure, two a second is what a watchdog
// that looks for second-long stalls needs.
constexpr std::chrono::milliseconds kLagProbePeriod{500};

// Runs one call of the seam and records how long it kept the loop.
template <typename Call>
void Timed(Call&& call) {
    const Seam::Clock::time_point start = Seam::Clock::now();
    call();
    const Seam::Clock::time_point end = Seam::Clock::now();
    DriverLoopLag().Record(end, end - start);
}

}  // namespace

QtSeam::QtSeam() : host_(std::make_unique<QObject>()) {
    // A precise timer, so that its own slack (5 % for a coarse one) does
    // not show as lag.
    lagProbe_ = new QTimer(host_.get());
    lagProbe_->setTimerType(Qt::PreciseTimer);
    QObject::connect(lagProbe_, &QTimer::timeout, host_.get(), [this] {
        const Clock::time_point now = Clock::now();
        DriverLoopLag().Record(now, now > probeDue_ ? now - probeDue_ : Clock::duration::zero());
        probeDue_ = now + kLagProbePeriod;
    });
    probeDue_ = Clock::now() + kLagProbePeriod;
    lagProbe_->start(kLagProbePeriod);
}

QtSeam::~QtSeam() {
    // Notifiers and timers are children of host_ and go with it.
    watches_.clear();
    timers_.clear();
    calls_.clear();
}

void QtSeam::Attach(MainWindow* window, StatusView* view, QListWidget* debugList) {
    window_ = window;
    view_ = view;
    debugList_ = debugList;
}

void QtSeam::SetField(int controlId, std::string_view text) {
    if (view_) view_->SetFieldText(controlId, ToQString(text));
}

void QtSeam::SetFieldNumber(int controlId, unsigned value) {
    if (view_) view_->SetFieldText(controlId, QString::number(value));
}

void QtSeam::PanelListAdd(std::string_view line) {
    if (view_) view_->AddPanelLine(ToQString(line));
}

void QtSeam::PanelListClear() {
    if (view_) view_->ClearPanelLines();
}

void QtSeam::PanelListSelect(int line) {
    if (view_) view_->SelectPanelLine(line);
}

int QtSeam::PanelListSelection() const { return view_ ? view_->SelectedPanelLine() : -1; }

void QtSeam::DebugListAppend(std::string_view line) {
    if (!debugList_) return;
    debugList_->addItem(ToQString(line));
    // The newest line is kept in view, as the operator reads from the end.
    debugList_->scrollToBottom();
}

int QtSeam::DebugListCount() const { return debugList_ ? debugList_->count() : 0; }

void QtSeam::DebugListRemoveFirst() {
    if (debugList_ && debugList_->count() > 0) delete debugList_->takeItem(0);
}

void QtSeam::DebugListClear() {
    if (debugList_) debugList_->clear();
}

void QtSeam::StartTimer(int id, int periodMs) {
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        timer = new QTimer(host_.get());
        QObject::connect(timer, &QTimer::timeout, host_.get(), [this, id] {
            if (timerHandler_) Timed([&] { timerHandler_(id); });
        });
    }
    timer->start(periodMs < 0 ? 0 : periodMs);  // restarts a running timer
}

void QtSeam::StopTimer(int id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
}

void QtSeam::StopAllTimers() {
    for (auto& [id, timer] : timers_) timer->stop();
}

bool QtSeam::TimerActive(int id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second->isActive();
}

int QtSeam::TimerInterval(int id) const {
    auto it = timers_.find(id);
    return it == timers_.end() ? -1 : it->second->interval();
}

void QtSeam::SetTimerHandler(std::function<void(int id)> handler) { timerHandler_ = std::move(handler); }

void QtSeam::PostCloseRequest() {
    if (window_) QMetaObject::invokeMethod(window_.data(), "close", Qt::QueuedConnection);
}

bool QtSeam::UsesDisplay() {
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void QtSeam::ShowBox(std::string_view caption, std::string_view text, bool critical) {
    if (!UsesDisplay()) {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                     static_cast<int>(text.size()), text.data());
        std::fflush(stderr);
        return;
    }
    QMessageBox box(critical ? QMessageBox::Critical : QMessageBox::NoIcon, ToQString(caption), ToQString(text),
                    QMessageBox::Ok);
    box.exec();
}

void QtSeam::MessageBox(std::string_view caption, std::string_view text) { ShowBox(caption, text, false); }

int QtSeam::AddWatch(int fd, Readiness what, std::function<void()> callback) {
    const int id = nextWatch_++;
    auto* notifier = new QSocketNotifier(
        static_cast<qintptr>(fd), what == Readiness::kRead ? QSocketNotifier::Read : QSocketNotifier::Write,
        host_.get());
    // The callback is owned by the connection, which lives as long as the
    // notifier; RemoveWatch only disables and defers the delete, so a
    // callback that removes its own watch keeps running safely.
    QObject::connect(notifier, &QSocketNotifier::activated, host_.get(),
                     [cb = std::move(callback)] { Timed(cb); });
    watches_[id] = notifier;
    return id;
}

void QtSeam::RemoveWatch(int watchId) {
    auto it = watches_.find(watchId);
    if (it == watches_.end()) return;
    it->second->setEnabled(false);
    it->second->deleteLater();
    watches_.erase(it);
}

void QtSeam::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(host_.get(), [c = std::move(call)] { Timed(c); }, Qt::QueuedConnection);
}

int QtSeam::CallAfter(std::chrono::milliseconds delay, std::function<void()> call) {
    const int id = nextCall_++;
    auto* timer = new QTimer(host_.get());
    timer->setSingleShot(true);
    // Pacing asks for a few milliseconds; a coarse timer's slack would
    // double them.
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, host_.get(), [this, id, timer, c = std::move(call)] {
        // Forgotten before the call, which may start new calls; the timer
        // (and this lambda with it) is deleted once the call has returned.
        calls_.erase(id);
        timer->deleteLater();
        Timed(c);
    });
    calls_[id] = timer;
    timer->start(delay.count() < 0 ? 0 : static_cast<int>(delay.count()));
    return id;
}

void QtSeam::CancelCall(int id) {
    auto it = calls_.find(id);
    if (it == calls_.end()) return;
    it->second->stop();
    it->second->deleteLater();
    calls_.erase(it);
}

void QtSeam::SetMenuCheck(int commandId, bool checked) {
    if (window_) window_->SetMenuCheck(commandId, checked);
}

void QtSeam::SetWindowHeight(int height) {
    if (window_) window_->SetOuterHeight(height);
}

}  // namespace vorn
