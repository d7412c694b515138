// The Infodriver server in-process on its own thread, driven by raw link
// clients over real Unix sockets: slots, notifications, mode arbitration,
// protocol faults, flow control towards slow readers, liveness of driver
// clients and the state file.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "infodriver_server.h"
#include "support/spawned_process.h"
#include "support/temp_dir.h"
#include "transport/info_frame.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr int kDevice = 7;
// How far a queue may pass the high-water mark: the frame that crossed it,
// and a few small frames of the server's own (probe, mode request).
constexpr size_t kHoldSlack = 4 + kInfoFrameMaxPayload + 256;

// A link client that speaks raw frames; the test decides every step.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    // True once a read in WaitFor found the connection closed.
    bool closed() const { return closed_; }
    int fd() const { return fd_; }

    void SendBytes(const std::string& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    void Send(uint32_t message, int32_t wParam = 0, int32_t lParam = 0, const std::string& text = "") {
        SendBytes(EncodeInfoFrame(InfoFrame{message, 0, 0, wParam, lParam, text}));
    }
    uint32_t Request(uint32_t message, int32_t wParam = 0, int32_t lParam = 0) {
        uint32_t id = nextId_++;
        SendBytes(EncodeInfoFrame(InfoFrame{message, id, 0, wParam, lParam, ""}));
        return id;
    }
    void Answer(const InfoFrame& request, int32_t wParam) {
        SendBytes(EncodeInfoFrame(InfoFrame{request.message, request.id, kInfoFlagReply, wParam, 0, ""}));
    }

    // Whether WaitFor answers the server's liveness probes (XOV_DATA
    // requests) as the driver's client does; such probes are not kept.
    void SetAnswersProbes(bool answer) { answersProbes_ = answer; }

    // Next frame that matches; others stay in the backlog in order.
    std::optional<InfoFrame> WaitFor(const std::function<bool(const InfoFrame&)>& match,
                                     std::chrono::milliseconds timeout = 5000ms) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
                if (match(*it)) {
                    InfoFrame f = *it;
                    backlog_.erase(it);
                    return f;
                }
            }
            InfoFrame f;
            while (reader_.Next(f) == InfoFrameReader::Result::kFrame) {
                if (answersProbes_ && f.message == XOV_DATA && f.id != 0 && !f.IsReply()) {
                    // Not asserted: the server may have closed us meanwhile.
                    std::string r = EncodeInfoFrame(InfoFrame{f.message, f.id, kInfoFlagReply, 0, 0, ""});
                    (void)!send(fd_, r.data(), r.size(), MSG_NOSIGNAL);
                    continue;
                }
                backlog_.push_back(f);
            }
            if (std::any_of(backlog_.begin(), backlog_.end(), match)) continue;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            reader_.Append(buf, static_cast<size_t>(n));
        }
    }
    std::optional<InfoFrame> WaitMessage(uint32_t message, std::chrono::milliseconds timeout = 5000ms) {
        return WaitFor([message](const InfoFrame& f) { return f.message == message && !f.IsReply(); }, timeout);
    }
    std::optional<InfoFrame> WaitReply(uint32_t id) {
        return WaitFor([id](const InfoFrame& f) { return f.IsReply() && f.id == id; });
    }
    InfoFrame Call(uint32_t message, int32_t wParam = 0, int32_t lParam = 0) {
        auto reply = WaitReply(Request(message, wParam, lParam));
        EXPECT_TRUE(reply.has_value()) << "no reply to " << message;
        return reply.value_or(InfoFrame{});
    }
    int Mode() { return Call(XOV_GETMODE).wParam; }
    std::string Read(int32_t slot) { return Call(XOV_SLOTREAD, slot).text; }
    // Attaches as a driver; the mode read makes sure the attach is done.
    int Attach() {
        Send(XOV_DEVATTACHED);
        return Mode();
    }
    // Forgets the frames kept for later WaitFor calls.
    void DropBacklog() { backlog_.clear(); }
    size_t Count(uint32_t message) const {
        return std::count_if(backlog_.begin(), backlog_.end(), [&](const InfoFrame& f) { return f.message == message; });
    }
    // True once the server has closed the connection.
    bool WaitClosed(std::chrono::milliseconds timeout = 5000ms) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    uint32_t nextId_ = 1;
    bool answersProbes_ = true;
    bool closed_ = false;
    InfoFrameReader reader_;
    std::vector<InfoFrame> backlog_;
};

class InfodriverServerTest : public ::testing::Test {
protected:
    void StartServer(std::function<void(InfodriverOptions&)> tweak = {}) {
        InfodriverOptions options;
        options.devices = {kDevice};
        options.socketDir = dir_.file("sock");
        options.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_.push_back(line);
            logTimes_.push_back(Clock::now());
        };
        if (tweak) tweak(options);
        server_ = std::make_unique<InfodriverServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        server_->RunInThread();
    }
    void StopServer() {
        server_->Stop();
        server_->Join();
    }
    std::unique_ptr<RawClient> Connect() {
        auto client = std::make_unique<RawClient>(server_->SocketPath(kDevice));
        EXPECT_TRUE(client->connected());
        return client;
    }
    bool LogHas(const std::string& part) {
        std::lock_guard lock(logMutex_);
        return std::any_of(log_.begin(), log_.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
    }
    bool WaitLog(const std::string& part, std::chrono::milliseconds timeout = 5000ms) {
        return server_->WaitUntil([&] { return LogHas(part); }, timeout);
    }
    // When the first line containing `part` was logged.
    std::optional<Clock::time_point> LogTime(const std::string& part) {
        std::lock_guard lock(logMutex_);
        for (size_t i = 0; i < log_.size(); ++i) {
            if (log_[i].find(part) != std::string::npos) return logTimes_[i];
        }
        return std::nullopt;
    }

    test::TempDir dir_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
    std::vector<Clock::time_point> logTimes_;
    std::unique_ptr<InfodriverServer> server_;
};

