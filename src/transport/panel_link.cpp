#include "transport/panel_link.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/seam.h"

namespace vorn {

namespace {

// A line without a descriptor to watch (a stand-in port) that refuses bytes
// is asked again after this long.
constexpr std::chrono::milliseconds kRetryWithoutWatch{10};

}  // namespace

PanelLink::PanelLink() = default;

PanelLink::~PanelLink() {
    *alive_ = false;
    StopWaiting();
}

bool PanelLink::Send(const uint8_t* data, int length) {
    if (data == nullptr || length <= 0 || !LineUp()) return false;
    const std::span<const uint8_t> frame(data, static_cast<size_t>(length));
    if (queue_.Full()) {
        // Only frames of this turn, not coalesced yet, fill the queue: the
        // line gets them now, and what it does not take is coalesced.
        Flush();
        if (queue_.Full()) queue_.Coalesce();
    }
    if (!queue_.Push(frame, coalescing_)) return false;
    const bool waitingForLine = writeWatch_ != 0 || paceCall_ != 0;
    if (!flushPosted_ && !waitingForLine) {
        // A quiet line: this frame goes now. A frame right behind one that
        // went at once most likely comes from the same turn of the loop (a
        // burst): it and what follows wait for a posted flush and go in one
        // write. A lone frame posts nothing: the posted call would wake the
        // loop once more just as the panel's reader needs the CPU.
        const std::chrono::steady_clock::time_point now =
            HasSeam() ? GetSeam().Now() : std::chrono::steady_clock::time_point{};
        if (!sentAtOnce_ || now - sentAtOnceAt_ > kSameTurn || !HasSeam()) {
            Flush();
            sentAtOnce_ = true;
            sentAtOnceAt_ = now;
        } else {
            flushPosted_ = true;
            std::shared_ptr<bool> alive = alive_;
            GetSeam().Post([this, alive] {
                if (!*alive) return;
                flushPosted_ = false;
                sentAtOnce_ = false;
                Flush();
            });
        }
    }
    return true;
}

std::chrono::milliseconds PanelLink::OutputStalledFor() const {
    if (!stalled_ || queue_.Empty() || !HasSeam()) return std::chrono::milliseconds(0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(GetSeam().Now() - stalledSince_);
}

void PanelLink::Flush() {
    // A sent handler that sends again lands here: the outer pass goes on.
    if (flushing_ || queue_.Empty() || writeWatch_ != 0 || paceCall_ != 0 || !LineUp()) return;
    flushing_ = true;
    std::array<uint8_t, FrameQueue::kCapacity * FrameQueue::kMaxFrame> buffer;
    // Bounded: every pass hands the line at least one byte, or ends.
    while (!queue_.Empty()) {
        std::chrono::milliseconds wait{0};
        const size_t allowance = LineAllowance(&wait);
        if (allowance == 0) {
            std::shared_ptr<bool> alive = alive_;
            paceCall_ = GetSeam().CallAfter(std::max(wait, std::chrono::milliseconds(1)), [this, alive] {
                if (!*alive) return;
                paceCall_ = 0;
                Flush();
            });
            break;
        }
        const size_t offered = queue_.Gather(buffer.data(), std::min(allowance, buffer.size()));
        int error = 0;
        const long taken = LineWrite(buffer.data(), offered, &error);
        if (taken < 0) {
            // The line failed: what waits cannot follow what went. Its
            // close is told by the read side.
            flushing_ = false;
            ResetOutput();
            return;
        }
        if (taken > 0) {
            stalled_ = false;
            LineTook(static_cast<size_t>(taken));
            queue_.Consume(static_cast<size_t>(taken), [this](std::span<const uint8_t> sent) {
                if (sent_ != nullptr) sent_(*this, sent);
            });
        }
        if (static_cast<size_t>(taken) < offered) {
            // The kernel is full: wait until the line can take more.
            if (!stalled_) {
                stalled_ = true;
                stalledSince_ = GetSeam().Now();
            }
            std::shared_ptr<bool> alive = alive_;
            const int fd = LineDescriptor();
            if (fd >= 0) {
                writeWatch_ = GetSeam().AddWatch(fd, Seam::Readiness::kWrite, [this, alive] {
                    if (*alive) OnLineWritable();
                });
            } else {
                paceCall_ = GetSeam().CallAfter(kRetryWithoutWatch, [this, alive] {
                    if (!*alive) return;
                    paceCall_ = 0;
                    Flush();
                });
            }
            break;
        }
    }
    if (queue_.Empty()) {
        coalescing_ = false;
    } else if (!coalescing_) {
        // From now on frames wait for the line, not for the end of the
        // turn: the queue keeps only what the panel must still see.
        coalescing_ = true;
        queue_.Coalesce();
    }
    flushing_ = false;
}

void PanelLink::OnLineWritable() {
    // Level-triggered: stop watching until the line refuses again.
    GetSeam().RemoveWatch(writeWatch_);
    writeWatch_ = 0;
    Flush();
}

void PanelLink::StopWaiting() {
    if (HasSeam()) {
        if (writeWatch_ != 0) GetSeam().RemoveWatch(writeWatch_);
        if (paceCall_ != 0) GetSeam().CancelCall(paceCall_);
    }
    writeWatch_ = 0;
    paceCall_ = 0;
}

void PanelLink::ResetOutput() {
    StopWaiting();
    queue_.Clear();
    coalescing_ = false;
    stalled_ = false;
    sentAtOnce_ = false;
}

}  // namespace vorn
