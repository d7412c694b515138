// The `infodriver` and `infoctl` executables as child processes: slot get/set,
// watch, modes, exit codes, the state file across a restart, shutdown by
// SIGTERM, the systemd notifications, and a driver of another user that
// cannot be fenced.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "transport/info_frame.h"

extern char** environ;

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string BinDir() {
    if (const char* dir = std::getenv("VORN_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ".";
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

int MillisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A child process with its standard output and error on pipes.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
        if (pid_ > 0) pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {outFd_, errFd_, pidFd_}) {
            if (fd >= 0) close(fd);
        }
    }
    bool started() const { return pid_ > 0 && pidFd_ >= 0; }
    void Signal(int sig) { kill(pid_, sig); }

    // Waits for the exit and collects the rest of the output; -1 on timeout.
    int Wait(std::chrono::milliseconds timeout = 10000ms) {
        auto deadline = Clock::now() + timeout;
        while (!exited_) {
            pollfd p{pidFd_, POLLIN, 0};
            if (poll(&p, 1, MillisLeft(deadline)) <= 0) return -1;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        Drain(outFd_, out_, deadline);
        Drain(errFd_, err_, deadline);
        return code_;
    }
    // Waits until stdout (or stderr) holds `part`.
    bool WaitOut(const std::string& part, std::chrono::milliseconds timeout = 5000ms) {
        return WaitFor(outFd_, out_, part, timeout);
    }
    bool WaitErr(const std::string& part, std::chrono::milliseconds timeout = 5000ms) {
        return WaitFor(errFd_, err_, part, timeout);
    }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    static bool ReadSome(int fd, std::string& into, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    static void Drain(int fd, std::string& into, Clock::time_point deadline) {
        while (ReadSome(fd, into, MillisLeft(deadline))) {
        }
    }
    static bool WaitFor(int fd, std::string& into, const std::string& part, std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (into.find(part) == std::string::npos) {
            if (!ReadSome(fd, into, MillisLeft(deadline))) return into.find(part) != std::string::npos;
        }
        return true;
    }

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool exited_ = false;
    int code_ = -1;
    std::string out_;
    std::string err_;
};

class InfodriverToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sockDir_ = dir_.file("sock");
        setenv("VORN_INFODRIVER_DIR", sockDir_.c_str(), 1);
        bin_ = BinDir();
        ASSERT_EQ(access((bin_ + "/infodriver").c_str(), X_OK), 0) << "no infodriver in " << bin_;
        ASSERT_EQ(access((bin_ + "/infoctl").c_str(), X_OK), 0) << "no infoctl in " << bin_;
    }
    void TearDown() override { unsetenv("VORN_INFODRIVER_DIR"); }

    std::unique_ptr<Child> StartInfodriver(std::vector<std::string> args) {
        args.insert(args.begin(), bin_ + "/infodriver");
        auto child = std::make_unique<Child>(args);
        EXPECT_TRUE(child->started());
        EXPECT_TRUE(child->WaitErr("infodriver: ready")) << child->err();
        return child;
    }
    // Runs infoctl to its end.
    struct Result {
        int code;
        std::string out;
        std::string err;
    };
    Result Infoctl(std::vector<std::string> args) {
        args.insert(args.begin(), bin_ + "/infoctl");
        Child child(args);
        int code = child.Wait();
        return {code, child.out(), child.err()};
    }
    std::string SocketPath(int device) { return sockDir_ + "/infodriver-" + std::to_string(device) + ".sock"; }

    test::TempDir dir_;
    std::string sockDir_;
    std::string bin_;
};

// A bare link client for the steps infoctl does not cover.
class Link {
public:
    explicit Link(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Link() { close(fd_); }
    bool ok() const { return ok_; }
    void Send(uint32_t message, uint32_t id = 0) {
        std::string bytes = EncodeInfoFrame(InfoFrame{message, id, 0, 0, 0, ""});
        ok_ = ok_ && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    std::optional<InfoFrame> Wait(uint32_t message, std::chrono::milliseconds timeout = 5000ms) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            InfoFrame f;
            while (reader_.Next(f) == InfoFrameReader::Result::kFrame) {
                if (f.message == message) return f;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, MillisLeft(deadline)) <= 0) return std::nullopt;
            char buf[4096];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            reader_.Append(buf, static_cast<size_t>(n));
        }
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    InfoFrameReader reader_;
};

