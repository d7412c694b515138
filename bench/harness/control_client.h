#pragma once
// The control client of the bench: a plain (non-driver) client of the
// Infodriver link that writes label and colour slots, reads slots back and
// watches every change other clients make. The Infodriver does not tell a
// client about its own writes, so every XOV_SLOTCHANGED seen here was
// written by the driver (or relay) under test.

#include <functional>
#include <map>
#include <string>

#include "event_loop.h"
#include "link_connection.h"

namespace vorn::bench {

class ControlClient {
public:
    using ChangeHook = std::function<void(int slot, const std::string& text, Clock::time_point at)>;
    using ReplyHook = std::function<void(const InfoFrame& reply)>;

    explicit ControlClient(EventLoop& loop) : loop_(loop) {}
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Connects and runs XOV_DEVFIND; throws BenchError.
    void Attach(const std::string& socketPath, int device);
    bool Open() const { return link_.IsOpen(); }

    // One-way slot write; the time just before it went to the socket.
    Clock::time_point Write(int slot, const std::string& text);
    // Many writes, encoded beforehand, handed to the socket in large pieces.
    Clock::time_point WriteEncoded(const std::string& frames);
    // True while written bytes wait to be handed to the socket.
    bool Sending() const { return link_.WantsWrite(); }
    void Read(int slot, std::function<void(const std::string&)> done);
    void Call(uint32_t message, int32_t wParam, ReplyHook done);

    ChangeHook onChanged;
    Clock::time_point LastChange() const { return lastChange_; }

private:
    void OnReady(short revents);

    EventLoop& loop_;
    LinkConnection link_;
    std::map<uint32_t, ReplyHook> replies_;
    Clock::time_point lastChange_{};
};

}  // namespace vorn::bench
