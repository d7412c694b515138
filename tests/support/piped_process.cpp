#include "support/piped_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <cstring>

namespace vorn::test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

PipedProcess::~PipedProcess() {
    // The child is killed and reaped before its pipes close (child_ on its
    // own would do it only after this body).
    if (child_.Running()) {
        child_.Signal(SIGKILL);
        child_.Wait(std::chrono::milliseconds(5000));
    }
    for (int fd : {inFd_, outFd_}) {
        if (fd >= 0) close(fd);
    }
}

bool PipedProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const SpawnedProcess::EnvChanges& env, const std::string& outputDir) {
    error_.clear();
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

    // The child gets the read end of in and the write end of out; this
    // process keeps the other two.
    child_.SetStdinFd(in[0]);
    child_.SetStdoutFd(out[1]);
    const bool started = child_.Start(program, args, env, outputDir);
    close(in[0]);
    close(out[1]);
    if (!started) {
        close(in[1]);
        close(out[0]);
        return false;
    }
    inFd_ = in[1];
    outFd_ = out[0];
    outEnded_ = false;
    pending_.clear();
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

}  // namespace vorn::test
