#pragma once
// A serial panel as the bench plays it: a pseudo-terminal whose slave the
// driver opens through the COM link (comDir/COM<number>), set raw before the
// driver comes. It sends an alive message every period, decodes every frame
// it receives with its arrival time, sends presses on request, and reads like
// a panel on a real line: at most `rate` bytes a second (a pseudo-terminal
// has no line speed of its own), or not at all while paused.

#include <cstdint>
#include <string>

#include "driver_frame_decoder.h"
#include "event_loop.h"
#include "fake_panel.h"

namespace vorn::bench {

class PtyPanel {
public:
    PtyPanel(EventLoop& loop, int number, uint8_t address, std::string comDir)
        : loop_(loop), number_(number), address_(address), comDir_(std::move(comDir)) {}
    ~PtyPanel();
    PtyPanel(const PtyPanel&) = delete;
    PtyPanel& operator=(const PtyPanel&) = delete;

    void Open();  // throws BenchError
    int number() const { return number_; }
    uint8_t address() const { return address_; }

    void SetAlive(Clock::duration period);
    // Bytes a second the panel takes; 0: as fast as they come.
    void SetReadRate(double bytesPerSecond);
    // Paused: nothing is read (alive messages still go out).
    void SetPaused(bool paused);

    Clock::time_point FirstByte() const { return firstByte_; }
    Clock::time_point LastFrame() const { return lastFrame_; }
    uint64_t BytesRead() const { return bytesRead_; }
    uint64_t JunkBytes() const { return junkBytes_; }

    // Press (true) or release; the time just before the write, epoch when
    // the write failed.
    Clock::time_point SendButton(int button, bool press);

    FakePanel::FrameHook onFrame;

private:
    void Read(size_t most);
    void Tick();
    bool Write(const uint8_t* data, size_t size);

    EventLoop& loop_;
    int number_;
    uint8_t address_;
    std::string comDir_;
    std::string link_;
    int master_ = -1;
    sim::DecodeCarry carry_;
    Clock::duration alivePeriod_{};
    Clock::time_point nextAlive_{};
    double rate_ = 0;
    double credit_ = 0;  // bytes the line has carried and the panel not yet read
    Clock::time_point lastTick_{};
    bool paused_ = false;
    EventLoop::TimerId timer_ = 0;
    uint64_t bytesRead_ = 0;
    uint64_t junkBytes_ = 0;
    Clock::time_point firstByte_{};
    Clock::time_point lastFrame_{};
};

}  // namespace vorn::bench