TEST_F(InfodriverToolsTest, infoctl_setGetAndModes) {
    auto server = StartInfodriver({"7"});
    Result set = Infoctl({"7", "set", "12", "two words "});
    EXPECT_EQ(set.code, 0) << set.err;
    Result get = Infoctl({"7", "get", "12"});
    EXPECT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(get.out, "two words \n");
    EXPECT_EQ(Infoctl({"7", "set", "-20", "neg"}).code, 0);
    EXPECT_EQ(Infoctl({"7", "get", "20"}).out, "neg\n");
    EXPECT_EQ(Infoctl({"7", "get", "-20"}).out, "neg\n");
    EXPECT_EQ(Infoctl({"7", "get", "21"}).out, "\n");

    Result none = Infoctl({"7", "modes"});
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(none.out, "");
    Link main(SocketPath(7));
    Link reserve(SocketPath(7));
    main.Send(XOV_DEVATTACHED);
    main.Send(XOV_GETMODE, 1);
    ASSERT_TRUE(main.Wait(XOV_GETMODE));  // attached before the next one
    reserve.Send(XOV_DEVATTACHED);
    reserve.Send(XOV_GETMODE, 1);
    ASSERT_TRUE(reserve.Wait(XOV_GETMODE));
    Result modes = Infoctl({"7", "modes"});
    EXPECT_EQ(modes.code, 0) << modes.err;
    // Client ids are connection numbers; the order and the modes are what count here.
    ASSERT_EQ(std::count(modes.out.begin(), modes.out.end(), '\n'), 2) << modes.out;
    size_t first = modes.out.find(": TXRX\n");
    size_t second = modes.out.find(": RXONLY\n");
    EXPECT_NE(first, std::string::npos) << modes.out;
    EXPECT_LT(first, second) << modes.out;
    EXPECT_EQ(modes.out.rfind("client ", 0), 0u) << modes.out;
}

TEST_F(InfodriverToolsTest, infoctl_watchPrintsChangesInRangeUntilSigterm) {
    auto server = StartInfodriver({"7"});
    Child watch({bin_ + "/infoctl", "7", "watch", "10", "20"});
    ASSERT_TRUE(watch.WaitErr("watching")) << watch.err();
    ASSERT_EQ(Infoctl({"7", "set", "15", "hi"}).code, 0);
    ASSERT_EQ(Infoctl({"7", "set", "25", "outside"}).code, 0);
    ASSERT_EQ(Infoctl({"7", "set", "16", "a\nb\\"}).code, 0);
    ASSERT_EQ(Infoctl({"7", "set", "15", "hi"}).code, 0);  // unchanged text: still a change notice
    EXPECT_TRUE(watch.WaitOut("15 hi\n16 a\\x0ab\\\\\n15 hi\n")) << watch.out();
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(), 0);
    EXPECT_EQ(watch.out(), "15 hi\n16 a\\x0ab\\\\\n15 hi\n");
}

TEST_F(InfodriverToolsTest, exitCodes_usageAndNoInfodriver) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"7"}, {"x", "get", "1"}, {"0", "get", "1"}, {"7", "get"}, {"7", "get", "1x"},
             {"7", "set", "1"}, {"7", "set", "1", "a", "b"}, {"7", "watch", "5", "4"}, {"7", "frob"}}) {
        Result r = Infoctl(args);
        EXPECT_EQ(r.code, 2) << testing::PrintToString(args);
        EXPECT_NE(r.err.find("usage: infoctl"), std::string::npos) << r.err;
    }
    Result none = Infoctl({"99", "get", "1"});
    EXPECT_EQ(none.code, 3);
    EXPECT_NE(none.err.find("no Infodriver for device 99"), std::string::npos) << none.err;

    Child noDevice({bin_ + "/infodriver"});
    EXPECT_EQ(noDevice.Wait(), 2);
    EXPECT_NE(noDevice.err().find("usage: infodriver"), std::string::npos);
}

