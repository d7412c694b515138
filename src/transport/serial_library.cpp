#include "transport/serial_library.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/diagnostics.h"
#include "core/seam.h"
#include "transport/serial_device.h"
#include "transport/serial_ring_buffer.h"

namespace vorn {

namespace {

// Identification text of the library, kept in its data.
__attribute__((used)) const char kSerialLibrarySignature[] = "VORN_SIG,name=SIO32,version=4.3";

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPortCount = 256;
// Largest read size; a larger request is cut to this (the ring's size).
constexpr int kMaxReadSize = static_cast<int>(SerialRingBuffer::kCapacity);
// Read size a port has while it is being opened.
constexpr int kOpenReadSize = 16;
constexpr int kWriteTimeoutMs = 1000;
// Notification thinning: another notification only after this much time
// since the last one, or when more than kNotifyBacklog bytes wait.
constexpr milliseconds kNotifyInterval{100};
constexpr size_t kNotifyBacklog = 8192;
// After a device error or hang-up the reader waits this long (or for the
// close) before reading again, so a device that keeps failing never spins.
constexpr int kErrorPauseMs = 100;

int IntervalMs(int baud) { return std::max(1, 100000 / std::max(1, baud)); }

// State of one open port shared by the GUI thread and the port's reader.
// The fields above `mutex` are set before the reader starts and then only
// read, or are atomics; the ones below it are guarded by it.
struct PortState {
    int comPort = 0;
    int fd = -1;
    int wakeFd = -1;
    SerialPort* owner = nullptr;
    SerialClock clock;
    std::atomic<bool> running{true};
    std::atomic<int> readSize{kOpenReadSize};
    std::atomic<int> intervalMs{1};
    std::atomic<SerialNotifyFn> target{nullptr};

    std::mutex mutex;
    SerialRingBuffer ring;
    bool notifyPending = false;
    Clock::time_point lastNotify{};
};

// GUI-thread view of one table slot; `state` null = free.
struct PortRecord {
    std::shared_ptr<PortState> state;
    std::thread reader;
    int baud = 0;
    SerialLineCounters lastCounters;
    bool haveCounters = false;
};

void CloseRecord(PortRecord& rec);

// All process-wide library state.
struct LibraryState {
    std::unique_ptr<std::array<PortRecord, kPortCount>> table;
    SerialClock clock;