TEST_F(InfodriverServerTest, slots_writeReadNegativeNeverWrittenAndLongText) {
    StartServer();
    auto a = Connect();
    a->Send(XOV_SLOTWRITE, 351, 0, "Label 1");
    a->Send(XOV_SLOTWRITENEG, 12, 0, "neg");
    a->Send(XOV_SLOTWRITE, 40, 0, std::string(600, 'z'));
    InfoFrame read = a->Call(XOV_SLOTREAD, 351);
    EXPECT_EQ(read.wParam, 1);
    EXPECT_EQ(read.text, "Label 1");
    EXPECT_EQ(a->Read(12), "neg");
    EXPECT_EQ(a->Read(-12), "neg");  // a read of the negative form finds the same slot
    EXPECT_EQ(a->Read(40), std::string(511, 'z'));
    InfoFrame never = a->Call(XOV_SLOTREAD, 999);
    EXPECT_EQ(never.wParam, 1);
    EXPECT_EQ(never.text, "");
    EXPECT_EQ(server_->Slot(kDevice, 12), "neg");
}

TEST_F(InfodriverServerTest, slotChanged_reachesEveryOtherClientAlsoForAnUnchangedText) {
    StartServer();
    auto writer = Connect();
    auto driver = Connect();
    auto tool = Connect();
    driver->Attach();
    tool->Call(XOV_GETMODE);  // connected and served
    writer->Send(XOV_SLOTWRITE, 5, 0, "x");
    writer->Send(XOV_SLOTWRITE, 5, 0, "x");
    writer->Send(XOV_SLOTWRITENEG, 9, 0, "n");
    for (RawClient* other : {driver.get(), tool.get()}) {
        for (int i = 0; i < 2; ++i) {
            auto note = other->WaitMessage(XOV_SLOTCHANGED);
            ASSERT_TRUE(note);
            EXPECT_EQ(note->wParam, 5);
            EXPECT_EQ(note->text, "x");
        }
        auto neg = other->WaitMessage(XOV_SLOTCHANGED);
        ASSERT_TRUE(neg);
        EXPECT_EQ(neg->wParam, 9);
    }
    // Anything for the writer would have come before this reply.
    writer->Call(XOV_SLOTREAD, 5);
    EXPECT_EQ(writer->Count(XOV_SLOTCHANGED), 0u);
}

TEST_F(InfodriverServerTest, handshake_findQueryAndModeOfANonDriver) {
    StartServer();
    auto a = Connect();
    uint32_t id = a->Request(XOV_DEVFIND, 0, kDevice);
    auto window = a->WaitMessage(XOV_INFOWINDOW);
    ASSERT_TRUE(window);
    EXPECT_NE(window->wParam, 0);
    auto found = a->WaitReply(id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->wParam, 1);
    EXPECT_EQ(a->Call(XOV_DEVFIND, 0, kDevice + 1).wParam, 0);
    a->Send(XOV_DEVQUERY);
    auto state = a->WaitMessage(XOV_DEVSTATE);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->wParam, 1);
    EXPECT_EQ(a->Mode(), 0);
    a->Send(XOV_SETMODE, 2);  // not a driver: no effect
    EXPECT_EQ(a->Mode(), 0);
}

TEST_F(InfodriverServerTest, modes_firstDriverMainSecondReserveThirdGetsDeviceIdInUse) {
    StartServer();
    auto a = Connect();
    auto b = Connect();
    auto c = Connect();
    EXPECT_EQ(a->Attach(), 2);
    EXPECT_EQ(b->Attach(), 1);
    c->Send(XOV_DEVATTACHED);
    auto inUse = c->WaitMessage(XOV_DEVICEIDINUSE);
    ASSERT_TRUE(inUse);
    EXPECT_EQ(inUse->wParam & 0xFFFF, kDevice);
    EXPECT_EQ(c->Mode(), 1);
    auto drivers = server_->DriverClients(kDevice);
    ASSERT_EQ(drivers.size(), 3u);
    std::string expected;
    for (const auto& d : drivers) expected += std::to_string(d.id) + " " + std::to_string(d.mode) + "\n";
    InfoFrame list = a->Call(XOV_LISTCLIENTS);
    EXPECT_EQ(list.wParam, 3);
    EXPECT_EQ(list.text, expected);
    EXPECT_EQ(drivers[0].mode, 2);
    EXPECT_EQ(drivers[1].mode, 1);
}

