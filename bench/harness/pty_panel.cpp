#include "pty_panel.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/panel_frames.h"

namespace vorn::bench {

namespace {

// The harness's own clock of the line: how often the panel reads when it
// reads at a rate, and the most a read may catch up after a late turn.
constexpr auto kTickPeriod = std::chrono::milliseconds(5);
constexpr double kMostCreditSeconds = 0.02;

}  // namespace

PtyPanel::~PtyPanel() {
    if (timer_ != 0) loop_.Cancel(timer_);
    if (master_ >= 0) {
        loop_.Unwatch(master_);
        close(master_);
    }
    if (!link_.empty()) unlink(link_.c_str());
}

void PtyPanel::Open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char path[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, path, sizeof path) != 0) {
        throw BenchError("pty panel " + std::to_string(number_) + ": " + std::strerror(errno));
    }
    // Raw before the driver opens it: nothing echoed, every byte unchanged.
    const int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) != 0) {
        throw BenchError("pty panel " + std::to_string(number_) + ": cannot set up " + path);
    }
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    close(slave);
    link_ = comDir_ + "/COM" + std::to_string(number_);
    unlink(link_.c_str());
    if (symlink(path, link_.c_str()) != 0) {
        throw BenchError("pty panel " + std::to_string(number_) + ": cannot link " + link_);
    }
    // While no one has the slave open the master reports a hang-up: read
    // on the panel's own tick, never on a watch that would spin.
    lastTick_ = loop_.Now();
    Tick();
}

void PtyPanel::SetAlive(Clock::duration period) {
    alivePeriod_ = period;
    nextAlive_ = loop_.Now();
}

void PtyPanel::SetReadRate(double bytesPerSecond) {
    rate_ = bytesPerSecond;
    credit_ = 0;
}

void PtyPanel::SetPaused(bool paused) {
    paused_ = paused;
    credit_ = 0;
}

void PtyPanel::Tick() {
    const Clock::time_point now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - lastTick_).count();
    lastTick_ = now;
    if (alivePeriod_ > Clock::duration::zero() && now >= nextAlive_) {
        const uint8_t alive[3] = {MSG_PANEL, address_, PANEL_ALIVE};
        Write(alive, sizeof alive);
        nextAlive_ = now + alivePeriod_;
    }
    if (!paused_) {
        if (rate_ <= 0) {
            Read(static_cast<size_t>(-1));
        } else {
            credit_ = std::min(credit_ + elapsed * rate_, kMostCreditSeconds * rate_ + 1);
            Read(static_cast<size_t>(credit_));
        }
    }
    timer_ = loop_.At(now + kTickPeriod, [this] {
        timer_ = 0;
        Tick();
    });
}

void PtyPanel::Read(size_t most) {
    uint8_t buffer[4096];
    // Bounded: each pass reads or ends, and `most` shrinks.
    while (most > 0) {
        const ssize_t n = read(master_, buffer, std::min(most, sizeof buffer));
        if (n <= 0) return;  // nothing now, or no slave open
        most -= static_cast<size_t>(n);
        if (rate_ > 0) credit_ -= static_cast<double>(n);
        bytesRead_ += static_cast<uint64_t>(n);
        const Clock::time_point at = Clock::now();
        if (firstByte_ == Clock::time_point{}) firstByte_ = at;
        sim::DecodeResult result = sim::DecodeDriverFrames(carry_, {buffer, static_cast<size_t>(n)}, address_);
        carry_ = result.carry;
        for (const sim::DecodedFrame& f : result.frames) {
            if (f.kind == sim::FrameKind::Junk) {
                junkBytes_ += f.bytes.size();
                continue;
            }
            lastFrame_ = at;
            if (onFrame) onFrame(f, at);
        }
    }
}

bool PtyPanel::Write(const uint8_t* data, size_t size) {
    return master_ >= 0 && write(master_, data, size) == static_cast<ssize_t>(size);
}

Clock::time_point PtyPanel::SendButton(int button, bool press) {
    const uint8_t frame[4] = {MSG_BUTTON, address_, press ? ACTION_PRESS : ACTION_RELEASE, static_cast<uint8_t>(button)};
    const Clock::time_point at = Clock::now();
    return Write(frame, sizeof frame) ? at : Clock::time_point{};
}

}  // namespace vorn::bench