    // Joins any reader still running at process end (a joinable std::thread
    // would otherwise end the process).
    ~LibraryState() {
        if (!table) return;
        for (auto& rec : *table) CloseRecord(rec);
    }
};

LibraryState& Lib() {
    static LibraryState state;
    return state;
}

bool AnyPortOpen() {
    const auto& table = Lib().table;
    if (!table) return false;
    return std::any_of(table->begin(), table->end(),
                       [](const PortRecord& r) { return r.state != nullptr; });
}

void FreeTableIfIdle() {
    if (!AnyPortOpen()) Lib().table.reset();
}

// Record of an open port, or null for a bad index, no table or a free slot.
PortRecord* OpenRecord(int index) {
    auto& table = Lib().table;
    if (!table || index < 0 || index >= kPortCount) return nullptr;
    PortRecord& rec = (*table)[static_cast<size_t>(index)];
    return rec.state ? &rec : nullptr;
}

// Reader thread: puts bytes into the ring and notifies. Runs until the
// port's `running` is cleared and its wake descriptor signalled.
void Deliver(PortState* st, const std::weak_ptr<PortState>& self, const unsigned char* data,
             size_t n) {
    bool discardRest = false;
    {
        std::lock_guard<std::mutex> lock(st->mutex);
        Clock::time_point now = st->clock();
        st->ring.Put(data, n);
        if (st->target.load() != nullptr) {
            if (now - st->lastNotify >= kNotifyInterval || st->ring.Count() > kNotifyBacklog) {
                st->notifyPending = false;
            }
            if (!st->notifyPending && HasSeam()) {
                st->notifyPending = true;
                st->lastNotify = now;
                // Posted under the lock, so a reader of the count that sees
                // these bytes also finds the notification queued. The call
                // does nothing once this port has been closed (its state is
                // gone) or has lost its target.
                SerialPort* owner = st->owner;
                GetSeam().Post([self, owner] {
                    std::shared_ptr<PortState> alive = self.lock();
                    if (!alive) return;
                    SerialNotifyFn fn = alive->target.load();
                    if (fn != nullptr) fn(owner);
                });
            }
        } else {
            discardRest = true;
        }
    }
    // Nobody is told about data: keep what was read, drop the device's queue.
    if (discardRest) DiscardSerialInput(st->fd);
}

void ReaderLoop(PortState* st, std::weak_ptr<PortState> self) {
    std::vector<unsigned char> buf(static_cast<size_t>(kMaxReadSize));
    while (st->running.load()) {
        int size = st->readSize.load();
        size_t want = static_cast<size_t>(std::clamp(size, 1, kMaxReadSize));
        size_t got = 0;
        bool woken = false;
        bool deviceError = false;
        Clock::time_point firstByte{};
        // One read: ends when `want` bytes came, when the line is quiet for
        // the inter-byte interval, or size x size ms after its first byte.
        // Until the first byte the wait has no time-out (idle ports sleep).
        while (got < want) {
            int timeout = -1;
            if (got > 0) {
                timeout = st->intervalMs.load();
                if (size > 0) {
                    auto total = milliseconds(static_cast<int64_t>(size) * size);
                    auto left = std::chrono::duration_cast<milliseconds>(firstByte + total -
                                                                         Clock::now());
                    if (left.count() <= 0) break;
                    timeout = static_cast<int>(std::min<int64_t>(timeout, left.count()));
                }
            }
            pollfd fds[2] = {{st->fd, POLLIN, 0}, {st->wakeFd, POLLIN, 0}};
            int r = poll(fds, 2, timeout);
            if (r < 0) {
                if (errno == EINTR) continue;
                deviceError = true;
                break;
            }
            if (fds[1].revents != 0) {
                woken = true;
                break;
            }
            if (r == 0) break;  // quiet for the interval: the read is complete
            if ((fds[0].revents & POLLIN) != 0) {
                ssize_t n = read(st->fd, buf.data() + got, want - got);
                if (n > 0) {
                    if (got == 0) firstByte = Clock::now();
                    got += static_cast<size_t>(n);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            }
            // Error, hang-up or end of input: discard the device's queue.
            DiscardSerialInput(st->fd);
            deviceError = true;
            break;
        }
        if (woken || !st->running.load()) break;
        if (got > 0) Deliver(st, self, buf.data(), got);
        if (deviceError) {
            pollfd wake{st->wakeFd, POLLIN, 0};
            if (poll(&wake, 1, kErrorPauseMs) > 0) break;
        }
    }
}

// Stops the reader (wakes and joins it) before the device and the ring go.
void CloseRecord(PortRecord& rec) {
    if (!rec.state) return;
    PortState* st = rec.state.get();
    st->running.store(false);
    st->target.store(nullptr);
    if (st->wakeFd >= 0) {
        eventfd_write(st->wakeFd, 1);
    }
    if (rec.reader.joinable()) rec.reader.join();
    DiscardSerialInput(st->fd);
    CloseSerialDevice(st->fd);
    st->fd = -1;
    if (st->wakeFd >= 0) close(st->wakeFd);
    st->wakeFd = -1;
    // A notification still queued holds the state only weakly: it finds it
    // gone, or (while it runs a callback) without a target and device.
    rec = PortRecord{};
}

}  // namespace

const char* SerialLibrarySignature() { return kSerialLibrarySignature; }

int PortOpen(SerialPort* owner, int baud, int byteSize, int stopBits, int parity) {
    if (owner == nullptr) {
        DebugMessage("PortOpen - no port object ");
        return kSerialFailed;
    }
    int p = owner->GetPort();
    if (p < 1 || p > kPortCount) {
        DebugMessage("PortOpen - COM%d not opened: port number outside 1..256 ", p);
        return kSerialFailed;
    }
    auto& lib = Lib();
    if (!lib.table) lib.table = std::make_unique<std::array<PortRecord, kPortCount>>();
    PortRecord& rec = (*lib.table)[static_cast<size_t>(p - 1)];
    if (rec.state) {
        DebugMessage("PortOpen - COM%d is already open in this process ", p);
        return kSerialInUse;
    }

    SerialLineSettings settings;
    settings.baud = baud;
    settings.byteSize = byteSize;
    settings.parity = parity;
    settings.stopBits = stopBits;
    int fd = -1;
    int result = OpenSerialDevice(p, settings, &fd);
    if (result != 0) {
        FreeTableIfIdle();
        return result;
    }

    auto state = std::make_shared<PortState>();
    state->comPort = p;
    state->fd = fd;
    state->owner = owner;
    state->clock = lib.clock ? lib.clock : SerialClock([] { return Clock::now(); });
    state->intervalMs.store(IntervalMs(baud));
    state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) {
        DebugMessage("PortOpen - COM%d not opened: no wake descriptor (%s) ", p,
                     std::strerror(errno));
        CloseSerialDevice(fd);
        FreeTableIfIdle();
        return kSerialFailed;
    }
    rec.baud = baud;
    rec.haveCounters = ReadSerialLineCounters(fd, &rec.lastCounters);
    rec.state = state;
    try {
        rec.reader = std::thread(ReaderLoop, state.get(), std::weak_ptr<PortState>(state));
    } catch (const std::system_error& e) {
        DebugMessage("PortOpen - COM%d not opened: no reader thread (%s) ", p, e.what());
        CloseRecord(rec);
        FreeTableIfIdle();
        return kSerialFailed;
    }
    return p - 1;
}

void PortClose(int index) {
    auto& lib = Lib();
    if (!lib.table) return;
    if (index != -1) {
        if (index < 0 || index >= kPortCount) return;
        CloseRecord((*lib.table)[static_cast<size_t>(index)]);
    }
    FreeTableIfIdle();
}

int PortSetWindow(int index, SerialNotifyFn window, int readSize) {
    PortRecord* rec = OpenRecord(index);
    if (rec == nullptr) return 0;
    rec->state->target.store(window);
    return PortSetReadSize(index, readSize);
}

int PortSetReadSize(int index, int readSize) {
    PortRecord* rec = OpenRecord(index);
    if (rec == nullptr) return 0;
    PortState* st = rec->state.get();
    if (readSize < 0) {
        st->target.store(nullptr);
        return 1;
    }
    st->intervalMs.store(IntervalMs(rec->baud));
    st->readSize.store(std::min(readSize, kMaxReadSize));  // picked up at the next read
    return 1;
}

int PortRead(int index, void* buffer, int count) {
    PortRecord* rec = OpenRecord(index);
    if (rec == nullptr || buffer == nullptr || count <= 0) return 0;
    PortState* st = rec->state.get();
    size_t taken;
    uint64_t lost;
    {
        std::lock_guard<std::mutex> lock(st->mutex);
        taken = st->ring.Take(buffer, static_cast<size_t>(count));
        st->notifyPending = false;
        lost = st->ring.TakeLost();
    }
    if (lost > 0) {
        DebugMessage("PortRead - COM%d receive buffer full, %llu bytes lost ", st->comPort,
                     static_cast<unsigned long long>(lost));
    }
    return static_cast<int>(taken);
}

int PortWrite(int index, const void* data, int count) {
    PortRecord* rec = OpenRecord(index);
    if (rec == nullptr) return -1;
    PortState* st = rec->state.get();
    if (data == nullptr || count < 0) {
        DebugMessage("PortWrite - COM%d nothing written: bad buffer or length %d ", st->comPort,
                     count);
        return -1;
    }
    int err = 0;
    int written = WriteSerialDevice(st->fd, data, count, kWriteTimeoutMs, &err);
    if (written < 0) {
        DebugMessage("PortWrite - COM%d write failed (%s) ", st->comPort, std::strerror(err));
        return -1;
    }
    if (written < count) {
        DebugMessage("PortWrite - COM%d write time-out, %d of %d bytes written ", st->comPort,
                     written, count);
    }
    return written;
}

void PortGetStatus(int index, ComStat* status, uint32_t* errors) {
    if (status == nullptr || errors == nullptr) return;
    *status = ComStat{};
    *errors = 0;
    PortRecord* rec = OpenRecord(index);
    if (rec == nullptr) return;
    PortState* st = rec->state.get();
    SerialLineCounters now;
    if (ReadSerialLineCounters(st->fd, &now)) {
        if (rec->haveCounters) *errors = SerialErrorFlags(rec->lastCounters, now);
        rec->lastCounters = now;
        rec->haveCounters = true;
    }
    {
        std::lock_guard<std::mutex> lock(st->mutex);
        status->cbInQue = static_cast<uint32_t>(st->ring.Count());
    }
    status->cbOutQue = SerialOutputQueue(st->fd);
}

SerialPort* PortOwner(int index) {
    PortRecord* rec = OpenRecord(index);
    return rec == nullptr ? nullptr : rec->state->owner;
}

uint64_t PortLostBytes(int index) {
    PortRecord* rec = OpenRecord(index);
    if (rec == nullptr) return 0;
    std::lock_guard<std::mutex> lock(rec->state->mutex);
    return rec->state->ring.Lost();
}

bool SerialTableExists() { return Lib().table != nullptr; }

void SetSerialClock(SerialClock clock) { Lib().clock = std::move(clock); }

void ResetSerialLibrary() {
    auto& lib = Lib();
    if (lib.table) {
        for (auto& rec : *lib.table) CloseRecord(rec);
    }
    lib.table.reset();
    lib.clock = nullptr;
}

}  // namespace vorn
