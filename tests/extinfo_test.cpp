// Infodriver client against a fake Infodriver: a thread that owns the
// device's listening Unix socket and speaks link frames, with switchable
// behaviours (silent, stuck, closing) and a per-frame hook.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_state.h"
#include "support/fake_infodriver.h"
#include "support/fake_seam.h"
#include "support/temp_dir.h"
#include "transport/extinfo.h"
#include "transport/info_frame.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kDevice = 5;

using test::FakeInfodriver;
using test::kInfoId;

struct Note {
    int status;
    int index;
    std::string text;
};
std::vector<Note> g_notes;
std::function<void(extinfo*, int, const char*)> g_onNotify;

void RecordNotify(extinfo* client, int index, const char* text) {
    g_notes.push_back(Note{client->iStatus, index, text});
    if (g_onNotify) g_onNotify(client, index, text);
}

class ExtinfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        SetSeam(&seam);
        Settings.DebugMode = 1;
        g_notes.clear();
        g_onNotify = nullptr;
        client.setnotify(RecordNotify);
        client.setcounters(&tx, &rx);
    }
    void TearDown() override {
        client.disconnect();
        g_onNotify = nullptr;
        SetSeam(nullptr);
    }
    // Starts the server and attaches the client.
    void Attach(FakeInfodriver::Hook hook = nullptr) {
        server.Start(std::move(hook));
        ASSERT_EQ(client.connect(kDevice, nullptr), 15);
    }
    // Every frame the client sent before this call has reached the server
    // once it returns (the server handles frames in order).
    void Sync() { ASSERT_NE(client.getmode(), 0); }
    // Sends a request to the client and pumps the client until it answers.
    int Request(uint32_t message) {
        uint32_t id = ++nextRequest;
        server.Send(InfoFrame{message, id, 0, 0, 0, ""});
        const InfoFrame* reply = nullptr;
        std::vector<InfoFrame> frames;
        seam.PumpUntil([&] {
            frames = server.Received();
            reply = server.FindReply(frames, id);
            return reply != nullptr;
        });
        EXPECT_NE(reply, nullptr) << "no reply to " << message;
        return reply != nullptr ? reply->wParam : -1;
    }

    // The socket directory must be set before the server below is made.
    struct SocketDir {
        explicit SocketDir(const test::TempDir& d) { setenv("VORN_INFODRIVER_DIR", d.path().c_str(), 1); }
    };
    test::TempDir dir;
    SocketDir socketDir{dir};
    test::FakeSeam seam;
    extinfo client{kInfoInterfaceVersion};
    FakeInfodriver server{kDevice};
    int tx = 0;
    int rx = 0;
    uint32_t nextRequest = 1000;
};

// --- attach ---------------------------------------------------------------

TEST_F(ExtinfoTest, connect_handshakeAttachesAndQueriesTheState) {
    Attach();
    ASSERT_TRUE(server.WaitFor([](const InfoFrame& f) { return f.message == XOV_DEVQUERY; }));
    auto frames = server.Received();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].message, XOV_DEVFIND);
    EXPECT_EQ(frames[0].lParam, kDevice);
    EXPECT_NE(frames[0].id, 0u);
    EXPECT_EQ(frames[1].message, XOV_DEVATTACHED);
    EXPECT_EQ(frames[1].id, 0u);  // one-way
    EXPECT_EQ(client.iDevice, kDevice);
    EXPECT_EQ(client.iStatus, 15);
    EXPECT_EQ(seam.WatchCount(), 1);
}

TEST_F(ExtinfoTest, connect_notificationsDuringTheHandshakeAreDeliveredAfterItAndDevStateSkipsTheQuery) {
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message != XOV_DEVFIND) return false;
        s.Send(InfoFrame{XOV_INFOWINDOW, 0, 0, kInfoId, 0, ""});
        s.Send(InfoFrame{XOV_DEVSTATE, 0, 0, 3, 0, ""});
        s.Send(InfoFrame{XOV_SLOTCHANGED, 0, 0, 351, 0, "label"});
        s.Reply(f, 1);
        return true;
    });
    EXPECT_TRUE(g_notes.empty());  // not inside connect: from the event loop
    ASSERT_TRUE(seam.PumpUntil([] { return !g_notes.empty(); }));
    EXPECT_EQ(g_notes[0].index, 351);
    EXPECT_EQ(g_notes[0].text, "label");
    EXPECT_EQ(client.devState, 3);
    Sync();
    EXPECT_EQ(server.Count(XOV_DEVQUERY), 0);
    EXPECT_EQ(server.Count(XOV_DEVATTACHED), 1);
}