// Forced and plain requests for main from the reserve, with the main
// agreeing or refusing; the asker's next mode read waits for the outcome.
TEST_F(InfodriverServerTest, modes_reserveAsksForMain_mainDecides) {
    StartServer();
    auto a = Connect();
    auto b = Connect();
    ASSERT_EQ(a->Attach(), 2);
    ASSERT_EQ(b->Attach(), 1);
    struct Row {
        int mode;
        bool agree;
    };
    RawClient* main = a.get();
    RawClient* reserve = b.get();
    for (Row row : {Row{2, false}, Row{3, false}, Row{2, true}, Row{3, true}}) {
        SCOPED_TRACE(testing::Message() << "mode " << row.mode << " agree " << row.agree);
        reserve->Send(XOV_SETMODE, row.mode);
        uint32_t modeRead = reserve->Request(XOV_GETMODE);
        auto ask = main->WaitMessage(XOV_REQDEVGORXONLY);
        ASSERT_TRUE(ask);
        EXPECT_NE(ask->id, 0u);
        main->Answer(*ask, row.agree ? 1 : 0);
        auto outcome = reserve->WaitReply(modeRead);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->wParam, row.agree ? 2 : 1);
        EXPECT_EQ(main->Mode(), row.agree ? 1 : 2);
        if (row.agree) std::swap(main, reserve);
    }
    // The main asking for main changes nothing and asks nobody.
    main->Send(XOV_SETMODE, 2);
    EXPECT_EQ(main->Mode(), 2);
    EXPECT_EQ(reserve->Mode(), 1);
    EXPECT_EQ(reserve->Count(XOV_REQDEVGORXONLY) + main->Count(XOV_REQDEVGORXONLY), 0u);
}

TEST_F(InfodriverServerTest, modes_unansweredRequestCountsAsRefusedAndOthersAreServedMeanwhile) {
    StartServer([](InfodriverOptions& o) { o.requestTimeoutMs = 300; });
    auto a = Connect();
    auto b = Connect();
    auto tool = Connect();
    ASSERT_EQ(a->Attach(), 2);
    ASSERT_EQ(b->Attach(), 1);
    b->Send(XOV_SETMODE, 3);
    b->Send(XOV_SLOTWRITE, 1, 0, "held");  // waits with b's other frames
    uint32_t modeRead = b->Request(XOV_GETMODE);
    ASSERT_TRUE(a->WaitMessage(XOV_REQDEVGORXONLY));
    auto start = Clock::now();
    EXPECT_EQ(tool->Read(2), "");  // the server keeps serving while a request is open
    EXPECT_LT(Clock::now() - start, 250ms);
    auto outcome = b->WaitReply(modeRead);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->wParam, 1);
    EXPECT_EQ(a->Mode(), 2);
    EXPECT_EQ(tool->Read(1), "held");
    EXPECT_TRUE(LogHas("counted as refused"));
}

TEST_F(InfodriverServerTest, modes_mainGivingUpOrLeavingOffersMainInAttachOrder) {
    StartServer();
    auto a = Connect();
    auto b = Connect();
    auto c = Connect();
    ASSERT_EQ(a->Attach(), 2);
    ASSERT_EQ(b->Attach(), 1);
    ASSERT_EQ(c->Attach(), 1);

    a->Send(XOV_SETMODE, 1);
    EXPECT_EQ(a->Mode(), 1);  // at once, no waiting for the offers
    auto offerB = b->WaitMessage(XOV_REQDEVGOTXRX);
    ASSERT_TRUE(offerB);
    b->Answer(*offerB, 0);
    auto offerC = c->WaitMessage(XOV_REQDEVGOTXRX);
    ASSERT_TRUE(offerC);
    c->Answer(*offerC, 1);
    ASSERT_TRUE(server_->WaitUntil([&] { return server_->DriverClients(kDevice).at(2).mode == 2; }, 5000ms));
    EXPECT_EQ(c->Mode(), 2);
    EXPECT_EQ(b->Mode(), 1);

    // The main detaches: the first in attach order is asked first.
    c->Send(XOV_DEVCLOSE, 0, kDevice);
    auto offerA = a->WaitMessage(XOV_REQDEVGOTXRX);
    ASSERT_TRUE(offerA);
    a->Answer(*offerA, 1);
    EXPECT_TRUE(server_->WaitUntil([&] { return server_->DriverClients(kDevice).at(0).mode == 2; }, 5000ms));
    EXPECT_EQ(a->Mode(), 2);
    EXPECT_EQ(c->Mode(), 0);  // no longer a driver client

    // The main vanishes: b is offered; refusing leaves the device without main.
    a->Close();
    auto offerB2 = b->WaitMessage(XOV_REQDEVGOTXRX);
    ASSERT_TRUE(offerB2);
    b->Answer(*offerB2, 0);
    EXPECT_TRUE(WaitLog("no driver client took main"));
    EXPECT_EQ(b->Mode(), 1);
    // With no main, a request for it is granted without asking.
    b->Send(XOV_SETMODE, 2);
    EXPECT_EQ(b->Mode(), 2);
}

