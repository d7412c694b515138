#pragma once
// A fake Infodriver for tests of the link client: a thread that owns the
// device's listening Unix socket and speaks link frames, with switchable
// behaviours (silent, stuck, closing) and a per-frame hook. It answers
// XOV_DEVFIND, XOV_SLOTREAD and XOV_GETMODE and keeps written slots.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/extinfo.h"
#include "transport/info_frame.h"

namespace vorn::test {

using namespace std::chrono_literals;

// The Infodriver's id that the fake sends with XOV_INFOWINDOW.
constexpr int kInfoId = 77;

class FakeInfodriver {
public:
    // Hook: runs on the server thread for every frame from the client, after
    // it is recorded; returns true when it has dealt with the frame itself.
    using Hook = std::function<bool(FakeInfodriver&, const InfoFrame&)>;

    std::atomic<bool> answerDevfind{true};   // false: reads DEVFIND but never answers
    std::atomic<int> devfindResult{1};
    std::atomic<bool> answerRequests{true};  // false: holds its replies back (see ReplyLate)
    std::atomic<bool> readFrames{true};      // false: never reads, so the client's writes pile up
    std::atomic<int> mode{IFMODE_TXRX};

    explicit FakeInfodriver(int device) {
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = InfoSocketPath(device);
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        unlink(path.c_str());
        if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0) {
            ADD_FAILURE() << "cannot listen on " << path;
        }
        if (pipe2(wake_, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    }
    ~FakeInfodriver() {
        stop_ = true;
        [[maybe_unused]] ssize_t r = write(wake_[1], "x", 1);
        if (thread_.joinable()) thread_.join();
        for (int fd : {listen_, client_, wake_[0], wake_[1]}) {
            if (fd >= 0) close(fd);
        }
    }
    // Behaviour fields and the hook are set before Start().
    void Start(Hook hook = nullptr) {
        hook_ = std::move(hook);
        thread_ = std::thread([this] { Run(); });
    }

    void SetSlot(int slot, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[slot] = text;
    }
    std::string Slot(int slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_[slot];
    }
    // Answers the calls held back while answerRequests was off (too late
    // for a client that has given up on them).
    void ReplyLate() {
        std::vector<InfoFrame> late;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            late.swap(late_);
        }
        for (const auto& f : late) Reply(f, f.message == XOV_SLOTREAD ? 1 : 9, "late");
    }

    void Send(const InfoFrame& f) { SendRaw(EncodeInfoFrame(f)); }
    void SendRaw(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        size_t done = 0;
        while (done < bytes.size() && client_ >= 0) {
            ssize_t n = send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void Reply(const InfoFrame& request, int32_t wParam, const std::string& text = "") {
        Send(InfoFrame{request.message, request.id, kInfoFlagReply, wParam, 0, text});
    }
    void CloseClient() {
        std::lock_guard<std::mutex> lock(writeMutex_);
        shutdown(client_, SHUT_RDWR);
    }

    std::vector<InfoFrame> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    int Count(uint32_t message) {
        int n = 0;
        for (const auto& f : Received()) n += f.message == message && !f.IsReply();
        return n;
    }
    // Waits (server side, without pumping the client) for a frame.
    bool WaitFor(const std::function<bool(const InfoFrame&)>& pred, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [&] {
            for (const auto& f : received_) {
                if (pred(f)) return true;
            }
            return false;
        });
    }
    const InfoFrame* FindReply(const std::vector<InfoFrame>& frames, uint32_t id) {
        for (const auto& f : frames) {
            if (f.IsReply() && f.id == id) return &f;
        }
        return nullptr;
    }

private:
    void Run() {
        InfoFrameReader reader;
        while (!stop_) {
            pollfd fds[2] = {{wake_[0], POLLIN, 0}, {-1, POLLIN, 0}};
            fds[1].fd = client_ < 0 ? listen_ : (readFrames ? client_ : -1);
            if (poll(fds, 2, -1) < 0) continue;
            if (stop_) return;
            if (fds[1].revents == 0) continue;
            if (client_ < 0) {
                int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                std::lock_guard<std::mutex> lock(writeMutex_);
                client_ = fd;
                continue;
            }
            char buf[4096];
            ssize_t n = recv(client_, buf, sizeof buf, 0);
            if (n <= 0) {
                readFrames = false;  // client gone: wait for the stop
                continue;
            }
            reader.Append(buf, static_cast<size_t>(n));
            InfoFrame f;
            while (reader.Next(f) == InfoFrameReader::Result::kFrame) Handle(f);
        }
    }
    void Handle(const InfoFrame& f) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(f);
        }
        cv_.notify_all();
        if (hook_ && hook_(*this, f)) return;
        if (f.IsReply()) return;
        switch (f.message) {
            case XOV_DEVFIND:
                if (!answerDevfind) return;
                Send(InfoFrame{XOV_INFOWINDOW, 0, 0, kInfoId, 0, ""});
                Reply(f, devfindResult);
                break;
            case XOV_SLOTREAD:
            case XOV_GETMODE:
                if (!answerRequests) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    late_.push_back(f);
                } else {
                    Reply(f, f.message == XOV_GETMODE ? mode.load() : 1,
                          f.message == XOV_GETMODE ? "" : Slot(f.wParam));
                }
                break;
            case XOV_SETMODE:
                mode = f.wParam;
                break;
            case XOV_SLOTWRITE:
            case XOV_SLOTWRITENEG:
                SetSlot(f.wParam, f.text);
                break;
            default:
                break;
        }
    }

    int listen_ = -1;
    int client_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    Hook hook_;
    std::mutex writeMutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<InfoFrame> received_;
    std::map<int, std::string> slots_;
    std::vector<InfoFrame> late_;
};

}  // namespace vorn::test
