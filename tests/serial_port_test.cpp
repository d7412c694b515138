// SerialPort on pseudo-terminal pairs, on the event loop of the recording
// seam: the port's COM link points at a pty slave, the test plays the panel
// on the master.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
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
#include "transport/serial_port.h"

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
int DescriptorCount() { return CountEntries("/proc/self/fd"); }

Bytes Pattern(size_t n, unsigned seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    return b;
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        Settings.DebugMode = 1;
        SetSeam(&seam);
        setenv("VORN_COM_DIR", dir.path().c_str(), 1);
        ASSERT_FALSE(pty.slave().empty());
        Link(1, pty.slave());
    }
    void TearDown() override {
        SetSeam(nullptr);
        unsetenv("VORN_COM_DIR");
    }
    void Link(int com, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), dir.file("COM" + std::to_string(com)).c_str()), 0);
    }
    // A handler that reads what waits in reads of at most `chunk` bytes (one
    // read per event unless `drain`), as the receive path does.
    void Collect(SerialPort& port, int chunk = 256, bool drain = true) {
        port.SetHandler([this, &port, chunk, drain](SerialEvent event, int error) {
            if (event == SerialEvent::kHungUp) {
                hangUps.push_back(error);
                return;
            }
            ++events;
            unsigned char buf[256];
            for (;;) {
                int got = 0;
                int err = 0;
                LinkRead r = port.Read(buf, chunk, &got, &err);
                if (r != LinkRead::kData) {
                    if (r != LinkRead::kNothing) reads.push_back(r);
                    return;
                }
                received.insert(received.end(), buf, buf + got);
                if (!drain) return;
            }
        });
    }

    test::FakeSeam seam;
    test::TempDir dir;
    Pty pty;
    int events = 0;
    Bytes received;
    std::vector<int> hangUps;
    std::vector<LinkRead> reads;  // reads that ended other than with data or nothing
};

TEST_F(SerialPortTest, openAndClose_startNoThreadLeaveNoDescriptorOrWatch) {
    SerialPort port;
    const int threads = ThreadCount();
    const int fds = DescriptorCount();
    port.baud = 38400;
    port.parity = 2;
    ASSERT_EQ(port.Open(1), 1);
    EXPECT_EQ(port.GetPort(), 1);
    EXPECT_EQ(port.isOpen, 1);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(seam.WatchCount(), 1);

    port.Close();
    EXPECT_EQ(port.GetPort(), 0);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(seam.WatchCount(), 0);
    EXPECT_EQ(DescriptorCount(), fds);

    // Closed: reads fail, writes are refused.
    unsigned char b;
    int got = 0;
    int err = 0;
    EXPECT_EQ(port.Read(&b, 1, &got, &err), LinkRead::kError);
    EXPECT_EQ(port.Write("x", 1), -1);

    // Opening again on the same device works (exclusive hold released).
    ASSERT_EQ(port.Open(1), 1);
    EXPECT_STREQ(SerialLibrarySignature(), "VORN_SIG,name=SIO32,version=4.3");
}

TEST_F(SerialPortTest, portHeldElsewhere_givesMinusTwo) {
    SerialPort first;
    ASSERT_EQ(first.Open(1), 1);
    SerialPort again;
    EXPECT_EQ(again.Open(1), -2);  // same COM number in this process
    EXPECT_EQ(again.isOpen, 0);
    Link(2, pty.slave());
    SerialPort sameDevice;
    EXPECT_EQ(sameDevice.Open(2), -2);  // another open of the same device
    EXPECT_TRUE(seam.HasDebugLine("PortOpen - COM2 " + dir.file("COM2") + " is in use "));
    // The failed opens did not disturb the first port.
    Bytes frame = {0x82, 0x11, 0x13, 0x0D, 0x0A};
    EXPECT_EQ(first.Write(frame.data(), static_cast<int>(frame.size())), 5);
    EXPECT_EQ(pty.Receive(frame.size()), frame);
    first.Close();
    EXPECT_EQ(sameDevice.Open(2), 1);
}

TEST_F(SerialPortTest, portHeldByAnotherProcess_givesMinusTwo) {
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
    EXPECT_EQ(seam.WatchCount(), 0);

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
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(seam.WatchCount(), 0);
}