// Each fault costs only the faulty client its connection, with a log line.
TEST_F(InfodriverServerTest, protocolFaults_dropOnlyTheFaultyClient) {
    StartServer();
    auto writer = Connect();
    auto watcher = Connect();
    watcher->Call(XOV_GETMODE);
    struct Fault {
        const char* name;
        std::string bytes;
        bool halfClose;
        const char* log;
    };
    auto lengthOnly = [](uint32_t length) {
        std::string s(4, '\0');
        for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        return s;
    };
    std::string unknown = EncodeInfoFrame(InfoFrame{9999, 0, 0, 0, 0, ""});
    std::string truncated = lengthOnly(100) + std::string(30, 'x');
    const Fault faults[] = {
        {"undersized", lengthOnly(5) + "abcde", false, "frame length outside"},
        {"oversized", lengthOnly(kInfoFrameMaxPayload + 1), false, "frame length outside"},
        {"unknown", unknown, false, "unknown message number 9999"},
        {"truncated", truncated, true, "in the middle of a frame"},
    };
    int slot = 1;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        auto bad = Connect();
        bad->Call(XOV_GETMODE);
        bad->SendBytes(fault.bytes);
        if (fault.halfClose) shutdown(bad->fd(), SHUT_WR);
        EXPECT_TRUE(bad->WaitClosed());
        EXPECT_TRUE(WaitLog(fault.log));
        writer->Send(XOV_SLOTWRITE, slot, 0, fault.name);
        auto note = watcher->WaitMessage(XOV_SLOTCHANGED);
        ASSERT_TRUE(note);
        EXPECT_EQ(note->wParam, slot);
        EXPECT_EQ(writer->Read(slot), fault.name);
        ++slot;
    }
    EXPECT_EQ(server_->ClientCount(kDevice), 2u);
}

// The burst of the flow-control tests: 10000 labels of 500 bytes (about
// 5 MB), each to its own slot, so that order and completeness can be told.
constexpr int kBurst = 10000;
constexpr int32_t kBurstSlot = 1000;
std::string BurstText(int i) {
    std::string text = std::to_string(i) + ":";
    text.resize(500, 'L');
    return text;
}
void SendBurst(RawClient* writer) {
    for (int i = 0; i < kBurst; ++i) writer->Send(XOV_SLOTWRITE, kBurstSlot + i, 0, BurstText(i));
}
// Counts the burst's notifications; false from the first one out of order.
struct BurstCheck {
    int seen = 0;
    bool inOrder = true;
    void Note(const InfoFrame& f) {
        inOrder = inOrder && f.wParam == kBurstSlot + seen && f.text == BurstText(seen);
        ++seen;
    }
};
const size_t kHighWater = InfodriverOptions{}.queueHighWaterBytes;