TEST_F(ExtinfoTest, connect_failures) {
    EXPECT_EQ(client.connect(0, nullptr), 4);
    EXPECT_EQ(client.iStatus, 4);
    // No socket for device 9.
    EXPECT_EQ(client.connect(9, nullptr), 5);
    EXPECT_EQ(client.iStatus, 5);
    EXPECT_EQ(seam.WatchCount(), 0);
}

TEST_F(ExtinfoTest, connect_wrongDeviceOrNoInfoWindow_is5) {
    server.devfindResult = 0;
    server.Start();
    EXPECT_EQ(client.connect(kDevice, nullptr), 5);
    EXPECT_EQ(server.Count(XOV_DEVATTACHED), 0);
    EXPECT_TRUE(g_notes.empty());  // a failed attach is no disconnection
}

TEST_F(ExtinfoTest, connect_serverThatNeverAnswers_is5WithinTheBound) {
    server.answerDevfind = false;
    server.Start();
    auto start = Clock::now();
    EXPECT_EQ(client.connect(kDevice, nullptr), 5);
    auto took = Clock::now() - start;
    EXPECT_GE(took, 1500ms);
    EXPECT_LT(took, 4000ms);
    EXPECT_EQ(seam.WatchCount(), 0);
}

TEST_F(ExtinfoTest, constructor_wrongVersionShowsTheMessageBoxAndGoesOn) {
    extinfo other(108);
    ASSERT_EQ(seam.messageBoxes.size(), 1u);
    EXPECT_EQ(seam.messageBoxes[0].first, "Error");
    EXPECT_EQ(seam.messageBoxes[0].second, "Header doesn't match library");
    EXPECT_EQ(other.iStatus, 3);
    EXPECT_EQ(other.iMode, 2);
    EXPECT_EQ(std::string(InfoModeName(5)), "IFMODE_RXONLYBROKEN");
    EXPECT_EQ(std::string(InfoModeName(7)), "7");
    EXPECT_EQ(std::string(InfoModeName(8)), "");
}

// --- slots ----------------------------------------------------------------

TEST_F(ExtinfoTest, setslot_formatsLiterallyCutsAndCounts) {
    Attach();
    client.setslot(307, "%s", "50%d %s off");
    client.setslot(-12, "%d", 1);
    client.setslot(308, "%s", std::string(600, 'x').c_str());
    Sync();
    EXPECT_EQ(tx, 3);
    EXPECT_EQ(server.Slot(307), "50%d %s off");
    std::vector<InfoFrame> writes;
    for (const auto& f : server.Received()) {
        if (f.message == XOV_SLOTWRITE || f.message == XOV_SLOTWRITENEG) writes.push_back(f);
    }
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].message, XOV_SLOTWRITENEG);
    EXPECT_EQ(writes[1].wParam, 12);
    EXPECT_EQ(writes[1].text, "1");
    EXPECT_EQ(writes[2].text.size(), 511u);
}

TEST_F(ExtinfoTest, updateslot_writesOnlyAChangedTextOnce) {
    server.SetSlot(51, "Label");
    Attach();
    EXPECT_FALSE(client.updateslot(51, "%s", "Label"));
    EXPECT_TRUE(client.updateslot(51, "%s", "label"));  // case counts
    EXPECT_FALSE(client.updateslot(51, "%s", "label"));
    // Negative slot: read with the plain read of |slot|, written with 2731.
    server.SetSlot(40, "7");
    EXPECT_FALSE(client.updateslot(-40, "%d", 7));
    EXPECT_TRUE(client.updateslot(-40, "%d", 8));
    Sync();
    EXPECT_EQ(tx, 2);
    EXPECT_EQ(server.Count(XOV_SLOTWRITE), 1);
    EXPECT_EQ(server.Count(XOV_SLOTWRITENEG), 1);
    for (const auto& f : server.Received()) {
        if (f.message == XOV_SLOTREAD && !f.IsReply()) {
            EXPECT_GT(f.wParam, 0);
        }
    }
    EXPECT_EQ(server.Slot(40), "8");
}

