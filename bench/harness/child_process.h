#pragma once
// Child processes of the bench (Infodriver, driver, relay): started with
// their own environment and a log file for their output, each in a process
// group of its own, and never outliving the harness: the kernel kills them
// when the harness dies (parent-death signal), the destructor kills and
// reaps them, and an interrupt kills them all at once. Exits are waited for
// through a pidfd, with a deadline.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "event_loop.h"

namespace vorn::bench {

// SIGKILL to every running child; async-signal-safe.
void KillAllChildren();

class ChildProcess {
public:
    using Env = std::vector<std::pair<std::string, std::string>>;

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts path with args; env entries are set (or replaced) on top of the
    // harness's environment; stdout and stderr append to logPath.
    bool Start(const std::string& path, const std::vector<std::string>& args, const Env& env,
               const std::string& logPath, std::string* error);

    pid_t pid() const { return pid_; }
    // Time taken just before the fork.
    Clock::time_point Started() const { return started_; }
    const std::string& name() const { return name_; }
    const std::string& logPath() const { return logPath_; }
    bool Running();
    bool Signal(int sig);
    // Exit code (128 + signal for a killed child) once it has ended within
    // the timeout; nullopt while it still runs.
    std::optional<int> Wait(Clock::duration timeout);
    // SIGTERM, up to grace for the exit, then SIGKILL; always reaped.
    void Stop(Clock::duration grace);

    // Set when the bench ends the child on purpose, so that its end is not
    // taken for a crash.
    bool endExpected = false;

private:
    void Reap(int status);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> exitCode_;
    Clock::time_point started_{};
    std::string name_;
    std::string logPath_;
};

// The last lines of a file, for failure reports.
std::string TailOfFile(const std::string& path, size_t lines);

}  // namespace vorn::bench