// A control client writes the burst at once while a driver client reads in
// small chunks with pauses: the writer is held, not dropped; the driver is
// never cut off and gets every change in order; every write lands; no queue
// grows past the high-water mark by more than a frame.
TEST_F(InfodriverServerTest, flowControl_burstToASlowDriverHoldsTheWriterAndLosesNothing) {
    StartServer();
    auto writer = Connect();
    auto driver = Connect();
    ASSERT_EQ(driver->Attach(), 2);
    writer->Call(XOV_GETMODE);
    std::thread burst(SendBurst, writer.get());

    // 4 KiB at a time with a pause after each; probes are answered.
    BurstCheck check;
    bool closed = false;
    InfoFrameReader reader;
    const auto deadline = Clock::now() + 60s;
    while (check.seen < kBurst && !closed && Clock::now() < deadline) {
        pollfd p{driver->fd(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t n = read(driver->fd(), buf, sizeof buf);
        if (n <= 0) {
            closed = true;
            break;
        }
        reader.Append(buf, static_cast<size_t>(n));
        InfoFrame f;
        while (reader.Next(f) == InfoFrameReader::Result::kFrame) {
            if (f.message == XOV_DATA && f.id != 0) driver->Answer(f, 0);
            if (f.message == XOV_SLOTCHANGED) check.Note(f);
        }
        std::this_thread::sleep_for(1ms);
    }
    burst.join();
    EXPECT_FALSE(closed);
    EXPECT_EQ(check.seen, kBurst);
    EXPECT_TRUE(check.inOrder);
    EXPECT_EQ(writer->Read(kBurstSlot + kBurst - 1), BurstText(kBurst - 1));
    int landed = 0;
    for (int i = 0; i < kBurst; ++i) landed += server_->Slot(kDevice, kBurstSlot + i) == BurstText(i) ? 1 : 0;
    EXPECT_EQ(landed, kBurst);
    EXPECT_TRUE(LogHas("slot writes held"));
    EXPECT_FALSE(LogHas("cut off"));
    EXPECT_EQ(server_->ClientCount(kDevice), 2u);
    EXPECT_LE(server_->PeakQueuedBytes(), kHighWater + kHoldSlack);
}

// A driver client that stops reading entirely is cut off once it has taken
// nothing for the drain time, not before; the writer, held meanwhile, then
// goes on, and a client that reads gets every change in order.
TEST_F(InfodriverServerTest, flowControl_driverThatStopsReadingIsCutOffAfterTheDrainTime) {
    StartServer([](InfodriverOptions& o) { o.probeIntervalMs = 600000; });  // the drain rule alone
    auto writer = Connect();
    auto stuck = Connect();
    auto watcher = Connect();
    ASSERT_EQ(stuck->Attach(), 2);
    watcher->Call(XOV_GETMODE);
    writer->Call(XOV_GETMODE);
    const auto start = Clock::now();
    std::thread burst(SendBurst, writer.get());
    BurstCheck check;
    while (check.seen < kBurst) {
        auto note = watcher->WaitMessage(XOV_SLOTCHANGED, 10000ms);
        if (!note) break;
        check.Note(*note);
    }
    burst.join();
    EXPECT_EQ(check.seen, kBurst);
    EXPECT_TRUE(check.inOrder);
    std::optional<Clock::time_point> cut = LogTime("cut off: took no data for");
    ASSERT_TRUE(cut.has_value());
    EXPECT_GE(*cut - start, 3000ms);
    EXPECT_LT(*cut - start, 4500ms);
    EXPECT_TRUE(LogHas("no driver client left to take main"));
    EXPECT_TRUE(server_->DriverClients(kDevice).empty());
    EXPECT_EQ(writer->Read(kBurstSlot + kBurst - 1), BurstText(kBurst - 1));
    EXPECT_EQ(server_->ClientCount(kDevice), 2u);
    EXPECT_LE(server_->PeakQueuedBytes(), kHighWater + kHoldSlack);
}

// A client that asks without reading grows only its own queue, and only up
// to the high-water mark: its further requests wait there.
TEST_F(InfodriverServerTest, flowControl_requestsOfAClientThatDoesNotReadWaitAtItsOwnMark) {
    StartServer();
    auto writer = Connect();
    writer->Send(XOV_SLOTWRITE, 1, 0, std::string(511, 'r'));
    writer->Call(XOV_GETMODE);
    auto asker = Connect();
    std::string reads;
    for (int i = 0; i < 4000; ++i) reads += EncodeInfoFrame(InfoFrame{XOV_SLOTREAD, 1u + i, 0, 1, 0, ""});
    asker->SendBytes(reads);  // about 2 MB of replies, more than the mark and its socket
    ASSERT_TRUE(server_->WaitUntil([&] { return server_->PeakQueuedBytes() > kHighWater; }, 5000ms));
    // The others are still served (slot writes are held, reads are not).
    EXPECT_EQ(writer->Read(1), std::string(511, 'r'));
    EXPECT_LE(server_->PeakQueuedBytes(), kHighWater + kHoldSlack);
    int answered = 0;
    while (answered < 4000) {
        auto reply = asker->WaitFor([](const InfoFrame& f) { return f.IsReply(); });
        if (!reply) break;
        ++answered;
    }
    EXPECT_EQ(answered, 4000);
    EXPECT_FALSE(LogHas("cut off"));
}

// Liveness: a driver client that reads but never answers the probe is cut
// off within the probe interval plus the answer time. It was main, so the
// first other driver client is main at once and told with XOV_REQDEVGOTXRX;
// its refusal passes the role on by the usual offer. Non-drivers are not
// probed.
TEST_F(InfodriverServerTest, liveness_silentMainIsCutOffAndTheReserveIsMainAtOnce) {
    StartServer([](InfodriverOptions& o) {
        o.probeIntervalMs = 300;
        o.probeTimeoutMs = 1000;
    });
    auto silent = Connect();
    auto b = Connect();
    auto c = Connect();
    auto tool = Connect();
    tool->SetAnswersProbes(false);  // a probe would stay in its backlog
    tool->Call(XOV_GETMODE);
    silent->SetAnswersProbes(false);
    ASSERT_EQ(silent->Attach(), 2);
    const auto attached = Clock::now();
    ASSERT_EQ(b->Attach(), 1);
    ASSERT_EQ(c->Attach(), 1);
    // Reads every driver client in turn (b and c answer their probes) until
    // `done` holds.
    auto pump = [&](const std::function<bool()>& done) {
        const auto deadline = Clock::now() + 5000ms;
        while (!done()) {
            if (Clock::now() >= deadline) return false;
            for (RawClient* r : {silent.get(), b.get(), c.get()}) {
                if (!r->closed()) r->WaitFor([](const InfoFrame&) { return false; }, 10ms);
            }
        }
        return true;
    };
    auto request = [](uint32_t message) {
        return [message](const InfoFrame& f) { return f.message == message && f.id != 0 && !f.IsReply(); };
    };
    ASSERT_TRUE(pump([&] { return silent->closed(); }));
    std::optional<Clock::time_point> cut = LogTime("cut off: did not answer the liveness check within 1000 ms");
    ASSERT_TRUE(cut.has_value());
    EXPECT_GE(*cut - attached, 1000ms);
    EXPECT_LT(*cut - attached, 2000ms);

    // b is main before it has answered anything about it.
    auto drivers = server_->DriverClients(kDevice);
    ASSERT_EQ(drivers.size(), 2u);
    EXPECT_EQ(drivers[0].mode, 2);
    EXPECT_EQ(drivers[1].mode, 1);
    std::optional<InfoFrame> told;
    ASSERT_TRUE(pump([&] { return (told = b->WaitFor(request(XOV_REQDEVGOTXRX), 0ms)).has_value(); }));
    b->Answer(*told, 0);
    std::optional<InfoFrame> offer;
    ASSERT_TRUE(pump([&] { return (offer = c->WaitFor(request(XOV_REQDEVGOTXRX), 0ms)).has_value(); }));
    c->Answer(*offer, 1);
    ASSERT_TRUE(pump([&] { return server_->DriverClients(kDevice).at(1).mode == 2; }));
    EXPECT_EQ(b->Mode(), 1);
    EXPECT_EQ(c->Mode(), 2);
    EXPECT_EQ(tool->Mode(), 0);
    EXPECT_EQ(tool->Count(XOV_DATA), 0u);
    EXPECT_EQ(server_->ClientCount(kDevice), 3u);
    // The silent main's peer is this process, which is never fenced.
    EXPECT_TRUE(LogHas("cannot be fenced: it is this process"));
}

// Two real drivers (no panels) against the server with its default timing.
// The main is stopped with SIGSTOP: it is cut off and fenced (SIGKILL), the
// reserve is main as soon as the old main has ended and, at its next
// housekeeping tick, re-reads its mode and writes the driver status slot, as
// it does when it starts driving the panels.
TEST_F(InfodriverServerTest, liveness_stoppedDriverProcessIsFencedAndHandsMainToTheReserve) {
    const std::string program = test::BinPath("pellax-panel");
    if (program.empty() || access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "pellax-panel is not built";
    for (const char* sub : {"/sys", "/sys/config", "/sys/config/system", "/sys/logs"}) {
        ASSERT_EQ(mkdir((dir_.path() + sub).c_str(), 0700), 0) << sub;
    }
    test::WriteFile(dir_.path() + "/sys/config/system/DEV_007.ini", "[Pellax_Panel]\nDebugMode=1\nLogMode=0\n");
    StartServer();
    const test::SpawnedProcess::EnvChanges env = {{"QX_ROOT", dir_.path()},
                                                  {"QX_SYSTEM", "sys"},
                                                  {"VORN_INFODRIVER_DIR", dir_.file("sock")},
                                                  {"QT_QPA_PLATFORM", "offscreen"}};
    const std::string reserveLine = "driver running in  RXONLY  mode";
    test::SpawnedProcess first;
    test::SpawnedProcess second;
    ASSERT_TRUE(first.Start(program, {std::to_string(kDevice)}, env, dir_.path())) << first.error();
    ASSERT_TRUE(server_->WaitUntil([&] { return server_->DriverClients(kDevice).size() == 1; }, 10000ms));
    ASSERT_TRUE(second.Start(program, {std::to_string(kDevice)}, env, dir_.path())) << second.error();
    ASSERT_TRUE(server_->WaitUntil([&] { return second.Stderr().find(reserveLine) != std::string::npos; }, 10000ms))
        << second.Stderr();
    auto watcher = Connect();
    watcher->Call(XOV_GETMODE);
    watcher->DropBacklog();

    const auto stopped = Clock::now();
    first.Signal(SIGSTOP);
    auto driving = watcher->WaitFor(
        [](const InfoFrame& f) { return f.message == XOV_SLOTCHANGED && f.wParam == 4001 && f.text == "1"; },
        10000ms);
    ASSERT_TRUE(driving.has_value()) << second.Stderr();
    const auto drivingAfter = Clock::now() - stopped;
    std::optional<Clock::time_point> cut = LogTime("cut off:");
    std::optional<Clock::time_point> ended = LogTime(" ms after SIGKILL");
    std::optional<Clock::time_point> handed = LogTime("is main (TXRX): main client");
    ASSERT_TRUE(cut && ended && handed);
    EXPECT_TRUE(LogHas("(pid " + std::to_string(first.pid()) + ") fenced: SIGKILL sent"));
    EXPECT_TRUE(LogHas("(pid " + std::to_string(first.pid()) + ") has ended, "));
    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    std::printf("[ figures  ] stopped main cut off after %lld ms, gone after %lld ms, reserve main after %lld ms, "
                "reserve driving after %lld ms\n",
                static_cast<long long>(ms(*cut - stopped)), static_cast<long long>(ms(*ended - stopped)),
                static_cast<long long>(ms(*handed - stopped)), static_cast<long long>(ms(drivingAfter)));
    EXPECT_LT(*cut - stopped, 3500ms);
    EXPECT_LE(*ended, *handed) << "main handed over before the old one had ended";
    EXPECT_LT(*handed - *cut, 1000ms);
    EXPECT_LT(drivingAfter, 4500ms);
    auto modes = server_->DriverClients(kDevice);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].mode, 2);

    EXPECT_EQ(first.Wait(10000ms).value_or(-1), 128 + SIGKILL) << first.Stderr();
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(10000ms).value_or(-1), 0) << second.Stderr();
}