// With a COM link directory in use a COM number names its link only (a
// missing one is a port that is not there); /dev/ttyS* only without one.
// An open port knows whether its COM link still names the device it holds.
TEST_F(SerialPortTest, comLinkNamesTheDevice_noFallBackToTtyS_andAMovedLinkIsSeen) {
    EXPECT_EQ(ComDevicePath(1), dir.file("COM1"));
    EXPECT_EQ(ComDevicePath(5), dir.file("COM5"));
    unsetenv("VORN_COM_DIR");
    if (access("/dev/vorn", F_OK) != 0) {
        EXPECT_EQ(ComDevicePath(5), "/dev/ttyS4");
    }
    setenv("VORN_COM_DIR", dir.path().c_str(), 1);

    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    EXPECT_TRUE(port.HoldsDeviceOf(1));
    Pty other;
    ASSERT_EQ(unlink(dir.file("COM1").c_str()), 0);
    EXPECT_FALSE(port.HoldsDeviceOf(1)) << "link gone";
    Link(1, other.slave());
    EXPECT_FALSE(port.HoldsDeviceOf(1)) << "link names another pty";
    Link(3, pty.slave());
    EXPECT_TRUE(port.HoldsDeviceOf(3)) << "another link to the held device";
    // No exclusive flag on a pty: it belongs to the terminal, which outlives
    // a killed driver while the other end is open.
    const int probe = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    int exclusive = -1;
    EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(probe);
    port.Close();
    EXPECT_FALSE(port.HoldsDeviceOf(3));
}

TEST_F(SerialPortTest, everyByteValue_passesUnchangedBothWays) {
    SerialPort port;
    port.baud = 38400;
    port.parity = 2;
    ASSERT_EQ(port.Open(1), 1);
    Collect(port);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<unsigned char>(i);

    // Out: two frames written back to back arrive whole, CR/LF and XON/XOFF
    // untouched.
    EXPECT_EQ(port.Write(all.data(), 128), 128);
    EXPECT_EQ(port.Write(all.data() + 128, 128), 128);
    EXPECT_EQ(pty.Receive(256), all);

    // In: everything the panel sends reaches the handler, in order.
    pty.Send(all);
    ASSERT_TRUE(seam.PumpUntil([&] { return received.size() == all.size(); }));
    EXPECT_EQ(received, all);
    EXPECT_TRUE(reads.empty());
    EXPECT_EQ(port.TakeLineErrors(), 0u);  // pseudo-terminals have no line error counters
}

// The watch is level-triggered: a handler that takes one bounded block per
// event is told again while bytes wait, so a burst larger than any one read
// arrives whole and in order, and the event loop gets its turn in between.
TEST_F(SerialPortTest, burstLargerThanOneRead_arrivesWholeAcrossEvents) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    Collect(port, 256, false);
    const Bytes data = Pattern(20000, 3);
    std::thread feeder([&] { pty.Send(data); });
    ASSERT_TRUE(seam.PumpUntil([&] { return received.size() == data.size(); }, milliseconds(10000)));
    feeder.join();
    EXPECT_EQ(received, data);
    EXPECT_GE(events, static_cast<int>(data.size() / 256));
}

// A handler that does not read (busy further up the stack) is not told again
// on the same loop turn, so nothing spins; the data is read at the next one.
TEST_F(SerialPortTest, handlerThatDoesNotRead_isToldAgainOnTheNextTurnOnly) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    int calls = 0;
    bool refuse = true;
    port.SetHandler([&](SerialEvent, int) {
        ++calls;
        if (refuse) return;
        unsigned char buf[16];
        int got = 0;
        int err = 0;
        while (port.Read(buf, sizeof buf, &got, &err) == LinkRead::kData) received.insert(received.end(), buf, buf + got);
    });
    pty.Send({1, 2, 3});
    ASSERT_TRUE(seam.PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(seam.WatchCount(), 0) << "paused";
    refuse = false;
    ASSERT_TRUE(seam.PumpUntil([&] { return received.size() == 3; }));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seam.WatchCount(), 1);
}

TEST_F(SerialPortTest, setterOnOpenPort_reopensAndKeepsTheHandler) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    Collect(port);
    port.SetBaud(19200);
    EXPECT_EQ(port.baud, 19200);
    EXPECT_EQ(port.isOpen, 1);
    EXPECT_EQ(port.GetPort(), 1);
    EXPECT_EQ(seam.WatchCount(), 1);
    pty.Send({'A', 'B'});
    ASSERT_TRUE(seam.PumpUntil([&] { return received.size() == 2; }));

    // Setters on a closed port only store.
    port.Close();
    port.SetParity(2);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.parity, 2);
}

