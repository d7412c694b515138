#include "support/piped_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace vorn::test {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_counter{0};

int MillisLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

PipedProcess::~PipedProcess() {
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
    for (int fd : {inFd_, outFd_}) {
        if (fd >= 0) close(fd);
    }
}

bool PipedProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const SpawnedProcess::EnvChanges& env, const std::string& outputDir) {
    errPath_ = outputDir + "/piped" + std::to_string(getpid()) + "_" + std::to_string(g_counter.fetch_add(1)) + ".err";
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        if (env.count(entry.substr(0, entry.find('='))) == 0) envStrings.push_back(entry);
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

    // dup2 onto 0 and 1 clears close-on-exec on the child's copies only.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        error_ = "posix_spawn " + program + ": " + std::strerror(rc);
        pid_ = -1;
        close(in[1]);
        close(out[0]);
        return false;
    }
    inFd_ = in[1];
    outFd_ = out[0];
    outEnded_ = false;
    pending_.clear();
    exitCode_.reset();
    return true;
}

bool PipedProcess::WriteLine(const std::string& text) {
    if (inFd_ < 0) return false;
    const std::string line = text + "\n";
    size_t done = 0;
    while (done < line.size()) {
        // A child that stopped reading gives EPIPE and SIGPIPE; the signal is
        // blocked around the write and a pending one taken, so that the test
        // process sees a false result instead of dying.
        sigset_t pipeSet;
        sigset_t old;
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
        const ssize_t n = write(inFd_, line.data() + done, line.size() - done);
        const int savedErrno = errno;
        if (n < 0 && savedErrno == EPIPE) {
            // Take the pending SIGPIPE before unblocking so it is not delivered.
            timespec zero{0, 0};
            sigtimedwait(&pipeSet, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (n < 0) {
            if (savedErrno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void PipedProcess::CloseInput() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
}

std::optional<std::string> PipedProcess::ReadLine(std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    for (;;) {
        const size_t nl = pending_.find('\n');
        if (nl != std::string::npos || pending_.size() >= kMaxLine) {
            const size_t take = nl != std::string::npos ? nl : kMaxLine;
            std::string line = pending_.substr(0, take);
            pending_.erase(0, nl != std::string::npos ? take + 1 : take);
            return line;
        }
        if (outEnded_ || outFd_ < 0) return std::nullopt;
        pollfd p{outFd_, POLLIN, 0};
        const int ready = poll(&p, 1, MillisLeft(end));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = read(outFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            outEnded_ = true;
            continue;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

std::optional<int> PipedProcess::Wait(std::chrono::milliseconds deadline) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    const auto end = Clock::now() + deadline;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
            break;
        }
        const int left = MillisLeft(end);
        if (left <= 0) break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            // Kernels without pidfd: a short sleep between checks.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 20)));
        }
    }
    if (pidfd >= 0) close(pidfd);
    return exitCode_;
}

bool PipedProcess::Running() { return pid_ > 0 && !Wait(std::chrono::milliseconds(0)); }

void PipedProcess::Signal(int signalNumber) {
    if (pid_ > 0 && !exitCode_) kill(pid_, signalNumber);
}

std::string PipedProcess::Stderr() const { return ReadFile(errPath_); }

}  // namespace vorn::test
