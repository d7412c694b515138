// bench-relay: the least a panel driver has to do, as a yardstick for the
// bench. It attaches to the Infodriver as a driver client, connects to the
// panels over TCP while it is main, turns every XOV_SLOTCHANGED of a label or
// colour slot into the panel frame at once, and every button press or
// release into a slot write. No echo, no confirmation, no state beyond the
// sockets. While reserve it waits for the Infodriver to offer the main role.
//
//   bench-relay DEVICE HOST:PORT:ADDRESS...
//
// The n-th panel argument is panel n (slots 300(n-1)+1..+299); ADDRESS is
// the panel's address byte in decimal. All panels have 48 text buttons.
// Once connected to a panel it sends it one poll frame, so that a panel sees
// a first frame as soon as the relay is there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link_connection.h"
#include "panel_input.h"
#include "protocol/panel_frames.h"
#include "transport/info_frame.h"

namespace vorn::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlotsPerPanel = 300;
constexpr int kButtons = 48;
constexpr int kLabelOffset = 50;
constexpr int kColourOffset = 100;
constexpr int kDriverStatusSlot = 4001;
constexpr auto kReconnectDelay = std::chrono::seconds(1);

struct Panel {
    std::string host;
    int port = 0;
    int address = 0;
    int fd = -1;
    bool connecting = false;
    Clock::time_point retryAt{};
    std::vector<uint8_t> out;
    PanelInputCutter cutter;
};

class Relay {
public:
    Relay(int device, std::vector<Panel> panels) : device_(device), panels_(std::move(panels)) {}

    int Run() {
        std::string error;
        if (!link_.Connect(InfoSocketPath(device_), &error) || !link_.Find(device_, 3000, &error)) {
            std::fprintf(stderr, "bench-relay: %s\n", error.c_str());
            return 3;
        }
        link_.Send(InfoFrame{XOV_DEVATTACHED, 0, 0, 0, 0, ""});
        link_.WriteSlot(kDriverStatusSlot, "1");
        modeRequest_ = link_.Request(XOV_GETMODE, 0);
        std::vector<pollfd> fds;
        std::vector<InfoFrame> frames;
        // Runs until the Infodriver goes away.
        for (;;) {
            fds.clear();
            fds.push_back({link_.fd(), static_cast<short>(POLLIN | (link_.WantsWrite() ? POLLOUT : 0)), 0});
            for (const Panel& p : panels_) {
                if (p.fd < 0) continue;
                short events = POLLIN;
                if (p.connecting || !p.out.empty()) events |= POLLOUT;
                fds.push_back({p.fd, events, 0});
            }
            if (poll(fds.data(), fds.size(), Timeout()) < 0 && errno != EINTR) return 1;
            if (fds[0].revents & POLLOUT) link_.Flush();
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                frames.clear();
                const bool open = link_.ReadSome(&frames);
                for (const InfoFrame& f : frames) HandleInfo(f);
                if (!open || gone_) return 0;
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                for (size_t n = 0; n < panels_.size(); ++n) {
                    if (panels_[n].fd == fds[i].fd) HandlePanel(n, fds[i].revents);
                }
            }
            if (main_) RetryPanels();
        }
    }

