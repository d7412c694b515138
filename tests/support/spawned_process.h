#pragma once
// A child process for tests: started with posix_spawn, its standard output
// and error captured to files, waited for with a deadline (pidfd + poll, no
// busy loop), killed and reaped at scope end if still running.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

class SpawnedProcess {
public:
    // Environment changes applied to this process's environment for the
    // child: a value sets the variable, std::nullopt removes it.
    using EnvChanges = std::map<std::string, std::optional<std::string>>;

    SpawnedProcess() = default;
    ~SpawnedProcess();
    SpawnedProcess(const SpawnedProcess&) = delete;
    SpawnedProcess& operator=(const SpawnedProcess&) = delete;

    // For the next Start: the child's standard input, output or error is
    // this descriptor (the caller keeps and closes it) instead of /dev/null
    // or a file; -1 for the default.
    void SetStdinFd(int fd) { stdinFd_ = fd; }
    void SetStdoutFd(int fd) { stdoutFd_ = fd; }
    void SetStderrFd(int fd) { stderrFd_ = fd; }

    // Starts program with args (argv[1..]); output not sent to a descriptor
    // goes to files in outputDir.
    // False (with the reason in error()) when the spawn failed.
    bool Start(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env,
               const std::string& outputDir);

    // Waits for the exit; the exit code (WEXITSTATUS, or 128 + signal) or
    // nullopt when the deadline passed first.
    std::optional<int> Wait(std::chrono::milliseconds deadline);
    bool Running();
    void Signal(int signalNumber);

    std::string Stdout() const;
    std::string Stderr() const;
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

    // Runs program to its end (deadline 10 s); exit code or -1000 on timeout.
    static int Run(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env,
                   const std::string& outputDir, std::string* out = nullptr, std::string* err = nullptr);

private:
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
    std::string outPath_;
    std::string errPath_;
    std::string error_;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
};

// Path of a built executable: $VORN_BIN_DIR/name ("" when VORN_BIN_DIR is unset).
std::string BinPath(const std::string& name);

}  // namespace vorn::test