TEST_F(ExtinfoTest, getslot_cutsAt255AndARefusedReadIsEmptyAndCountsAsChanged) {
    server.SetSlot(3, std::string(300, 'a'));
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message != XOV_SLOTREAD || f.wParam != 9) return false;
        s.Reply(f, 0, "junk");  // refused
        return true;
    });
    char buffer[256];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(client.getslot(3, buffer), 1);
    EXPECT_EQ(std::string(buffer), std::string(255, 'a'));
    EXPECT_EQ(client.getslot(9, buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(client.updateslot(9, "%s", ""));  // failed read: written even though ""
}

// --- modes ----------------------------------------------------------------

TEST_F(ExtinfoTest, setmode_sendsOnlyModesTheInfodriverTakes) {
    Attach();
    for (int m : {1, 2, 3, 5}) client.setmode(m);
    Sync();
    EXPECT_EQ(server.Count(XOV_SETMODE), 4);
    EXPECT_EQ(client.getmode(), 5);
    int getmodes = server.Count(XOV_GETMODE);
    for (int m : {4, 6, 7, 0, 42}) {
        client.setmode(m);
        EXPECT_EQ(client.iMode, m);
    }
    EXPECT_EQ(server.Count(XOV_SETMODE), 4);
    EXPECT_EQ(server.Count(XOV_GETMODE), getmodes + 5);
    EXPECT_EQ(client.getmode(), 5);  // unchanged
}

TEST_F(ExtinfoTest, modeRequests_followTheDecisionTable) {
    Attach();
    struct Row {
        int mode;
        int reply[3];             // go RX only, go TXRX, inquiry
        int status[3];            // -1: no notification
        const char* text[3];
    };
    const char* kRxAcc = "XOV_REQDEVGORXONLY Device=5 Mode=%s ~ Accepting request to go RX Only";
    const char* kRxDen = "XOV_REQDEVGORXONLY Device=5 Mode=%s ~ Denying request to go RX Only";
    const char* kTxAcc = "XOV_REQDEVGOTXRX Device=5 Mode=%s ~ Accepting request to go TXRX";
    const char* kInqDen = "XOV_INQDEVGOTXRX Device=5 Mode=%s ~ Denying inquiry to go TXRX";
    const char* kInqAcc = "XOV_INQDEVGOTXRX Device=5 Mode=%s ~ Accepting inquiry to go TXRX";
    const Row rows[] = {
        {0, {1, 0, 0}, {7, -1, 8}, {kRxAcc, "", kInqDen}},
        {1, {1, 1, 0}, {7, 6, 8}, {kRxAcc, kTxAcc, kInqDen}},
        {5, {1, 1, 0}, {7, 6, 8}, {kRxAcc, kTxAcc, kInqDen}},
        {2, {0, 1, 1}, {6, 6, 8}, {kRxDen, kTxAcc, kInqAcc}},
        {3, {0, 1, 1}, {6, 6, 8}, {kRxDen, kTxAcc, kInqAcc}},
        {4, {0, 1, 1}, {6, 6, 8}, {kRxDen, kTxAcc, kInqAcc}},
        {6, {1, 1, 1}, {7, 6, -1}, {"Accepting request to go RX Only", "Accepting request to go TXRX", ""}},
        {7, {1, 1, 1}, {7, 6, -1}, {"Accepting request to go RX Only", "Accepting request to go TXRX", ""}},
        {8, {1, 0, 0}, {-1, -1, -1}, {"", "", ""}},
        {-1, {1, 0, 0}, {-1, -1, -1}, {"", "", ""}},
    };
    const uint32_t requests[3] = {XOV_REQDEVGORXONLY, XOV_REQDEVGOTXRX, XOV_INQDEVGOTXRX};
    for (const Row& row : rows) {
        for (int r = 0; r < 3; ++r) {
            SCOPED_TRACE("mode " + std::to_string(row.mode) + " request " + std::to_string(requests[r]));
            client.iMode = row.mode;
            client.iStatus = 99;
            g_notes.clear();
            EXPECT_EQ(Request(requests[r]), row.reply[r]);
            EXPECT_EQ(client.iMode, row.mode);
            if (row.status[r] < 0) {
                EXPECT_TRUE(g_notes.empty());
                EXPECT_EQ(client.iStatus, 99);
                continue;
            }
            char expected[200];
            std::snprintf(expected, sizeof expected, row.text[r], InfoModeName(row.mode));
            ASSERT_EQ(g_notes.size(), 1u);
            EXPECT_EQ(g_notes[0].status, row.status[r]);
            EXPECT_EQ(g_notes[0].index, 0);
            EXPECT_EQ(g_notes[0].text, expected);
        }
    }
}

// --- notifications --------------------------------------------------------

TEST_F(ExtinfoTest, notifications_whileIdle) {
    Attach();
    server.Send(InfoFrame{XOV_SLOTCHANGED, 0, 0, 351, 0, "Hello"});
    server.Send(InfoFrame{XOV_DEVICEIDINUSE, 0, 0, 0x00010005, 0, ""});
    server.Send(InfoFrame{XOV_INFOTEXT, 0, 0, 0, 0, std::string(400, 't')});
    server.Send(InfoFrame{XOV_DATA, 0, 0, 1, 2, "ignored"});
    server.Send(InfoFrame{XOV_DEVSTATE, 0, 0, 4, 0, ""});
    ASSERT_TRUE(seam.PumpUntil([&] { return client.devState == 4; }));
    ASSERT_EQ(g_notes.size(), 2u);
    EXPECT_EQ(g_notes[0].status, 15);
    EXPECT_EQ(g_notes[0].index, 351);
    EXPECT_EQ(g_notes[0].text, "Hello");
    EXPECT_EQ(rx, 1);
    EXPECT_EQ(g_notes[1].status, 2190);
    EXPECT_EQ(g_notes[1].index, 5);
    EXPECT_EQ(g_notes[1].text, "Device ID in use");
    EXPECT_EQ(std::string(client.infoText), std::string(299, 't'));
}

TEST_F(ExtinfoTest, slotChangeDuringGetslot_isHandledAfterItReturns) {
    server.SetSlot(10, "ten");
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message != XOV_SLOTREAD || f.wParam != 10) return false;
        s.Send(InfoFrame{XOV_SLOTCHANGED, 0, 0, 11, 0, "changed"});
        s.Reply(f, 1, "ten");
        return true;
    });
    char buffer[256];
    client.getslot(10, buffer);
    EXPECT_STREQ(buffer, "ten");
    EXPECT_TRUE(g_notes.empty());  // no handler inside the call
    ASSERT_TRUE(seam.PumpUntil([] { return g_notes.size() == 1; }));
    EXPECT_EQ(g_notes[0].text, "changed");
}

