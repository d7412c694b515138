#pragma once
// The reference Infodriver ($VORN_BIN_DIR/infodriver DEVICE) as a child
// process for tests, with its socket in a directory of the test's own, and
// slot access through $VORN_BIN_DIR/infoctl.

#include <chrono>
#include <memory>
#include <string>

#include "support/spawned_process.h"

namespace vorn::test {

class InfodriverChild {
public:
    // socketDir is what VORN_INFODRIVER_DIR must name for the clients;
    // workDir receives the child's output files.
    InfodriverChild(int device, std::string socketDir, std::string workDir);
    ~InfodriverChild();

    // Starts the child and waits (deadline) until its socket accepts.
    bool Start(std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    void Stop();   // SIGTERM, then wait for the exit
    SpawnedProcess& process() { return *process_; }

    std::string SocketPath() const;
    // True when a connect to the socket succeeds (the server listens).
    bool Accepting() const;
    // Slot text through infoctl ("" also when infoctl fails; see ok).
    std::string Get(int slot, bool* ok = nullptr) const;
    bool Set(int slot, const std::string& text) const;
    // Polls the slot (through infoctl, a few times a second) until it reads
    // `text` or the deadline passes.
    bool WaitForSlot(int slot, const std::string& text,
                     std::chrono::milliseconds deadline = std::chrono::milliseconds(10000)) const;

private:
    int device_;
    std::string socketDir_;
    std::string workDir_;
    std::unique_ptr<SpawnedProcess> process_;
};

}  // namespace vorn::test
