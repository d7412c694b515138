// The harness's own plumbing, where a fault would hang a run or leave
// processes behind: child processes end within their deadlines whatever
// they do with SIGTERM, the loop's waits end at their deadlines, and the
// link's send queue delivers everything in order when the socket is full.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "child_process.h"
#include "event_loop.h"
#include "link_connection.h"

namespace vorn::bench {
namespace {

using namespace std::chrono_literals;

std::string TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench-harness-test.XXXXXX";
    return mkdtemp(templ.data()) != nullptr ? templ : "";
}

class ChildTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE((dir_ = TempDir()).empty()); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    bool Start(ChildProcess& c, const std::string& script) {
        std::string error;
        return c.Start("/bin/sh", {"-c", script}, {{"BENCH_TEST", "yes"}}, dir_ + "/child.log", &error);
    }
    std::string dir_;
};

TEST_F(ChildTest, ExitCodeEnvironmentAndLog) {
    ChildProcess c;
    ASSERT_TRUE(Start(c, "echo \"env $BENCH_TEST\"; exit 3"));
    EXPECT_EQ(c.Wait(5s), 3);
    EXPECT_FALSE(c.Running());
    EXPECT_EQ(TailOfFile(dir_ + "/child.log", 1), "env yes\n");
}

TEST_F(ChildTest, WaitEndsAtItsDeadlineWhileTheChildRuns) {
    ChildProcess c;
    ASSERT_TRUE(Start(c, "exec sleep 30"));
    const auto start = Clock::now();
    EXPECT_FALSE(c.Wait(100ms));
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(c.Running());
}

TEST_F(ChildTest, StopKillsAChildThatIgnoresSigterm) {
    ChildProcess c;
    ASSERT_TRUE(Start(c, "trap '' TERM; echo ready; while :; do sleep 1; done"));
    // The trap is set once "ready" is in the log; the log is looked at
    // every 10 ms, for 5 s at most.
    EventLoop loop;
    const auto ready = Clock::now() + 5s;
    while (TailOfFile(dir_ + "/child.log", 1) != "ready\n" && Clock::now() < ready) loop.RunFor(10ms);
    ASSERT_EQ(TailOfFile(dir_ + "/child.log", 1), "ready\n");
    const auto start = Clock::now();
    c.Stop(200ms);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(c.Wait(0s), 128 + SIGKILL);
}

TEST_F(ChildTest, DestructorLeavesNoProcess) {
    pid_t pid = 0;
    {
        ChildProcess c;
        ASSERT_TRUE(Start(c, "exec sleep 30"));
        pid = c.pid();
    }
    EXPECT_NE(kill(pid, 0), 0) << "the child is still there";
}

TEST(EventLoop, TimersRunInTimeOrderAndWaitsEndAtTheirDeadline) {
    EventLoop loop;
    std::vector<int> order;
    const auto now = Clock::now();
    loop.At(now + 30ms, [&] { order.push_back(2); });
    loop.At(now + 10ms, [&] { order.push_back(1); });
    const EventLoop::TimerId cancelled = loop.At(now + 20ms, [&] { order.push_back(9); });
    loop.Cancel(cancelled);
    EXPECT_TRUE(loop.RunUntil([&] { return order.size() == 2; }, now + 2s));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    const auto start = Clock::now();
    EXPECT_FALSE(loop.RunUntil([] { return false; }, start + 50ms));
    EXPECT_GE(Clock::now() - start, 50ms);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(EventLoop, HandlerMayUnwatchItself) {
    EventLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int calls = 0;
    loop.Watch(fds[0], nullptr, [&](short) {
        ++calls;
        loop.Unwatch(fds[0]);
    });
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    loop.RunFor(50ms);
    EXPECT_EQ(calls, 1) << "an unwatched descriptor must not be handled again";
    close(fds[0]);
    close(fds[1]);
}

// A link whose peer does not read: everything queued arrives, in order, once
// it does.
TEST(LinkConnection, QueueDrainsInOrderAfterTheSocketWasFull) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/s.sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);

    LinkConnection link;
    std::string error;
    ASSERT_TRUE(link.Connect(path, &error)) << error;
    const int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const int count = 20000;  // about 700 KB, beyond the socket buffers
    for (int i = 0; i < count; ++i) ASSERT_TRUE(link.WriteSlot(i, "text " + std::to_string(i)));
    EXPECT_TRUE(link.WantsWrite());

    InfoFrameReader reader;
    int next = 0;
    char buffer[65536];
    const auto deadline = Clock::now() + 10s;
    while (next < count && Clock::now() < deadline) {
        pollfd p[2] = {{peer, POLLIN, 0}, {link.fd(), static_cast<short>(link.WantsWrite() ? POLLOUT : 0), 0}};
        ASSERT_GE(poll(p, 2, 1000), 0);
        if (p[1].revents & POLLOUT) {
            ASSERT_TRUE(link.Flush());
        }
        if ((p[0].revents & POLLIN) == 0) continue;
        const ssize_t n = read(peer, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        reader.Append(buffer, static_cast<size_t>(n));
        InfoFrame f;
        while (reader.Next(f) == InfoFrameReader::Result::kFrame) {
            ASSERT_EQ(f.wParam, next);
            ASSERT_EQ(f.text, "text " + std::to_string(next));
            ++next;
        }
    }
    EXPECT_EQ(next, count);
    EXPECT_FALSE(link.WantsWrite());
    close(peer);
    close(listener);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vorn::bench