// A handler may call the client; every call takes its own reply, matched by
// id, also when a stray reply comes first.
TEST_F(ExtinfoTest, handlerMayReadSlots_repliesMatchedById) {
    server.SetSlot(12, "twelve");
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message != XOV_SLOTREAD || f.wParam != 10) return false;
        s.Send(InfoFrame{XOV_SLOTCHANGED, 0, 0, 11, 0, "x"});
        s.Send(InfoFrame{XOV_SLOTREAD, f.id + 1000, kInfoFlagReply, 1, 0, "stray"});
        s.Reply(f, 1, "ten");
        return true;
    });
    std::string inner;
    g_onNotify = [&](extinfo* c, int, const char*) {
        char b[256];
        c->getslot(12, b);
        inner = b;
    };
    char buffer[256];
    client.getslot(10, buffer);
    EXPECT_STREQ(buffer, "ten");
    EXPECT_EQ(inner, "");
    ASSERT_TRUE(seam.PumpUntil([&] { return !inner.empty(); }));
    EXPECT_EQ(inner, "twelve");
}

// A flood that arrives during a call is queued and handed on afterwards, in
// order, each handler making a call of its own.
TEST_F(ExtinfoTest, floodDuringACall_everyChangeIsDeliveredInOrderAndHandlersMayCall) {
    constexpr int kFlood = 2000;
    server.SetSlot(1, "one");
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message != XOV_SLOTREAD || f.wParam != 1) return false;
        std::string burst;
        for (int i = 0; i < kFlood; ++i) burst += EncodeInfoFrame(InfoFrame{XOV_SLOTCHANGED, 0, 0, 100 + i, 0, "v"});
        s.SendRaw(burst);
        s.Reply(f, 1, "one");
        return true;
    });
    int nested = 0;
    g_onNotify = [&](extinfo* c, int index, const char*) {
        char b[256];
        c->getslot(index, b);  // every handler reads back
        ++nested;
    };
    char buffer[256];
    client.getslot(1, buffer);
    EXPECT_STREQ(buffer, "one");
    ASSERT_TRUE(seam.PumpUntil([&] { return static_cast<int>(g_notes.size()) == kFlood; }, 10000ms));
    EXPECT_EQ(rx, kFlood);
    for (int i = 0; i < kFlood; ++i) ASSERT_EQ(g_notes[i].index, 100 + i);  // in order
    EXPECT_EQ(nested, kFlood);
}

