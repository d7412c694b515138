#include "link_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vorn::bench {

namespace {

// Bytes read per call before returning to the caller's loop; keeps one busy
// link from starving the others.
constexpr size_t kReadChunk = 65536;
constexpr int kReadsPerCall = 8;

}  // namespace

LinkConnection::~LinkConnection() { Close(); }

void LinkConnection::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    out_.clear();
    outStart_ = 0;
}

bool LinkConnection::Connect(const std::string& path, std::string* error) {
    Close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
        Close();
        return false;
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    reader_ = InfoFrameReader();
    return true;
}

bool LinkConnection::Find(int device, int timeoutMs, std::string* error) {
    const uint32_t id = Request(XOV_DEVFIND, 0, device & 0xFFFF);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<InfoFrame> frames;
    // Bounded by the deadline.
    for (;;) {
        for (const InfoFrame& f : frames) {
            if (f.IsReply() && f.id == id && f.message == XOV_DEVFIND) {
                if (f.wParam == 1) return true;
                *error = "the Infodriver does not serve device " + std::to_string(device);
                return false;
            }
        }
        frames.clear();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            *error = "no answer to XOV_DEVFIND";
            return false;
        }
        pollfd p{fd_, static_cast<short>(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            *error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if ((p.revents & POLLOUT) != 0 && !Flush()) break;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadSome(&frames)) break;
    }
    *error = "the Infodriver closed the link";
    return false;
}

bool LinkConnection::Send(const InfoFrame& frame) {
    if (fd_ < 0) return false;
    out_ += EncodeInfoFrame(frame);
    return Flush();
}

bool LinkConnection::SendEncoded(const std::string& bytes) {
    if (fd_ < 0) return false;
    out_ += bytes;
    return Flush();
}

uint32_t LinkConnection::Request(uint32_t message, int32_t wParam, int32_t lParam, const std::string& text) {
    const uint32_t id = nextId_++;
    if (nextId_ == 0) nextId_ = 1;
    return Send(InfoFrame{message, id, 0, wParam, lParam, text}) ? id : 0;
}

bool LinkConnection::Reply(const InfoFrame& request, int32_t result) {
    return Send(InfoFrame{request.message, request.id, kInfoFlagReply, result, 0, ""});
}

bool LinkConnection::WriteSlot(int slot, const std::string& text) {
    return Send(InfoFrame{XOV_SLOTWRITE, 0, 0, slot, 0, text});
}

bool LinkConnection::Flush() {
    if (fd_ < 0) return false;
    // Bounded by the queued bytes: each turn sends some or returns.
    while (outStart_ < out_.size()) {
        const ssize_t n = send(fd_, out_.data() + outStart_, out_.size() - outStart_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            outStart_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Close();
        return false;
    }
    if (outStart_ == out_.size()) {
        out_.clear();
        outStart_ = 0;
    } else if (outStart_ > (1u << 20)) {
        out_.erase(0, outStart_);
        outStart_ = 0;
    }
    return true;
}

bool LinkConnection::ReadSome(std::vector<InfoFrame>* frames) {
    if (fd_ < 0) return false;
    char buffer[kReadChunk];
    for (int i = 0; i < kReadsPerCall; ++i) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            Close();
            return false;
        }
        reader_.Append(buffer, static_cast<size_t>(n));
        InfoFrame frame;
        while (reader_.Next(frame) == InfoFrameReader::Result::kFrame) frames->push_back(std::move(frame));
        if (reader_.Failed()) {
            Close();
            return false;
        }
        if (static_cast<size_t>(n) < sizeof buffer) break;
    }
    return true;
}

}  // namespace vorn::bench