TEST_F(SerialPortTest, dataWaitingAtCloseOrDestruction_isNeverDelivered) {
    auto port = std::make_unique<SerialPort>();
    ASSERT_EQ(port->Open(1), 1);
    Collect(*port);
    pty.Send({1, 2, 3});
    poll(nullptr, 0, 20);
    port->Close();
    seam.Pump(milliseconds(20));
    EXPECT_EQ(events, 0);

    ASSERT_EQ(port->Open(1), 1);
    pty.Send({4});
    poll(nullptr, 0, 20);
    port.reset();
    seam.Pump(milliseconds(20));
    EXPECT_EQ(events, 0);
    EXPECT_EQ(seam.WatchCount(), 0);
}

// A line that hangs up is told once as kHungUp (or as a read that finds the
// line closed), then left alone: a hung-up descriptor stays "ready" for
// ever, and watching it would spin the event loop.
TEST_F(SerialPortTest, hungUpLine_isToldOnceAndDoesNotSpin) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    Collect(port);
    pty.CloseMaster();
    ASSERT_TRUE(seam.PumpUntil([&] { return hangUps.size() + reads.size() >= 1; }));
    if (!hangUps.empty()) {
        EXPECT_EQ(hangUps[0], EIO);
    } else {
        EXPECT_EQ(reads[0], LinkRead::kClosed);
    }
    // CPU time over a window in which a spinning loop would burn all of it.
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    seam.Pump(milliseconds(300));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 60.0);
    EXPECT_EQ(hangUps.size() + reads.size(), 1u);
    port.Close();
}

// A panel that never stops sending: closing the port while data pours in is
// prompt every time and leaves no descriptor and no watch behind.
TEST_F(SerialPortTest, closeWhileDataPoursIn_isPromptAndLeavesNothingBehind) {
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    port.Close();
    const int fds = DescriptorCount();
    ASSERT_EQ(fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK), 0);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const Bytes chunk = Pattern(4096);
        while (!stop) {
            ssize_t n = write(pty.master(), chunk.data(), chunk.size());
            // Full while the port is closed: wait for room (bounded) instead of spinning.
            pollfd p{pty.master(), POLLOUT, 0};
            if (n <= 0) poll(&p, 1, 5);
        }
    });
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(port.Open(1), 1);
        Collect(port);
        const size_t before = received.size();
        ASSERT_TRUE(seam.PumpUntil([&] { return received.size() > before; }, milliseconds(3000)));
        auto start = std::chrono::steady_clock::now();
        port.Close();
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        EXPECT_EQ(DescriptorCount(), fds);
        EXPECT_EQ(seam.WatchCount(), 0);
    }
    stop = true;
    feeder.join();
    EXPECT_LT(slowest, milliseconds(100));
}

TEST_F(SerialPortTest, customSpeed_opensOnPty_andPassesData) {
    SerialPort port;
    port.baud = 250000;  // no termios constant: set through termios2
    ASSERT_EQ(port.Open(1), 1);
    Collect(port);
    pty.Send({9, 8, 7});
    ASSERT_TRUE(seam.PumpUntil([&] { return received.size() == 3; }));
    EXPECT_EQ(received, (Bytes{9, 8, 7}));
}

// Three-wire panels: a line left with hardware flow control on would stall
// every write. The flag is set beforehand and must read back cleared.
TEST_F(SerialPortTest, open_switchesHardwareFlowControlOff) {
    int watcher = open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(watcher, &tio), 0);
    tio.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(watcher, TCSANOW, &tio), 0);
    ASSERT_EQ(tcgetattr(watcher, &tio), 0);
    if ((tio.c_cflag & CRTSCTS) == 0) {
        close(watcher);
        GTEST_SKIP() << "this kernel's pseudo-terminals do not keep CRTSCTS";
    }
    SerialPort port;
    ASSERT_EQ(port.Open(1), 1);
    ASSERT_EQ(tcgetattr(watcher, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    port.Close();
    close(watcher);
}

}  // namespace
}  // namespace vorn
