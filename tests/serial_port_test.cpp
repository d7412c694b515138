// Serial port library and SerialPort on pseudo-terminal pairs: the port's
// COM link points at a pty slave, the test plays the panel on the master.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_state.h"
#include "support/fake_seam.h"
#include "support/temp_dir.h"
#include "transport/serial_device.h"
#include "transport/serial_library.h"
#include "transport/serial_port.h"
#include "transport/serial_ring_buffer.h"

namespace vorn {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<unsigned char>;

// One pseudo-terminal pair; the master end stays with the test.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char name[128];
        if (ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    int master() const { return master_; }
    // Hangs the line up: the slave then reports hang-up and end of input.
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    const std::string& slave() const { return slave_; }

    // Writes everything (blocking; the port's reader drains the other end).
    void Send(const Bytes& data) const {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = write(master_, data.data() + done, data.size() - done);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }
    // Reads until `count` bytes came or the deadline passed.
    Bytes Receive(size_t count, milliseconds deadline = milliseconds(3000)) const {
        Bytes out;
        auto end = std::chrono::steady_clock::now() + deadline;
        while (out.size() < count) {
            auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            unsigned char buf[512];
            ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slave_;
};

int CountEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}
int ThreadCount() { return CountEntries("/proc/self/task"); }
// A joined thread can stay listed in /proc/self/task for a moment after
// join() returned (its tid is cleared before the kernel unlinks it), so a
// count that must drop is read again until it does or a short deadline ends.
int SettledThreadCount(int expected) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    int n = ThreadCount();
    while (n != expected && std::chrono::steady_clock::now() < end) {
        poll(nullptr, 0, 1);
        n = ThreadCount();
    }
    return n;
}
int DescriptorCount() { return CountEntries("/proc/self/fd"); }

Bytes Pattern(size_t n, unsigned seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    return b;
}

// Notification target: plain function, so its record is process-wide.
int g_notifications = 0;
SerialPort* g_notifiedPort = nullptr;
void CountNotification(SerialPort* port) {
    ++g_notifications;
    g_notifiedPort = port;
}

// Injected clock for the 100 ms rule; read on reader threads.
std::atomic<int64_t> g_nowMs{0};
std::chrono::steady_clock::time_point FakeNow() {
    return std::chrono::steady_clock::time_point{} + milliseconds(g_nowMs.load());
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        ResetSerialLibrary();
        Settings.DebugMode = 1;
        SetSeam(&seam);
        setenv("VORN_COM_DIR", dir.path().c_str(), 1);
        g_notifications = 0;
        g_notifiedPort = nullptr;
        g_nowMs = 1000;
        ASSERT_FALSE(pty.slave().empty());
        Link(1, pty.slave());
    }
    void TearDown() override {
        ResetSerialLibrary();
        SetSeam(nullptr);
        unsetenv("VORN_COM_DIR");
    }
    void Link(int com, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), dir.file("COM" + std::to_string(com)).c_str()), 0);
    }
    uint32_t Unread(SerialPort& port) {
        ComStat st;
        uint32_t errors = 99;
        port.GetStatus(&st, &errors);
        EXPECT_EQ(errors, 0u);  // pseudo-terminals have no line error counters
        return st.cbInQue;
    }
    bool WaitUnread(SerialPort& port, uint32_t n) {
        return seam.PumpUntil([&] { return Unread(port) == n; });
    }
    // Same, but leaves posted calls queued (nothing runs on the "GUI thread").
    bool WaitUnreadQueued(SerialPort& port, uint32_t n) {
        auto end = std::chrono::steady_clock::now() + milliseconds(5000);
        while (Unread(port) != n) {
            if (std::chrono::steady_clock::now() >= end) return false;
            poll(nullptr, 0, 5);
        }
        return true;
    }
    Bytes ReadAll(SerialPort& port) {
        Bytes out;
        unsigned char buf[256];
        // Bounded by the ring buffer's size: 16384 / 256 reads at most.
        for (int i = 0; i < 100; ++i) {
            int n = port.Read(buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    test::FakeSeam seam;
    test::TempDir dir;
    Pty pty;
};

TEST_F(SerialPortTest, openAndClose_leaveNoThreadNoDescriptorNoTable_andCloseIsPrompt) {
    SerialPort port;
    // One cycle first, so that helpers a runtime starts lazily (sanitizers)
    // are already in the baseline.
    ASSERT_EQ(port.Open(1), 1);
    port.Close();
    const int threads = ThreadCount();
    const int fds = DescriptorCount();
    port.baud = 38400;
    port.parity = 2;
    ASSERT_EQ(port.Open(1), 1);
    EXPECT_EQ(port.index, 0);
    EXPECT_EQ(port.GetPort(), 1);
    EXPECT_EQ(port.isOpen, 1);
    EXPECT_TRUE(SerialTableExists());
    EXPECT_EQ(ThreadCount(), threads + 1);
    EXPECT_EQ(port.SetNotifyWindow(CountNotification, 32), 1);

    // The reader sleeps in poll with no time-out; Close must wake it.
    auto start = std::chrono::steady_clock::now();
    port.Close();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, milliseconds(50));
    EXPECT_EQ(port.index, -1);
    EXPECT_EQ(port.GetPort(), 0);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_FALSE(SerialTableExists());
    EXPECT_EQ(SettledThreadCount(threads), threads);
    EXPECT_EQ(DescriptorCount(), fds);

    // Closed: nothing to read, no target, zero status, writes ignored.
    unsigned char b;
    EXPECT_EQ(port.Read(&b, 1), 0);
    EXPECT_EQ(port.SetNotifyWindow(CountNotification, 32), 0);
    port.Write("x", 1);
    EXPECT_EQ(PortWrite(0, "x", 1), -1);

    // Opening again on the same device works (exclusive hold released).
    ASSERT_EQ(port.Open(1), 1);
    EXPECT_EQ(port.SetNotifyWindow(nullptr, 32), 0);
}

TEST_F(SerialPortTest, portHeldElsewhere_givesMinusTwo) {
    SerialPort first;
    ASSERT_EQ(first.Open(1), 1);
    SerialPort again;
    EXPECT_EQ(again.Open(1), -2);  // same COM number in this process
    EXPECT_EQ(again.isOpen, 0);
    EXPECT_EQ(again.index, -2);
    Link(2, pty.slave());
    SerialPort sameDevice;
    EXPECT_EQ(sameDevice.Open(2), -2);  // another open of the same device
    EXPECT_TRUE(seam.HasDebugLine("PortOpen - COM2 " + dir.file("COM2") + " is in use "));
    // The failed opens did not disturb the first port.
    Bytes frame = {0x82, 0x11, 0x13, 0x0D, 0x0A};
    first.Write(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(pty.Receive(frame.size()), frame);
    first.Close();
    EXPECT_EQ(sameDevice.Open(2), 1);
}

TEST_F(SerialPortTest, portHeldByAnotherProcess_givesMinusTwo_andLeavesNoTable) {
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        close(release[1]);
        int fd = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
        char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? '1' : '0';
        [[maybe_unused]] ssize_t w = write(ready[1], &ok, 1);
        char c;
        [[maybe_unused]] ssize_t r = read(release[0], &c, 1);  // until the parent lets go
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');

    SerialPort port;
    EXPECT_EQ(port.Open(1), -2);
    EXPECT_FALSE(SerialTableExists());

    close(release[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(ready[0]);
    EXPECT_EQ(port.Open(1), 1);
}

TEST_F(SerialPortTest, badPortOrDeviceOrSettings_givesMinusOne_withClearLogLine) {
    SerialPort port;
    EXPECT_EQ(port.Open(0), -1);
    EXPECT_EQ(port.Open(257), -1);
    EXPECT_FALSE(SerialTableExists());
    EXPECT_TRUE(seam.HasDebugLine("PortOpen - COM257 not opened: port number outside 1..256 "));

    Link(3, dir.file("gone"));  // the link is there, its device is not
    EXPECT_EQ(port.Open(3), -1);
    EXPECT_TRUE(seam.HasDebugLine("PortOpen - COM3 " + dir.file("COM3") + " does not exist "));

    test::WriteFile(dir.file("plain"), "not a tty");
    Link(4, dir.file("plain"));
    EXPECT_EQ(port.Open(4), -1);
    EXPECT_TRUE(seam.HasDebugLine("PortOpen - COM4 " + dir.file("COM4") +
                                  " is not a serial device (Inappropriate ioctl for device) "));

    // Speed 0 never reaches the device: it would hang up the line.
    port.baud = 0;
    EXPECT_EQ(port.Open(1), -1);
    EXPECT_TRUE(seam.HasDebugLine("PortOpen - COM1 not opened: bad settings, speed 0 is not a line speed "));
    port.baud = 9600;
    port.byteSize = 9;
    EXPECT_EQ(port.Open(1), -1);
    port.byteSize = 8;
    port.stopBits = 1;  // one and a half stop bits only exist with 5 data bits
    EXPECT_EQ(port.Open(1), -1);
    EXPECT_FALSE(SerialTableExists());
    EXPECT_EQ(port.isOpen, 0);
}

TEST_F(SerialPortTest, comDevicePath_fallsBackToTtyS) {
    EXPECT_EQ(ComDevicePath(1), dir.file("COM1"));
    EXPECT_EQ(ComDevicePath(5), "/dev/ttyS4");
}

TEST_F(SerialPortTest, everyByteValue_passesUnchangedBothWays) {
    SerialPort port;
    port.baud = 38400;
    port.parity = 2;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 32), 1);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);

    // Out: two frames written back to back arrive whole, CR/LF and XON/XOFF
    // untouched.
    port.Write(all.data(), 128);
    port.Write(all.data() + 128, 128);
    EXPECT_EQ(pty.Receive(256), all);

    // In: a burst from the panel gives one notification and every byte.
    pty.Send(all);
    ASSERT_TRUE(WaitUnread(port, 256));
    seam.Pump();
    EXPECT_EQ(g_notifications, 1);
    EXPECT_EQ(g_notifiedPort, &port);
    EXPECT_EQ(ReadAll(port), all);
    EXPECT_EQ(Unread(port), 0u);
}

TEST_F(SerialPortTest, notifications_thinnedTo100ms_untilRead) {
    SetSerialClock(FakeNow);
    SerialPort port;
    port.baud = 38400;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 1), 1);
    uint32_t expectUnread = 0;
    auto sendOne = [&] {
        pty.Send({0x55});
        ASSERT_TRUE(WaitUnread(port, ++expectUnread));
        seam.Pump();
    };

    sendOne();
    EXPECT_EQ(g_notifications, 1);
    g_nowMs += 50;
    sendOne();
    g_nowMs += 49;  // 99 ms after the notification: still thinned
    sendOne();
    EXPECT_EQ(g_notifications, 1);
    g_nowMs += 1;  // 100 ms
    sendOne();
    EXPECT_EQ(g_notifications, 2);

    // Reading clears the pending mark: the next byte notifies at once.
    EXPECT_EQ(ReadAll(port).size(), 4u);
    expectUnread = 0;
    sendOne();
    EXPECT_EQ(g_notifications, 3);
}

