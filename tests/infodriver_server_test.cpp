// The Infodriver server in-process on its own thread, driven by raw link
// clients over real Unix sockets: slots, notifications, mode arbitration,
// protocol faults, slow readers and the state file.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "infodriver_server.h"
#include "support/temp_dir.h"
#include "transport/info_frame.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr int kDevice = 7;

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
            while (reader_.Next(f) == InfoFrameReader::Result::kFrame) backlog_.push_back(f);
            if (std::any_of(backlog_.begin(), backlog_.end(), match)) continue;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
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
    bool WaitLog(const std::string& part) {
        return server_->WaitUntil([&] { return LogHas(part); }, 5000ms);
    }

    test::TempDir dir_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
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

TEST_F(InfodriverServerTest, slowReader_isDroppedAtTheQueueBoundWithoutDisturbingOthers) {
    constexpr size_t kBound = 256 * 1024;
    StartServer([&](InfodriverOptions& o) { o.maxQueuedBytes = kBound; });
    auto writer = Connect();
    auto sleeper = Connect();  // never reads
    sleeper->Call(XOV_GETMODE);
    std::string text(500, 'q');
    for (int i = 0; i < 10000; ++i) writer->Send(XOV_SLOTWRITE, i % 300, 0, text);
    EXPECT_EQ(writer->Read(299), text);
    EXPECT_TRUE(server_->WaitUntil([&] { return server_->ClientCount(kDevice) == 1; }, 5000ms));
    EXPECT_TRUE(LogHas("does not keep up"));
    EXPECT_LE(server_->PeakQueuedBytes(), kBound);
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

}  // namespace
}  // namespace vorn