// --- failures -------------------------------------------------------------

TEST_F(ExtinfoTest, silentInfodriver_callsFailWithinTheBoundAndAreLoggedOnce) {
    server.SetSlot(1, "one");
    Attach();
    server.answerRequests = false;
    char buffer[256];
    std::strcpy(buffer, "stale");
    auto start = Clock::now();
    client.getslot(1, buffer);
    auto took = Clock::now() - start;
    EXPECT_STREQ(buffer, "");
    EXPECT_GE(took, 1500ms);
    EXPECT_LT(took, 4000ms);
    // Known stuck: further calls fail without waiting the full bound again,
    // so a run of reads cannot freeze the GUI thread.
    start = Clock::now();
    EXPECT_EQ(client.getmode(), 0);
    for (int i = 0; i < 20; ++i) client.getslot(1, buffer);
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_EQ(seam.CountDebugLines("extinfo - no reply from infodriver 5 "), 1);
    EXPECT_TRUE(g_notes.empty());  // slow is not disconnected
    // Answers again: the late replies are dropped, new calls get their own.
    server.answerRequests = true;
    server.ReplyLate();
    EXPECT_EQ(client.getslot(1, buffer), 1);
    EXPECT_STREQ(buffer, "one");
}

TEST_F(ExtinfoTest, infodriverCloses_disconnectionReportedOnce) {
    Attach();
    server.Send(InfoFrame{XOV_SLOTCHANGED, 0, 0, 1, 0, "last"});
    server.Send(InfoFrame{XOV_INFODISCONNECTED, 0, 0, 0, 0, ""});
    server.CloseClient();
    ASSERT_TRUE(seam.PumpUntil([&] { return seam.WatchCount() == 0; }));
    seam.Pump(50ms);
    ASSERT_EQ(g_notes.size(), 2u);
    EXPECT_EQ(g_notes[0].text, "last");  // frames before the close come first
    EXPECT_EQ(g_notes[1].status, 3);
    EXPECT_EQ(g_notes[1].index, 0);
    EXPECT_EQ(g_notes[1].text, "Infodriver has disconnected");
    // Calls after the loss fail at once.
    char buffer[256] = "x";
    EXPECT_EQ(client.getslot(1, buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(client.getmode(), 0);
}

// The Infodriver's last frames are handled even when the client learns of
// the close from a failed write rather than from a read.
TEST_F(ExtinfoTest, infodriverClosesWhileTheClientWrites_itsLastFramesStillArrive) {
    Attach();
    Sync();
    server.Send(InfoFrame{XOV_SLOTCHANGED, 0, 0, 9, 0, "last"});
    server.CloseClient();
    client.setslot(1, "into the void");  // no pump before: the write finds the link closed
    ASSERT_TRUE(seam.PumpUntil([&] { return g_notes.size() >= 2; }));
    seam.Pump(50ms);
    ASSERT_EQ(g_notes.size(), 2u);
    EXPECT_EQ(g_notes[0].status, 15);
    EXPECT_EQ(g_notes[0].text, "last");
    EXPECT_EQ(g_notes[1].status, 3);
}

TEST_F(ExtinfoTest, protocolErrorOrPlainClose_isADisconnection) {
    Attach();
    server.SendRaw(std::string("\xff\xff\xff\x7f", 4));  // impossible length
    ASSERT_TRUE(seam.PumpUntil([&] { return !g_notes.empty(); }));
    EXPECT_EQ(g_notes[0].status, 3);
    EXPECT_EQ(seam.WatchCount(), 0);
    seam.Pump(50ms);
    EXPECT_EQ(g_notes.size(), 1u);
}

TEST_F(ExtinfoTest, closeWhileWaiting_failsTheCallAndReportsOnce) {
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message != XOV_GETMODE) return false;
        s.CloseClient();
        return true;
    });
    auto start = Clock::now();
    EXPECT_EQ(client.getmode(), 0);
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_TRUE(g_notes.empty());  // reported from the event loop
    ASSERT_TRUE(seam.PumpUntil([] { return !g_notes.empty(); }));
    seam.Pump(50ms);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].status, 3);
}

