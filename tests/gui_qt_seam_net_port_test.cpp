// The production seam carries a real TCP port's events: a refused connect, a
// made connect, data and the peer's close all reach the callback through the
// Qt event loop (QSocketNotifier), not only through the test seam.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <cerrno>
#include <vector>

#include "app/gui/qt_seam.h"
#include "support/loopback_listener.h"
#include "support/qt_app.h"
#include "transport/net_port.h"

namespace vorn {
namespace {

struct Event {
    int event;
    int error;
};
std::vector<Event> g_events;

void Record(NetPort* port) { g_events.push_back({port->event, port->error}); }

class QtSeamNetPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_events.clear();
        SetSeam(&seam);
    }
    void TearDown() override { SetSeam(nullptr); }
    QtSeam seam;
};

TEST_F(QtSeamNetPortTest, refusedConnect_isReportedOnceThroughTheEventLoop) {
    const int portNumber = test::FreeLoopbackPort();  // nobody listens: the kernel refuses connects
    NetPort port;
    ASSERT_EQ(port.Connect("127.0.0.1", portNumber), 0);
    port.SetNotify(Record, NetPort::kFdRead);
    ASSERT_TRUE(QTest::qWaitFor([] { return !g_events.empty(); }, 5000));
    EXPECT_EQ(g_events[0].event, NetPort::kFdConnect);
    EXPECT_EQ(g_events[0].error, ECONNREFUSED);
    QTest::qWait(100);
    EXPECT_EQ(g_events.size(), 1u);
    EXPECT_EQ(seam.WatchCount(), 0);
}

TEST_F(QtSeamNetPortTest, connectDataAndPeerClose_arriveInOrder) {
    test::LoopbackListener server;
    NetPort port;
    ASSERT_EQ(port.Connect("127.0.0.1", server.port()), 0);
    port.SetNotify(Record, NetPort::kFdRead);
    int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(QTest::qWaitFor([] { return !g_events.empty(); }, 5000));
    EXPECT_EQ(g_events[0].event, NetPort::kFdConnect);
    EXPECT_EQ(g_events[0].error, 0);

    const unsigned char press[] = {131, 1, 1, 7};
    ASSERT_EQ(write(peer, press, sizeof press), 4);
    ASSERT_TRUE(QTest::qWaitFor([] { return g_events.size() >= 2; }, 5000));
    EXPECT_EQ(g_events[1].event, NetPort::kFdRead);
    unsigned char buffer[64];
    EXPECT_EQ(port.Receive(buffer, sizeof buffer), 4);

    close(peer);
    ASSERT_TRUE(QTest::qWaitFor([] { return g_events.size() >= 3; }, 5000));
    EXPECT_EQ(g_events[2].event, NetPort::kFdClose);
    QTest::qWait(100);
    EXPECT_EQ(g_events.size(), 3u);
    EXPECT_EQ(seam.WatchCount(), 0);
}

}  // namespace
}  // namespace vorn
