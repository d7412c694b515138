#include "support/infodriver_child.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <thread>

#include "support/temp_dir.h"

namespace vorn::test {

InfodriverChild::InfodriverChild(int device, std::string socketDir, std::string workDir)
    : device_(device), socketDir_(std::move(socketDir)), workDir_(std::move(workDir)),
      process_(std::make_unique<SpawnedProcess>()) {}

InfodriverChild::~InfodriverChild() { Stop(); }

std::string InfodriverChild::SocketPath() const {
    return socketDir_ + "/infodriver-" + std::to_string(device_) + ".sock";
}

bool InfodriverChild::Start(std::chrono::milliseconds deadline) {
    if (!process_->Start(BinPath("infodriver"), {std::to_string(device_)},
                         {{"VORN_INFODRIVER_DIR", socketDir_}}, workDir_)) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    // The socket file appears at bind(), before listen(): ready means a
    // connect succeeds.
    while (!Accepting()) {
        if (!process_->Running() || std::chrono::steady_clock::now() >= end) return false;
        // Readiness comes once: a short pause between looks.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool InfodriverChild::Accepting() const {
    const std::string path = SocketPath();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

void InfodriverChild::Stop() {
    if (process_->Running()) {
        process_->Signal(SIGTERM);
        if (!process_->Wait(std::chrono::milliseconds(5000))) process_->Signal(SIGKILL);
    }
}

std::string InfodriverChild::Get(int slot, bool* ok) const {
    std::string out;
    const int code = SpawnedProcess::Run(BinPath("infoctl"), {std::to_string(device_), "get", std::to_string(slot)},
                                         {{"VORN_INFODRIVER_DIR", socketDir_}}, workDir_, &out);
    if (ok != nullptr) *ok = code == 0;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

bool InfodriverChild::Set(int slot, const std::string& text) const {
    return SpawnedProcess::Run(BinPath("infoctl"), {std::to_string(device_), "set", std::to_string(slot), text},
                               {{"VORN_INFODRIVER_DIR", socketDir_}}, workDir_) == 0;
}

bool InfodriverChild::WaitForSlot(int slot, const std::string& text, std::chrono::milliseconds deadline) const {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (Get(slot) == text) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace vorn::test