TEST_F(InfodriverToolsTest, infodriver_sigtermTellsClientsRemovesSocketAndExitsZero) {
    auto server = StartInfodriver({"7", "8"});
    Child second({bin_ + "/infodriver", "8"});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.err().find("device 8 already served"), std::string::npos) << second.err();

    Link client(SocketPath(7));
    ASSERT_TRUE(client.ok());
    client.Send(XOV_GETMODE, 1);
    ASSERT_TRUE(client.Wait(XOV_GETMODE));
    server->Signal(SIGTERM);
    EXPECT_TRUE(client.Wait(XOV_INFODISCONNECTED).has_value());
    EXPECT_EQ(server->Wait(), 0) << server->err();
    EXPECT_FALSE(test::FileExists(SocketPath(7)));
    EXPECT_FALSE(test::FileExists(SocketPath(8)));
}

TEST_F(InfodriverToolsTest, infodriver_stateFileKeepsSlotsAcrossARestart) {
    std::string state = dir_.file("slots.state");
    auto server = StartInfodriver({"--state", state, "7"});
    ASSERT_EQ(Infoctl({"7", "set", "300", "kept"}).code, 0);
    server->Signal(SIGINT);
    ASSERT_EQ(server->Wait(), 0);
    server = StartInfodriver({"--state", state, "7"});
    EXPECT_EQ(Infoctl({"7", "get", "300"}).out, "kept\n");
}

// Under systemd: READY=1 once the socket listens, WATCHDOG=1 from the loop
// at half the interval systemd asks for, STOPPING=1 when it shuts down.
TEST_F(InfodriverToolsTest, infodriver_notifiesReadyWatchdogAndStopping) {
    const std::string path = dir_.file("notify");
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    auto next = [&]() -> std::string {
        pollfd p{notify, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return "<none>";
        char buf[256];
        const ssize_t n = recv(notify, buf, sizeof buf, 0);
        return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "200000", 1);
    Child server({bin_ + "/infodriver", "7"});
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    EXPECT_EQ(next(), "READY=1\nSTATUS=serving device 7");
    EXPECT_TRUE(Link(SocketPath(7)).ok()) << "ready before the socket listens";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next(), "WATCHDOG=1") << i;
    server.Signal(SIGTERM);
    std::string last;
    while ((last = next()) == "WATCHDOG=1") {
    }
    EXPECT_EQ(last, "STOPPING=1\nSTATUS=stopping");
    EXPECT_EQ(server.Wait(), 0) << server.err();
    close(notify);
}

// The Infodriver runs as an ordinary user and its main driver, of another
// user, stops answering: it is cut off and logged as one that cannot be
// fenced, and left running.
TEST_F(InfodriverToolsTest, infodriver_mainOfAnotherUserIsLoggedAsNotFenced) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the Infodriver under another user";
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
    ASSERT_EQ(mkdir(sockDir_.c_str(), 0700), 0);
    ASSERT_EQ(chown(sockDir_.c_str(), kNobody, kNobody), 0);
    Child server({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", bin_ + "/infodriver", "7"});
    ASSERT_TRUE(server.WaitErr("infodriver: ready")) << server.err();
    Link main(SocketPath(7));
    main.Send(XOV_DEVATTACHED);
    main.Send(XOV_GETMODE, 1);
    ASSERT_EQ(main.Wait(XOV_GETMODE).value_or(InfoFrame{}).wParam, 2);
    // Probes go unanswered: cut off 2 to 3 s later.
    EXPECT_TRUE(server.WaitErr("(pid " + std::to_string(getpid()) +
                                   ") cannot be fenced: it runs as another user (uid 0)",
                               6000ms))
        << server.err();
    EXPECT_NE(server.err().find("cut off: did not answer the liveness check"), std::string::npos) << server.err();
    EXPECT_EQ(server.err().find("SIGKILL"), std::string::npos) << server.err();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.err();
}

}  // namespace
}  // namespace vorn