private:
    int Timeout() const {
        if (!main_) return -1;
        int ms = -1;
        const auto now = Clock::now();
        for (const Panel& p : panels_) {
            if (p.fd >= 0) continue;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.retryAt - now).count();
            const int wait = left < 0 ? 0 : static_cast<int>(left);
            if (ms < 0 || wait < ms) ms = wait;
        }
        return ms;
    }

    void HandleInfo(const InfoFrame& f) {
        if (f.IsReply()) {
            if (f.id == modeRequest_ && f.message == XOV_GETMODE && f.wParam == 2) BecomeMain();
            return;
        }
        switch (f.message) {
            case XOV_SLOTCHANGED:
                if (main_) SlotChanged(f.wParam, f.text);
                break;
            case XOV_REQDEVGOTXRX:
                link_.Reply(f, 1);
                BecomeMain();
                break;
            case XOV_INFODISCONNECTED:
                gone_ = true;
                break;
            default:
                if (f.id != 0) link_.Reply(f, 0);  // refuses to give the main role up
                break;
        }
    }

    void BecomeMain() {
        if (main_) return;
        main_ = true;
        for (Panel& p : panels_) p.retryAt = Clock::now();
        RetryPanels();
    }

    void SlotChanged(int slot, const std::string& text) {
        if (slot < 1) return;
        const size_t n = static_cast<size_t>((slot - 1) / kSlotsPerPanel);
        if (n >= panels_.size() || panels_[n].fd < 0 || panels_[n].connecting) return;
        Panel& p = panels_[n];
        const int offset = slot - kSlotsPerPanel * static_cast<int>(n);
        if (offset > kLabelOffset && offset <= kLabelOffset + kButtons) {
            Queue(p, BuildTextFrame(p.address, offset - kLabelOffset, text, TextForm::Long10));
        } else if (offset > kColourOffset && offset <= kColourOffset + kButtons && text.size() == 1 &&
                   text[0] >= '0' && text[0] <= '9') {
            Queue(p, BuildColourFrame(p.address, offset - kColourOffset, text[0] - '0'));
        }
    }

    void Queue(Panel& p, const PanelFrame& frame) {
        p.out.insert(p.out.end(), frame.Data(), frame.Data() + frame.Length());
        FlushPanel(p);
    }

    void FlushPanel(Panel& p) {
        while (!p.out.empty()) {
            const ssize_t n = send(p.fd, p.out.data(), p.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                p.out.erase(p.out.begin(), p.out.begin() + n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            Drop(p);
            return;
        }
    }

    void HandlePanel(size_t n, short revents) {
        Panel& p = panels_[n];
        if (p.connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                Drop(p);
                return;
            }
            p.connecting = false;
            Queue(p, BuildPollFrame(p.address));
            return;
        }
        if (revents & POLLOUT) FlushPanel(p);
        if (p.fd < 0 || (revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
        uint8_t buffer[4096];
        const ssize_t got = recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (got <= 0) {
            Drop(p);
            return;
        }
        inputs_.clear();
        p.cutter.Feed(buffer, static_cast<size_t>(got), &inputs_);
        const int base = kSlotsPerPanel * static_cast<int>(n);
        for (const PanelInput& in : inputs_) {
            if (in.kind != PanelInput::Kind::Button || in.address != p.address) continue;
            if (in.number < 1 || in.number > kLabelOffset) continue;
            link_.WriteSlot(base + in.number, in.action == 1 ? "1" : "0");
        }
    }

    void Drop(Panel& p) {
        if (p.fd >= 0) close(p.fd);
        p.fd = -1;
        p.connecting = false;
        p.out.clear();
        p.cutter.Reset();
        p.retryAt = Clock::now() + kReconnectDelay;
    }

    void RetryPanels() {
        const auto now = Clock::now();
        for (Panel& p : panels_) {
            if (p.fd >= 0 || now < p.retryAt) continue;
            p.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<uint16_t>(p.port));
            inet_pton(AF_INET, p.host.c_str(), &addr.sin_addr);
            if (connect(p.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                Queue(p, BuildPollFrame(p.address));
            } else if (errno == EINPROGRESS) {
                p.connecting = true;
            } else {
                Drop(p);
            }
        }
    }

    int device_;
    std::vector<Panel> panels_;
    LinkConnection link_;
    uint32_t modeRequest_ = 0;
    bool main_ = false;
    bool gone_ = false;
    std::vector<PanelInput> inputs_;
};

bool ParsePanel(const std::string& arg, Panel* p) {
    const size_t last = arg.rfind(':');
    const size_t mid = last == std::string::npos || last == 0 ? std::string::npos : arg.rfind(':', last - 1);
    if (mid == std::string::npos) return false;
    p->host = arg.substr(0, mid);
    p->port = std::atoi(arg.c_str() + mid + 1);
    p->address = std::atoi(arg.c_str() + last + 1);
    return p->port > 0 && p->port < 65536 && p->address >= 0 && p->address < 256;
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-relay DEVICE HOST:PORT:ADDRESS...\n");
        return 2;
    }
    const int device = std::atoi(argv[1]);
    std::vector<vorn::bench::Panel> panels;
    for (int i = 2; i < argc; ++i) {
        vorn::bench::Panel p;
        if (!vorn::bench::ParsePanel(argv[i], &p)) {
            std::fprintf(stderr, "bench-relay: bad panel '%s'\n", argv[i]);
            return 2;
        }
        panels.push_back(std::move(p));
    }
    if (device < 1) {
        std::fprintf(stderr, "bench-relay: bad device '%s'\n", argv[1]);
        return 2;
    }
    return vorn::bench::Relay(device, std::move(panels)).Run();
}
