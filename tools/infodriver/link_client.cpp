#include "link_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vorn {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, -1 for "no deadline".
int Remaining(const Clock::time_point* deadline) {
    if (deadline == nullptr) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

LinkClient::~LinkClient() {
    if (fd_ >= 0) close(fd_);
}

bool LinkClient::Attach(int device, int timeoutMs, std::string* error) {
    std::string path = InfoSocketPath(device);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path " + path + " is too long";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
        return false;
    }
    InfoFrame reply;
    if (!Call(XOV_DEVFIND, 0, device & 0xFFFF, "", &reply, timeoutMs)) {
        *error = "no answer from " + path + " (" + error_ + ")";
        return false;
    }
    if (reply.wParam != 1) {
        *error = "the Infodriver at " + path + " does not serve device " + std::to_string(device);
        return false;
    }
    // The XOV_INFOWINDOW that came first is of no use here.
    for (auto it = kept_.begin(); it != kept_.end();) {
        it = it->message == XOV_INFOWINDOW ? kept_.erase(it) : it + 1;
    }
    return true;
}

bool LinkClient::Send(const InfoFrame& frame, int timeoutMs) {
    std::string bytes = EncodeInfoFrame(frame);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    // Bounded by the deadline.
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error_ = std::string("connection lost: ") + std::strerror(errno);
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        int left = Remaining(&deadline);
        if (left == 0 || poll(&p, 1, left) == 0) {
            error_ = "the Infodriver does not take data";
            return false;
        }
    }
    return true;
}

bool LinkClient::Fill(int wakeFd, int timeoutMs, bool* woken) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int rc = poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (rc < 0 && errno == EINTR) return true;  // the caller re-checks its deadline
    if (rc < 0) {
        error_ = std::string("poll: ") + std::strerror(errno);
        return false;
    }
    if (wakeFd >= 0 && (p[1].revents & POLLIN) != 0) *woken = true;
    if (p[0].revents == 0) return true;
    char buf[16384];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        error_ = n == 0 ? "the Infodriver closed the connection" : std::string("read: ") + std::strerror(errno);
        return false;
    }
    reader_.Append(buf, static_cast<size_t>(n));
    return true;
}

bool LinkClient::TakeFrame(InfoFrame* frame) {
    // Bounded by what is buffered: requests are answered and skipped.
    for (;;) {
        InfoFrameReader::Result result = reader_.Next(*frame);
        if (result != InfoFrameReader::Result::kFrame) return false;
        if (frame->id != 0 && !frame->IsReply()) {
            // A request to a tool: it agrees to nothing.
            Send(InfoFrame{frame->message, frame->id, kInfoFlagReply, 0, 0, ""}, 1000);
            continue;
        }
        return true;
    }
}

bool LinkClient::Call(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text, InfoFrame* reply,
                      int timeoutMs) {
    uint32_t id = nextId_++;
    if (!Send(InfoFrame{message, id, 0, wParam, lParam, text}, timeoutMs)) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool woken = false;
    // Bounded by the deadline.
    for (;;) {
        InfoFrame frame;
        while (TakeFrame(&frame)) {
            if (frame.IsReply()) {
                if (frame.id == id && frame.message == message) {
                    *reply = std::move(frame);
                    return true;
                }
                continue;  // a late reply to an earlier call
            }
            if (kept_.size() >= kMaxKept) kept_.pop_front();
            kept_.push_back(std::move(frame));
        }
        if (reader_.Failed()) {
            error_ = "bad frame from the Infodriver";
            return false;
        }
        int left = Remaining(&deadline);
        if (left == 0) {
            error_ = "no reply within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        if (!Fill(-1, left, &woken)) return false;
    }
}

LinkClient::Wait LinkClient::Next(InfoFrame* frame, int wakeFd, int timeoutMs) {
    if (!kept_.empty()) {
        *frame = std::move(kept_.front());
        kept_.pop_front();
        return Wait::kFrame;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Bounded by the deadline (or by the wake descriptor when there is none).
    for (;;) {
        while (TakeFrame(frame)) {
            if (!frame->IsReply()) return Wait::kFrame;
        }
        if (reader_.Failed()) {
            error_ = "bad frame from the Infodriver";
            return Wait::kClosed;
        }
        int left = timeoutMs < 0 ? -1 : Remaining(&deadline);
        if (left == 0) return Wait::kTimeout;
        bool woken = false;
        if (!Fill(wakeFd, left, &woken)) return Wait::kClosed;
        if (woken) return Wait::kWoken;
    }
}

}  // namespace vorn