TEST_F(SerialPortTest, moreThan8192Waiting_notifiesAgain) {
    SetSerialClock(FakeNow);  // frozen: only the backlog rule can clear
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 256), 1);
    Bytes data = Pattern(8193);
    pty.Send(Bytes(data.begin(), data.begin() + 8192));
    ASSERT_TRUE(WaitUnread(port, 8192));
    seam.Pump();
    EXPECT_EQ(g_notifications, 1);
    pty.Send({data.back()});
    ASSERT_TRUE(WaitUnread(port, 8193));
    seam.Pump();
    EXPECT_EQ(g_notifications, 2);
    EXPECT_EQ(ReadAll(port), data);
}

TEST_F(SerialPortTest, fullRingBuffer_dropsNewBytes_andNextReadReportsTheLoss) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 256), 1);
    Bytes data = Pattern(16384 + 1000, 3);
    pty.Send(data);
    ASSERT_TRUE(seam.PumpUntil([&] { return PortLostBytes(port.index) == 1000; }));
    EXPECT_EQ(Unread(port), 16384u);
    // The buffered bytes are the oldest ones, none overwritten.
    EXPECT_EQ(ReadAll(port), Bytes(data.begin(), data.begin() + 16384));
    EXPECT_EQ(seam.CountDebugLines("PortRead - COM1 receive buffer full, 1000 bytes lost "), 1);
    EXPECT_EQ(PortLostBytes(port.index), 0u);
}