// A client that reads slowly, writes its last slot text and closes: the
// server cannot deliver the notifications still queued for it, but the
// frames it sent before closing are still carried out.
TEST_F(InfodriverServerTest, closingClientWithUndeliveredNotifications_stillHasItsLastWritesDone) {
    StartServer();
    auto writer = Connect();
    auto leaver = Connect();  // does not read until it leaves
    leaver->Call(XOV_GETMODE);
    std::string text(500, 'n');
    // More than its socket holds, less than the high-water mark: nothing waits.
    for (int i = 0; i < 800; ++i) writer->Send(XOV_SLOTWRITE, i % 300, 0, text);
    EXPECT_EQ(writer->Read(299), text);  // all of them handled: the leaver's queue is backed up
    leaver->Send(XOV_SLOTWRITE, 777, 0, "last words");
    leaver->Send(XOV_DEVCLOSE);
    leaver->Close();
    EXPECT_TRUE(server_->WaitUntil([&] { return server_->ClientCount(kDevice) == 1; }, 5000ms));
    EXPECT_EQ(server_->Slot(kDevice, 777), "last words");
    EXPECT_EQ(writer->Read(777), "last words");
}

TEST_F(InfodriverServerTest, stateFile_restartKeepsSlotsWithAnyBytes) {
    std::string state = dir_.file("slots.state");
    const std::string odd = std::string("a\\b\nc\r\x01 \xff end  ") + '\0' + "z";
    StartServer([&](InfodriverOptions& o) { o.stateFile = state; });
    {
        auto a = Connect();
        a->Send(XOV_SLOTWRITE, 1, 0, odd);
        a->Send(XOV_SLOTWRITENEG, 2, 0, " lead");
        a->Send(XOV_SLOTWRITE, 3, 0, "gone");
        a->Send(XOV_SLOTWRITE, 3, 0, "");
        EXPECT_EQ(a->Read(1), odd);
    }
    StopServer();
    EXPECT_FALSE(test::FileExists(state + ".tmp"));
    StartServer([&](InfodriverOptions& o) { o.stateFile = state; });
    EXPECT_EQ(server_->Slot(kDevice, 1), odd);
    EXPECT_EQ(server_->Slot(kDevice, 2), " lead");
    EXPECT_EQ(server_->Slot(kDevice, 3), "");
    auto a = Connect();
    EXPECT_EQ(a->Read(1), odd);
}

