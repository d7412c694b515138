#pragma once
// A child process for tests that is talked to line by line: its standard
// input and output are pipes, its standard error goes to a file. Reads wait
// on poll() with a deadline; the child is killed and reaped at scope end if
// it still runs. One thread.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/spawned_process.h"

namespace vorn::test {

class PipedProcess {
public:
    PipedProcess() = default;
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;

    // Starts program with args (argv[1..]) and the environment changes of
    // SpawnedProcess; standard error goes to a file in outputDir. False (with
    // the reason in error()) when a pipe or the spawn failed.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const SpawnedProcess::EnvChanges& env, const std::string& outputDir);

    // Writes text and a newline to the child's standard input, whole; false
    // once the child no longer reads (its end closed).
    bool WriteLine(const std::string& text);
    void CloseInput();

    // The next complete line of standard output (without its newline), or
    // nullopt when the deadline passed or the output ended first. A line
    // longer than kMaxLine is handed out in pieces of kMaxLine bytes.
    std::optional<std::string> ReadLine(std::chrono::milliseconds deadline);

    // Exit code (WEXITSTATUS, or 128 + signal), nullopt when the deadline passed.
    std::optional<int> Wait(std::chrono::milliseconds deadline) { return child_.Wait(deadline); }
    bool Running() { return child_.Running(); }
    void Signal(int signalNumber) { child_.Signal(signalNumber); }

    std::string Stderr() const { return child_.Stderr(); }
    pid_t pid() const { return child_.pid(); }
    const std::string& error() const { return error_.empty() ? child_.error() : error_; }

    // Bound of one line kept in memory: a dump of the largest simulated
    // panel is about 8 KiB.
    static constexpr size_t kMaxLine = 1 << 20;

private:
    SpawnedProcess child_;  // spawning, waiting, signals and the stderr file
    int inFd_ = -1;
    int outFd_ = -1;
    bool outEnded_ = false;
    std::string pending_;  // output read but not yet handed out as lines
    std::string error_;    // pipe failures; spawn failures are in child_.error()
};

}  // namespace vorn::test