TEST_F(ExtinfoTest, infodriverThatReadsNothing_dropsTheLinkInsteadOfHanging) {
    // The handshake needs reading; stop reading only after it.
    Attach([](FakeInfodriver& s, const InfoFrame& f) {
        if (f.message == XOV_DEVQUERY) s.readFrames = false;
        return false;
    });
    auto start = Clock::now();
    std::string big(500, 'w');
    // The bound (5 s) is longer than the reference Infodriver's 3 s cut-off
    // of a client that drains nothing, so a hung peer goes first.
    const std::string dropped = "extinfo - infodriver 5 takes no data for 5000 ms - link dropped ";
    for (int i = 0; i < 100000 && !seam.HasDebugLine(dropped); ++i) client.setslot(1, "%s", big.c_str());
    EXPECT_LT(Clock::now() - start, 12000ms);  // at most two bounds: the write, then the end
    ASSERT_TRUE(seam.HasDebugLine(dropped));
    // The loss is reported from the event loop, once.
    ASSERT_TRUE(seam.PumpUntil([&] { return !g_notes.empty(); }));
    seam.Pump(50ms);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].status, 3);
}

TEST_F(ExtinfoTest, disconnect_announcesTheDetach) {
    Attach();
    client.disconnect();
    EXPECT_EQ(seam.WatchCount(), 0);
    ASSERT_TRUE(server.WaitFor([](const InfoFrame& f) { return f.message == XOV_DEVCLOSE; }));
    for (const auto& f : server.Received()) {
        if (f.message == XOV_DEVCLOSE) {
            EXPECT_EQ(f.lParam, kDevice);
        }
    }
    EXPECT_TRUE(g_notes.empty());
}

// --- random input -----------------------------------------------------------

// One random frame as an Infodriver could send it, well-formed or not in
// meaning: any message the client knows (also ones only clients send), random
// ids, reply flags, parameters and texts up to the frame limit.
std::string RandomInfodriverFrame(std::mt19937& rng) {
    static const uint32_t kMessages[] = {
        XOV_SLOTCHANGED, XOV_SLOTCHANGED, XOV_SLOTCHANGED, XOV_INFOTEXT,     XOV_DEVSTATE,
        XOV_DATA,        XOV_DEVICEIDINUSE, XOV_REQDEVGORXONLY, XOV_REQDEVGOTXRX, XOV_INQDEVGOTXRX,
        XOV_INFOWINDOW,  XOV_SLOTREAD,    XOV_GETMODE,     XOV_SLOTWRITE,    XOV_DEVFIND,
        XOV_LISTCLIENTS};
    InfoFrame f;
    f.message = kMessages[rng() % (sizeof kMessages / sizeof kMessages[0])];
    if (rng() % 300 == 0) f.message = XOV_INFODISCONNECTED;
    f.id = rng() % 3 == 0 ? 0 : rng() % 64;
    f.flags = rng() % 4 == 0 ? kInfoFlagReply : (rng() % 16 == 0 ? static_cast<uint32_t>(rng()) : 0);
    f.wParam = static_cast<int32_t>(rng() % 2 == 0 ? rng() % 700 : rng());
    f.lParam = static_cast<int32_t>(rng());
    size_t length = rng() % 50 == 0 ? rng() % kInfoFrameMaxPayload : rng() % 400;
    f.text.resize(length);
    for (char& c : f.text) c = static_cast<char>(rng() & 0xFF);
    return EncodeInfoFrame(f);
}

