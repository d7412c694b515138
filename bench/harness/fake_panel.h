#pragma once
// A panel as the bench plays it: listens on 127.0.0.1 (a free port), takes
// the driver's (or relay's) TCP connection, a newer one replacing the older,
// answers at once with an alive message and then repeats it every period,
// decodes every frame it receives with its arrival time, and sends presses
// and releases on request.

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>

#include "driver_frame_decoder.h"
#include "event_loop.h"

namespace vorn::bench {

class FakePanel {
public:
    using FrameHook = std::function<void(const sim::DecodedFrame&, Clock::time_point)>;

    FakePanel(EventLoop& loop, int number, uint8_t address) : loop_(loop), number_(number), address_(address) {}
    ~FakePanel();
    FakePanel(const FakePanel&) = delete;
    FakePanel& operator=(const FakePanel&) = delete;

    void Listen();  // throws BenchError
    int port() const { return port_; }
    int number() const { return number_; }
    uint8_t address() const { return address_; }

    // Alive messages every period after the first one, which goes out at
    // the accept; the first repeat is offset by phase so that panels spread
    // over the period. A zero period sends only the first.
    void SetAlive(Clock::duration period, Clock::duration phase);

    // Paused: the panel reads nothing (its alive messages still go out);
    // what the system sends waits in the sockets until it reads again.
    void SetPaused(bool paused) { paused_ = paused; }

    bool Connected() const { return conn_ >= 0; }
    // Connections accepted so far, and the times of the last accept and of
    // the first byte received on the current connection (epoch: none yet).
    uint64_t Accepts() const { return accepts_; }
    Clock::time_point LastAccept() const { return lastAccept_; }
    Clock::time_point FirstByte() const { return firstByte_; }
    Clock::time_point LastFrame() const { return lastFrame_; }
    // Bytes that formed no frame: a frame cut short or mixed with another.
    uint64_t JunkBytes() const { return junkBytes_; }

    // Press (true) or release of a button; returns the time just before the
    // write, or nullopt-like epoch when not connected.
    Clock::time_point SendButton(int button, bool press);

    FrameHook onFrame;

private:
    void Accept();
    void Read();
    void CloseConnection();
    void SendAlive();
    void ScheduleAlive(Clock::time_point when);
    bool SendBytes(const uint8_t* data, size_t size);

    EventLoop& loop_;
    int number_;
    uint8_t address_;
    int listen_ = -1;
    int port_ = 0;
    int conn_ = -1;
    sim::DecodeCarry carry_;
    Clock::duration alivePeriod_{};
    Clock::duration alivePhase_{};
    EventLoop::TimerId aliveTimer_ = 0;
    uint64_t accepts_ = 0;
    Clock::time_point lastAccept_{};
    Clock::time_point firstByte_{};
    Clock::time_point lastFrame_{};
    bool paused_ = false;
    uint64_t junkBytes_ = 0;
};

}  // namespace vorn::bench
