#include "control_client.h"

#include <poll.h>

#include <vector>

namespace vorn::bench {

ControlClient::~ControlClient() {
    if (link_.IsOpen()) loop_.Unwatch(link_.fd());
}

void ControlClient::Attach(const std::string& socketPath, int device) {
    std::string error;
    if (!link_.Connect(socketPath, &error) || !link_.Find(device, 3000, &error)) {
        throw BenchError("control client: " + error);
    }
    const int fd = link_.fd();
    loop_.Watch(
        fd, [this] { return static_cast<short>(POLLIN | (link_.WantsWrite() ? POLLOUT : 0)); },
        [this](short revents) { OnReady(revents); });
}

Clock::time_point ControlClient::Write(int slot, const std::string& text) {
    const Clock::time_point at = Clock::now();
    link_.WriteSlot(slot, text);
    return at;
}

Clock::time_point ControlClient::WriteEncoded(const std::string& frames) {
    const Clock::time_point at = Clock::now();
    link_.SendEncoded(frames);
    return at;
}

void ControlClient::Read(int slot, std::function<void(const std::string&)> done) {
    const uint32_t id = link_.Request(XOV_SLOTREAD, slot);
    if (id != 0) replies_[id] = [done = std::move(done)](const InfoFrame& f) { done(f.text); };
}

void ControlClient::Call(uint32_t message, int32_t wParam, ReplyHook done) {
    const uint32_t id = link_.Request(message, wParam);
    if (id != 0) replies_[id] = std::move(done);
}

void ControlClient::OnReady(short revents) {
    const int fd = link_.fd();
    if ((revents & POLLOUT) != 0) link_.Flush();
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    std::vector<InfoFrame> frames;
    const bool open = link_.ReadSome(&frames);
    const Clock::time_point at = loop_.Now();
    for (const InfoFrame& f : frames) {
        if (f.IsReply()) {
            auto it = replies_.find(f.id);
            if (it == replies_.end()) continue;
            ReplyHook hook = std::move(it->second);
            replies_.erase(it);
            hook(f);
        } else if (f.id != 0) {
            link_.Reply(f, 0);  // not a driver: agrees to nothing
        } else if (f.message == XOV_SLOTCHANGED) {
            lastChange_ = at;
            if (onChanged) onChanged(f.wParam, f.text, at);
        }
    }
    if (!open) loop_.Unwatch(fd);
}

}  // namespace vorn::bench