TEST_F(SerialPortTest, setterOnOpenPort_reopensWithoutTarget_andKeepsOnlyFirstBytes) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 32), 1);
    port.SetBaud(19200);
    EXPECT_EQ(port.baud, 19200);
    EXPECT_EQ(port.isOpen, 1);
    EXPECT_EQ(port.GetPort(), 1);
    EXPECT_EQ(PortOwner(port.index), &port);

    // Without a target data stays in the ring buffer and nobody is told.
    pty.Send({'A', 'B', 'C', 'D'});
    ASSERT_TRUE(seam.PumpUntil([&] { return Unread(port) >= 1; }));
    seam.Pump();
    EXPECT_EQ(g_notifications, 0);
    Bytes got = ReadAll(port);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], 'A');

    // Setters on a closed port only store.
    port.Close();
    port.SetParity(2);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.parity, 2);
}

TEST_F(SerialPortTest, notificationQueuedBeforeClose_doesNothing) {
    auto port = std::make_unique<SerialPort>();
    ASSERT_EQ(port->Open(1), 1);
    ASSERT_EQ(port->SetNotifyWindow(CountNotification, 32), 1);
    pty.Send({1, 2, 3});
    ASSERT_TRUE(WaitUnreadQueued(*port, 3));
    port->Close();
    ASSERT_EQ(port->Open(1), 1);  // same COM again: a new port, not the old one
    seam.Pump();
    EXPECT_EQ(g_notifications, 0);

    ASSERT_EQ(port->SetNotifyWindow(CountNotification, 32), 1);
    pty.Send({4});
    ASSERT_TRUE(WaitUnreadQueued(*port, 1));
    port.reset();  // destroyed with the notification still queued
    seam.Pump();
    EXPECT_EQ(g_notifications, 0);
    EXPECT_FALSE(SerialTableExists());
}