TEST_F(InfodriverServerTest, stateFile_damagedIsSetAsideAndReported) {
    std::string state = dir_.file("slots.state");
    const std::string cutOff = "vorn-infodriver-state 1\n7 1 one\n7 2 tw";  // no end line
    test::WriteFile(state, cutOff);
    StartServer([&](InfodriverOptions& o) { o.stateFile = state; });
    EXPECT_TRUE(LogHas("is damaged"));
    EXPECT_EQ(server_->Slot(kDevice, 1), "");
    std::string aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        if (entry.path().filename().string().rfind("slots.state.damaged-", 0) == 0) aside = entry.path();
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(test::ReadFile(aside), cutOff);
    EXPECT_FALSE(test::FileExists(state));
}

TEST_F(InfodriverServerTest, start_refusesALiveSocketAndReplacesAStaleOne) {
    StartServer();
    InfodriverOptions options;
    options.devices = {kDevice};
    options.socketDir = dir_.file("sock");
    options.log = [](const std::string&) {};
    InfodriverServer second(options);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_EQ(error, "device 7 already served");

    // A socket file nobody listens on any more.
    std::string stalePath = dir_.file("sock") + "/infodriver-8.sock";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, stalePath.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    options.devices = {8};
    InfodriverServer third(options);
    EXPECT_TRUE(third.Start(&error)) << error;
    third.RunInThread();
    RawClient client(stalePath);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.Call(XOV_DEVFIND, 0, 8).wParam, 1);
    third.Stop();
    EXPECT_TRUE(client.WaitMessage(XOV_INFODISCONNECTED).has_value());
    third.Join();
    EXPECT_FALSE(test::FileExists(stalePath));
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

// One random frame a misbehaving client might send: any message number the
// link knows (also ones only the Infodriver sends), replies to requests
// nobody made, mode changes, slot writes to slots below 5000, and now and
// then an unknown number, an impossible length or plain junk.
std::string RandomClientBytes(std::mt19937& rng) {
    static const uint32_t kMessages[] = {
        XOV_DEVFIND,      XOV_DEVATTACHED,   XOV_DEVQUERY,        XOV_DEVCLOSE,     XOV_SLOTWRITE,
        XOV_SLOTWRITE,    XOV_SLOTWRITENEG,  XOV_SLOTREAD,        XOV_SLOTREAD,     XOV_GETMODE,
        XOV_SETMODE,      XOV_SETMODE,       XOV_LISTCLIENTS,     XOV_SLOTCHANGED,  XOV_INFOWINDOW,
        XOV_REQDEVGORXONLY, XOV_REQDEVGOTXRX, XOV_INQDEVGOTXRX,   XOV_DATA,         XOV_INFODISCONNECTED};
    switch (rng() % 40) {
        case 0: {
            std::string junk(1 + rng() % 64, '\0');
            for (char& c : junk) c = static_cast<char>(rng() & 0xFF);
            return junk;
        }
        case 1: {
            uint32_t length = rng() % 2 == 0 ? rng() % kInfoFrameFixed : kInfoFrameMaxPayload + 1 + rng() % 1000;
            std::string bytes(4, '\0');
            for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
            return bytes;
        }
        case 2:
            return EncodeInfoFrame(InfoFrame{4000 + static_cast<uint32_t>(rng() % 100000), 0, 0, 0, 0, ""});
        default:
            break;
    }
    InfoFrame f;
    f.message = kMessages[rng() % (sizeof kMessages / sizeof kMessages[0])];
    f.id = rng() % 3 == 0 ? 0 : 1 + rng() % 100;
    f.flags = rng() % 6 == 0 ? kInfoFlagReply : 0;
    f.wParam = f.message == XOV_SETMODE ? static_cast<int32_t>(rng() % 8)
                                        : static_cast<int32_t>(rng() % 10000) - 5000;
    f.lParam = rng() % 2 == 0 ? kDevice : static_cast<int32_t>(rng());
    size_t length = rng() % 100 == 0 ? rng() % kInfoFrameMaxPayload : rng() % 200;
    f.text.resize(length);
    for (char& c : f.text) c = static_cast<char>(rng() & 0xFF);
    return EncodeInfoFrame(f);
}