// How a random run ends: junk, a bad frame, a frame cut off, or a plain close.
std::string RandomEnding(std::mt19937& rng) {
    switch (rng() % 5) {
        case 0: {
            std::string junk(1 + rng() % 200, '\0');
            for (char& c : junk) c = static_cast<char>(rng() & 0xFF);
            return junk;
        }
        case 1:
            return EncodeInfoFrame(InfoFrame{5000 + static_cast<uint32_t>(rng() % 1000), 0, 0, 0, 0, ""});
        case 2:
            return std::string("\x03\x00\x00\x00", 4);  // shorter than the fixed part
        case 3:
            return EncodeInfoFrame(InfoFrame{XOV_SLOTCHANGED, 0, 0, 1, 0, std::string(300, 'c')}).substr(0, 40);
        default:
            return "";
    }
}

// A fake Infodriver pours random frames into an attached client while the
// client keeps calling (also from inside its notifications), then ends the
// link in some bad way. The client never crashes or hangs, answers what it
// is asked, and reports the disconnection exactly once per link.
TEST_F(ExtinfoTest, randomFramesFromTheInfodriver_neverCrash_andTheLossIsReportedOnce) {
    const auto start = Clock::now();
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int device = 20 + round;
        std::mt19937 rng(1000 + round);
        FakeInfodriver fake(device);
        fake.Start();
        g_notes.clear();
        ASSERT_EQ(client.connect(device, nullptr), 15);

        std::atomic<bool> sent{false};
        std::thread sender([&fake, &sent, seed = rng()] {
            std::mt19937 local(seed);
            for (int i = 0; i < 400; ++i) fake.SendRaw(RandomInfodriverFrame(local));
            fake.SendRaw(RandomEnding(local));
            fake.CloseClient();
            sent = true;
        });
        int nested = 0;
        g_onNotify = [&](extinfo* c, int index, const char*) {
            if (nested < 100 && rng() % 8 == 0) {
                ++nested;
                char b[256];
                c->getslot(index, b);
                c->setslot(index, "echo %d", index);
            }
        };
        auto disconnects = [] {
            int n = 0;
            for (const Note& note : g_notes) n += note.status == kInfoDisconnected;
            return n;
        };
        bool ended = seam.PumpUntil(
            [&] {
                char b[256];
                switch (rng() % 4) {
                    case 0: client.getslot(static_cast<int>(rng() % 50), b); break;
                    case 1: (void)client.getmode(); break;
                    case 2: client.updateslot(static_cast<int>(rng() % 50), "u%u", static_cast<unsigned>(rng() % 3)); break;
                    default: client.iMode = static_cast<int>(rng() % 9); break;
                }
                return sent && disconnects() > 0;
            },
            10000ms);
        sender.join();
        g_onNotify = nullptr;
        ASSERT_TRUE(ended);
        seam.Pump(50ms);
        EXPECT_EQ(disconnects(), 1);
        EXPECT_EQ(seam.WatchCount(), 0);
        // Calls on the lost link fail at once.
        char b[256] = "x";
        EXPECT_EQ(client.getslot(1, b), 0);
        EXPECT_STREQ(b, "");
        client.disconnect();
    }
    EXPECT_LT(Clock::now() - start, 20s);
}

}  // namespace
}  // namespace vorn
