#include "support/spawned_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace vorn::test {

namespace {

std::atomic<int> g_counter{0};

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string BinPath(const std::string& name) {
    const char* dir = std::getenv("VORN_BIN_DIR");
    return dir == nullptr ? std::string() : std::string(dir) + "/" + name;
}

SpawnedProcess::~SpawnedProcess() {
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
}

bool SpawnedProcess::Start(const std::string& program, const std::vector<std::string>& args,
                           const EnvChanges& env, const std::string& outputDir) {
    const int n = g_counter.fetch_add(1);
    outPath_ = outputDir + "/child" + std::to_string(getpid()) + "_" + std::to_string(n) + ".out";
    errPath_ = outputDir + "/child" + std::to_string(getpid()) + "_" + std::to_string(n) + ".err";

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env) {
        if (value) envStrings.push_back(name + "=" + *value);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the child's copy only.
    if (stdinFd_ >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdinFd_, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (stdoutFd_ >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd_, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (stderrFd_ >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stderrFd_, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error_ = "posix_spawn " + program + ": " + std::strerror(rc);
        pid_ = -1;
        return false;
    }
    exitCode_.reset();
    return true;
}

std::optional<int> SpawnedProcess::Wait(std::chrono::milliseconds deadline) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    const auto end = std::chrono::steady_clock::now() + deadline;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitCode_ = ExitCodeOf(status);
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        } else {
            // Kernels without pidfd: a short sleep between checks.
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
        }
    }
    if (pidfd >= 0) close(pidfd);
    return exitCode_;
}

bool SpawnedProcess::Running() { return pid_ > 0 && !Wait(std::chrono::milliseconds(0)); }

void SpawnedProcess::Signal(int signalNumber) {
    if (pid_ > 0 && !exitCode_) kill(pid_, signalNumber);
}

std::string SpawnedProcess::Stdout() const { return ReadFile(outPath_); }
std::string SpawnedProcess::Stderr() const { return ReadFile(errPath_); }

int SpawnedProcess::Run(const std::string& program, const std::vector<std::string>& args, const EnvChanges& env,
                        const std::string& outputDir, std::string* out, std::string* err) {
    SpawnedProcess p;
    if (!p.Start(program, args, env, outputDir)) {
        if (err != nullptr) *err = p.error();
        return -1001;
    }
    std::optional<int> code = p.Wait(std::chrono::milliseconds(10000));
    if (out != nullptr) *out = p.Stdout();
    if (err != nullptr) *err = p.Stderr();
    return code ? *code : -1000;
}

}  // namespace vorn::test