// One misbehaving client after another until `until`: random frames, never
// or seldom reading, and then gone in one of several bad ways (mid-request,
// mid-frame, after junk) or politely.
void FuzzClients(const std::string& path, unsigned seed, Clock::time_point until, std::atomic<int>* sessions) {
    std::mt19937 rng(seed);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    while (Clock::now() < until) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A blocking connect waits for room in the backlog instead of spinning.
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            if (fd >= 0) close(fd);
            ADD_FAILURE() << "connect: " << std::strerror(errno);
            return;
        }
        ++*sessions;
        const bool reads = rng() % 2 == 0;
        const int frames = static_cast<int>(rng() % 60);
        for (int i = 0; i < frames; ++i) {
            std::string bytes = RandomClientBytes(rng);
            // Never blocks: a server that stops reading us ends this client.
            if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(bytes.size())) {
                break;
            }
            if (reads) {
                char buf[65536];
                (void)!recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            }
        }
        switch (rng() % 4) {
            case 0: {  // a request, then gone before the reply
                std::string r = EncodeInfoFrame(InfoFrame{XOV_SLOTREAD, 9, 0, 1, 0, ""});
                (void)!send(fd, r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                break;
            }
            case 1: {  // half a frame, then gone
                std::string r = EncodeInfoFrame(InfoFrame{XOV_SLOTWRITE, 0, 0, 2, 0, "cut off"});
                (void)!send(fd, r.data(), 1 + rng() % (r.size() - 1), MSG_NOSIGNAL | MSG_DONTWAIT);
                break;
            }
            case 2: {  // polite: stop writing and wait (bounded) for the server to close
                shutdown(fd, SHUT_WR);
                auto deadline = Clock::now() + 500ms;
                for (;;) {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                    pollfd p{fd, POLLIN, 0};
                    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
                    char buf[65536];
                    if (recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) break;
                }
                break;
            }
            default:
                break;  // simply gone
        }
        close(fd);
    }
}

// Several clients at once feed the server junk, bad lengths, unknown numbers,
// cut-off frames and mode games, and vanish at any point, while one
// well-behaved client writes and reads slots all along. That client is
// always served within the link's 2 s bound, the server's queues stay within
// their limit, and once the storm is over nothing is left of the bad
// clients: no connection, no driver role, no descriptor.
TEST_F(InfodriverServerTest, randomAndMalformedClients_leaveAWellBehavedClientServed) {
    constexpr size_t kBound = 256 * 1024;
    StartServer([&](InfodriverOptions& o) {
        o.queueHighWaterBytes = kBound;
        o.queueLowWaterBytes = kBound / 4;
        o.requestTimeoutMs = 200;
    });
    auto good = Connect();
    ASSERT_EQ(good->Mode(), 0);
    // Allowed to settle: the lazily created parts of the server exist now.
    const int descriptors = OpenDescriptors();

    constexpr int kFuzzers = 3;
    std::atomic<int> sessions{0};
    const auto until = Clock::now() + 1500ms;
    std::vector<std::thread> fuzzers;
    for (int i = 0; i < kFuzzers; ++i) {
        fuzzers.emplace_back(FuzzClients, server_->SocketPath(kDevice), 4242u + static_cast<unsigned>(i), until,
                             &sessions);
    }
    int rounds = 0;
    auto slowest = Clock::duration::zero();
    while (Clock::now() < until) {
        const int32_t slot = 900000 + rounds % 100;
        const std::string text = "good " + std::to_string(rounds);
        auto begin = Clock::now();
        good->Send(XOV_SLOTWRITE, slot, 0, text);
        ASSERT_EQ(good->Read(slot), text) << "round " << rounds;
        slowest = std::max(slowest, Clock::now() - begin);
        good->DropBacklog();  // the storm's slot changes
        ++rounds;
    }
    for (auto& t : fuzzers) t.join();

    EXPECT_GT(sessions.load(), kFuzzers);
    EXPECT_GT(rounds, 10);
    EXPECT_LT(slowest, 2000ms);
    EXPECT_TRUE(server_->WaitUntil([&] { return server_->ClientCount(kDevice) == 1; }, 5000ms))
        << server_->ClientCount(kDevice) << " clients left";
    EXPECT_TRUE(server_->DriverClients(kDevice).empty());
    EXPECT_LE(server_->PeakQueuedBytes(), kBound + kHoldSlack);
    EXPECT_TRUE(server_->WaitUntil([&] { return OpenDescriptors() == descriptors; }, 5000ms))
        << OpenDescriptors() << " descriptors open, " << descriptors << " before";
    // Still fully served, and still a plain client.
    good->Send(XOV_SLOTWRITE, 1, 0, "after");
    EXPECT_EQ(good->Read(1), "after");
    EXPECT_EQ(good->Mode(), 0);
    // The storm wrote only to its own slots.
    EXPECT_EQ(server_->Slot(kDevice, 900000), "good " + std::to_string((rounds - 1) / 100 * 100));
}

}  // namespace
}  // namespace vorn
