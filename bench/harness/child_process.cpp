#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace vorn::bench {

namespace {

// Pids of running children, for the interrupt handler.
constexpr int kMaxChildren = 64;
volatile pid_t g_children[kMaxChildren] = {};

void Register(pid_t pid) {
    for (auto& slot : g_children) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

void Unregister(pid_t pid) {
    for (auto& slot : g_children) {
        if (slot == pid) slot = 0;
    }
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

void KillAllChildren() {
    for (auto& slot : g_children) {
        const pid_t pid = slot;
        if (pid > 0) kill(pid, SIGKILL);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
    if (pidfd_ >= 0) close(pidfd_);
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args, const Env& env,
                         const std::string& logPath, std::string* error) {
    name_ = path.substr(path.rfind('/') + 1);
    logPath_ = logPath;
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        *error = "cannot open " + logPath + ": " + std::strerror(errno);
        return false;
    }
    // Everything the child needs is built before the fork.
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq != nullptr) vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();

    started_ = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        close(log);
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        execve(path.c_str(), argv.data(), envp.data());
        const char msg[] = "bench: exec failed\n";
        (void)!write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    close(log);
    pid_ = pid;
    Register(pid);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd_ < 0) {
        *error = std::string("pidfd_open: ") + std::strerror(errno);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        Reap(status);
        return false;
    }
    return true;
}

void ChildProcess::Reap(int status) {
    exitCode_ = ExitCodeOf(status);
    Unregister(pid_);
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || exitCode_) return false;
    return !Wait(Clock::duration::zero());
}

bool ChildProcess::Signal(int sig) { return pid_ > 0 && !exitCode_ && kill(pid_, sig) == 0; }

std::optional<int> ChildProcess::Wait(Clock::duration timeout) {
    if (exitCode_ || pid_ <= 0) return exitCode_;
    const auto deadline = Clock::now() + timeout;
    // Bounded by the deadline.
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{pidfd_, POLLIN, 0};
        const int rc = poll(&p, 1, left < 0 ? 0 : static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0) {
            int status = 0;
            if (waitpid(pid_, &status, 0) == pid_) Reap(status);
            return exitCode_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
    }
}

void ChildProcess::Stop(Clock::duration grace) {
    if (pid_ <= 0 || exitCode_) return;
    Signal(SIGTERM);
    if (Wait(grace)) return;
    Signal(SIGKILL);
    Wait(std::chrono::seconds(10));
}

std::string TailOfFile(const std::string& path, size_t lines) {
    std::ifstream in(path);
    std::vector<std::string> all;
    std::string line;
    while (std::getline(in, line)) all.push_back(line);
    std::ostringstream out;
    for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out << all[i] << '\n';
    return out.str();
}

}  // namespace vorn::bench