TEST_F(SerialPortTest, hungUpDevice_doesNotMakeTheReaderSpin_andCloseStaysPrompt) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 32), 1);
    pty.CloseMaster();
    // CPU time over a window in which a spinning reader would burn all of it.
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    poll(nullptr, 0, 300);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 60.0);
    auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(50));
    seam.Pump();
    EXPECT_EQ(g_notifications, 0);
}

// A panel that never stops sending: the reader is busy reading and
// delivering when the port closes, and still ends at once, every time,
// leaving no thread and no descriptor. Notifications queued meanwhile do
// nothing after the close.
TEST_F(SerialPortTest, closeWhileDataPoursIn_isPromptAndLeavesNothingBehind) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    port.Close();
    const int threads = ThreadCount() + 1;  // the feeder below
    const int fds = DescriptorCount();
    ASSERT_EQ(fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> fed{0};
    std::thread feeder([&] {
        const Bytes chunk = Pattern(4096);
        while (!stop) {
            ssize_t n = write(pty.master(), chunk.data(), chunk.size());
            if (n > 0) fed += n;
            // Full while the port is closed: wait for room (bounded) instead of spinning.
            pollfd p{pty.master(), POLLOUT, 0};
            if (n <= 0) poll(&p, 1, 5);
        }
    });
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(port.Open(1), 1);
        ASSERT_EQ(port.SetNotifyWindow(CountNotification, 32), 1);
        // Close once data is flowing through the reader (posted calls stay queued).
        auto end = std::chrono::steady_clock::now() + milliseconds(3000);
        while (Unread(port) == 0 && std::chrono::steady_clock::now() < end) poll(nullptr, 0, 1);
        ASSERT_GT(Unread(port), 0u);
        auto start = std::chrono::steady_clock::now();
        port.Close();
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        EXPECT_EQ(SettledThreadCount(threads), threads);
        EXPECT_EQ(DescriptorCount(), fds);
    }
    stop = true;
    feeder.join();
    EXPECT_LT(slowest, milliseconds(100));
    g_notifications = 0;
    seam.Pump();
    EXPECT_EQ(g_notifications, 0);
    EXPECT_FALSE(SerialTableExists());
}

TEST_F(SerialPortTest, customSpeed_opensOnPty_andPassesData) {
    SerialPort port;
    port.baud = 250000;  // no termios constant: set through termios2
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(port.SetNotifyWindow(CountNotification, 32), 1);
    pty.Send({9, 8, 7});
    ASSERT_TRUE(WaitUnread(port, 3));
    EXPECT_EQ(ReadAll(port), (Bytes{9, 8, 7}));
}

TEST_F(SerialPortTest, closeAllWithMinusOne_freesTableOnlyWhenNoPortOpen) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    PortClose(-1);
    EXPECT_TRUE(SerialTableExists());
    EXPECT_EQ(PortOwner(0), &port);
    port.Close();
    EXPECT_FALSE(SerialTableExists());
    PortClose(-1);  // no table: nothing
    EXPECT_FALSE(SerialTableExists());
    EXPECT_STREQ(SerialLibrarySignature(), "VORN_SIG,name=SIO32,version=4.3");
}

TEST(SerialRingBufferTest, wrapsAroundInOrder_andCountsWhatDoesNotFit) {
    auto ring = std::make_unique<SerialRingBuffer>();
    Bytes a = Pattern(10000, 1);
    Bytes b = Pattern(10000, 2);
    EXPECT_EQ(ring->Put(a.data(), a.size()), 10000u);
    Bytes out(9000);
    EXPECT_EQ(ring->Take(out.data(), out.size()), 9000u);
    EXPECT_EQ(out, Bytes(a.begin(), a.begin() + 9000));
    // 1000 still unread; 10000 more fit, across the end of the storage.
    EXPECT_EQ(ring->Put(b.data(), b.size()), 10000u);
    EXPECT_EQ(ring->Put(b.data(), 6000), 5384u);
    EXPECT_EQ(ring->Count(), SerialRingBuffer::kCapacity);
    EXPECT_EQ(ring->TakeLost(), 616u);
    EXPECT_EQ(ring->TakeLost(), 0u);
    Bytes all(SerialRingBuffer::kCapacity);
    EXPECT_EQ(ring->Take(all.data(), all.size() + 5), SerialRingBuffer::kCapacity);
    Bytes expect(a.begin() + 9000, a.end());
    expect.insert(expect.end(), b.begin(), b.end());
    expect.insert(expect.end(), b.begin(), b.begin() + 5384);
    EXPECT_EQ(all, expect);
    EXPECT_EQ(ring->Count(), 0u);
}

}  // namespace
}  // namespace vorn
