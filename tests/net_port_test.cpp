// TCP client port against real loopback sockets: connect, refuse, read,
// close and reconnect events through the recording seam's watches, name
// resolution, dead-link options and descriptor hygiene.

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "support/fake_seam.h"
#include "support/wait_until.h"
#include "transport/host_resolver.h"
#include "transport/net_port.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

// Events seen by the callback, with the host text at that moment.
struct Seen {
    int event;
    int error;
    std::string host;
};
std::vector<Seen> g_seen;
// Bytes returned by each Receive made from RecordAndRead.
std::vector<int> g_reads;

void Record(NetPort* p) { g_seen.push_back({p->event, p->error, p->host}); }

// The driver's pattern: read 64 bytes on every read event.
void RecordAndRead(NetPort* p) {
    Record(p);
    if (p->event == NetPort::kFdRead) {
        char buf[64];
        g_reads.push_back(p->Receive(buf, sizeof buf));
    }
}

int OpenFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class Server {
public:
    explicit Server(bool listening = true) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            (listening && listen(fd_, 4) != 0) ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ADD_FAILURE() << "server setup: " << strerror(errno);
        }
        port_ = ntohs(a.sin_port);
    }
    ~Server() {
        for (int c : peers_) close(c);
        close(fd_);
    }
    int port() const { return port_; }

    // Accepted descriptor, or -1 when nobody connects within the deadline.
    int Accept(std::chrono::milliseconds deadline = 5000ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline.count())) != 1) return -1;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) peers_.push_back(c);
        return c;
    }
    void ClosePeer(int c) {
        std::erase(peers_, c);
        close(c);
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> peers_;
};

class NetPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSeam(&seam);
        g_seen.clear();
        g_reads.clear();
        fdsBefore = OpenFdCount();
    }
    void TearDown() override {
        EXPECT_EQ(seam.WatchCount(), 0);
        EXPECT_EQ(OpenFdCount(), fdsBefore) << "descriptor leak";
    }

    // Connects `port` to the server and waits for its connect event.
    int ConnectAndAccept(NetPort& port, Server& server, NetPort::Callback cb = &RecordAndRead) {
        EXPECT_EQ(port.Connect("127.0.0.1", server.port()), 0);
        EXPECT_EQ(port.SetNotify(cb, NetPort::kFdRead), 1);
        int peer = server.Accept();
        EXPECT_GE(peer, 0);
        EXPECT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
        EXPECT_EQ(g_seen.size(), 1u);
        if (!g_seen.empty()) {
            EXPECT_EQ(g_seen[0].event, NetPort::kFdConnect);
            EXPECT_EQ(g_seen[0].error, 0);
        }
        g_seen.clear();
        return peer;
    }
    // Pumps for a while and expects no further event (absence cannot be
    // waited for by a condition).
    void ExpectQuiet(std::chrono::milliseconds span = 200ms) {
        size_t before = g_seen.size();
        seam.PumpUntil([before] { return g_seen.size() != before; }, span);
        EXPECT_EQ(g_seen.size(), before) << "unexpected event " << g_seen.back().event;
    }

    test::FakeSeam seam;
    int fdsBefore = 0;
};

TEST_F(NetPortTest, PeerCloseIsReportedOnceAndEndsTheConnection) {
    Server server;
    NetPort port;
    int peer = ConnectAndAccept(port, server);
    EXPECT_EQ(port.eventMask, 49);
    EXPECT_EQ(port.Send("abc", 3), 3);
    char buf[3];
    ASSERT_EQ(recv(peer, buf, 3, MSG_WAITALL), 3);

    server.ClosePeer(peer);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);
    EXPECT_EQ(g_seen[0].error, 0);
    EXPECT_EQ(port.sock, NetPort::kNoSocket);
    EXPECT_EQ(seam.WatchCount(), 0);
    port.Close();  // already reported
    ExpectQuiet();
    EXPECT_EQ(port.Send("x", 1), -1);
}

TEST_F(NetPortTest, PeerResetIsACloseEventWithItsError) {
    Server server;
    NetPort port;
    int peer = ConnectAndAccept(port, server);
    linger hard{1, 0};  // close() sends a reset
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    server.ClosePeer(peer);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);
    EXPECT_EQ(g_seen[0].error, ECONNRESET);
    port.Close();  // an error was reported: nothing more
    ExpectQuiet();
}

TEST_F(NetPortTest, RefusedConnectIsReportedOnceThenNothing) {
    Server bound(/*listening=*/false);  // bound, not listening: refuses
    NetPort port;
    ASSERT_EQ(port.Connect("127.0.0.1", bound.port()), 0);
    port.SetNotify(&Record, NetPort::kFdRead);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdConnect);
    EXPECT_EQ(g_seen[0].error, ECONNREFUSED);
    EXPECT_EQ(port.sock, NetPort::kNoSocket);
    EXPECT_EQ(seam.WatchCount(), 0);
    port.Close();
    ExpectQuiet();
}

TEST_F(NetPortTest, ConnectErrorsKnownAtOnceArriveAsConnectEvents) {
    Server server;
    NetPort port;
    EXPECT_EQ(port.SetNotify(&Record, 0), 0);  // no socket yet
    port.callback = &Record;
    for (int bad : {-1, 65536}) {
        g_seen.clear();
        ASSERT_EQ(port.Connect("127.0.0.1", bad), 0);
        ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
        EXPECT_EQ(g_seen[0].event, NetPort::kFdConnect);
        EXPECT_EQ(g_seen[0].error, EINVAL);
    }
    // The limited broadcast address fails inside connect() itself.
    g_seen.clear();
    ASSERT_EQ(port.Connect("255.255.255.255", server.port()), 0);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdConnect);
    EXPECT_NE(g_seen[0].error, 0);
    ExpectQuiet(100ms);
}

TEST_F(NetPortTest, OwnerCloseAndReconnectReportTheCloseSynchronously) {
    Server server;
    NetPort port;
    ConnectAndAccept(port, server);
    // Connect on a connected port: the old connection's close comes first,
    // inside the call, with the new host text already in place.
    // The name is looked up off the loop; the connect follows its answer.
    ASSERT_EQ(port.Connect("localhost", server.port()), 0);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);
    EXPECT_EQ(g_seen[0].error, 0);
    EXPECT_EQ(g_seen[0].host, "localhost");
    ASSERT_TRUE(seam.PumpUntil([&] { return port.address.sin_addr.s_addr != 0; }));
    EXPECT_EQ(port.address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    ASSERT_GE(server.Accept(), 0);
    ASSERT_TRUE(seam.PumpUntil([] { return g_seen.size() == 2; }));
    EXPECT_EQ(g_seen[1].event, NetPort::kFdConnect);
    EXPECT_EQ(g_seen[1].error, 0);

    port.Close();  // reported inside Close, once
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[2].event, NetPort::kFdClose);
    EXPECT_EQ(seam.WatchCount(), 0);
    port.Close();
    ExpectQuiet();
}

// A lookup dropped by Close, or by the port going away, never calls back;
// its thread ends by itself.
TEST_F(NetPortTest, NameLookupDroppedByCloseOrDestructionNeverCallsBack) {
    Server server;
    {
        NetPort gone;
        gone.callback = &Record;
        ASSERT_EQ(gone.Connect("localhost", server.port()), 0);
    }
    g_seen.clear();  // the destructor's close
    NetPort port;
    port.callback = &Record;
    ASSERT_EQ(port.Connect("localhost", server.port()), 0);
    port.Close();
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);
    ASSERT_TRUE(test::WaitUntil([] { return HostResolver::RunningThreads() == 0; }, 5000ms));
    seam.Pump(50ms);
    EXPECT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(server.Accept(100ms), -1);
}

TEST_F(NetPortTest, WaitingDataGivesReadEventsUntilDrained) {
    Server server;
    NetPort port;
    int peer = ConnectAndAccept(port, server);
    std::string data(200, 'x');
    ASSERT_EQ(send(peer, data.data(), data.size(), 0), 200);
    ASSERT_TRUE(seam.PumpUntil([] {
        int sum = 0;
        for (int n : g_reads) sum += n;
        return sum >= 200;
    }));
    EXPECT_EQ(g_reads, (std::vector<int>{64, 64, 64, 8}));
    for (const Seen& s : g_seen) EXPECT_EQ(s.event, NetPort::kFdRead);
    g_seen.clear();
    ExpectQuiet();
    port.Close();
}

TEST_F(NetPortTest, ReadEventsOnlyAfterSetNotifyAndOnlyAfterReading) {
    Server server;
    NetPort port;
    port.callback = &Record;  // owner that does not read
    ASSERT_EQ(port.Connect("127.0.0.1", server.port()), 0);
    int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(send(peer, "hello", 5, 0), 5);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdConnect);
    g_seen.clear();
    ExpectQuiet();  // mask 48: data waits unreported

    ASSERT_EQ(port.SetNotify(&Record, NetPort::kFdRead), 1);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdRead);
    g_seen.clear();
    ExpectQuiet();  // not read yet: no repeat

    char buf[2];
    EXPECT_EQ(port.Receive(buf, 2), 2);
    EXPECT_EQ(port.error, 0);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdRead);  // 3 bytes left
    port.Close();
}

TEST_F(NetPortTest, WithoutConnectionCallsFailQuietly) {
    NetPort port;
    port.callback = &Record;
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(port.Send("x", 1), -1);
    EXPECT_EQ(port.Receive(buf, 4), -1);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    port.Close();
    EXPECT_TRUE(g_seen.empty());

    // An unresolvable name leaves an idle socket without events until Close.
    EXPECT_EQ(port.Connect("panel.invalid", 2001), 1);
    EXPECT_EQ(port.host, "panel.invalid");
    EXPECT_NE(port.sock, NetPort::kNoSocket);
    EXPECT_EQ(port.SetNotify(&Record, NetPort::kFdRead), 1);
    EXPECT_EQ(seam.WatchCount(), 0);
    ExpectQuiet(100ms);
    port.Close();  // reported like any close
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);

    // A failed read on such a socket clears the buffer, and the close after
    // it is not reported.
    g_seen.clear();
    port.event = 0;
    EXPECT_EQ(port.Connect("", 2001), 1);
    EXPECT_EQ(port.Receive(buf, 4), 0);
    EXPECT_EQ(port.error, -1);
    EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
    port.Close();
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(port.sock, NetPort::kNoSocket);
}

TEST_F(NetPortTest, InstanceCountFollowsLivePorts) {
    int base = NetPort::InstanceCount();
    {
        NetPort a;
        auto* b = new NetPort;
        EXPECT_EQ(NetPort::InstanceCount(), base + 2);
        delete b;
        EXPECT_EQ(NetPort::InstanceCount(), base + 1);
    }
    EXPECT_EQ(NetPort::InstanceCount(), base);
}

// A close callback that connects again: the new connection must survive the
// end of the dispatch that reported the old one.
Server* g_reconnectTo = nullptr;
void ReconnectOnClose(NetPort* p) {
    Record(p);
    if (p->event == NetPort::kFdClose && g_reconnectTo != nullptr) {
        Server* s = g_reconnectTo;
        g_reconnectTo = nullptr;
        p->Connect("127.0.0.1", s->port());
        p->SetNotify(&ReconnectOnClose, NetPort::kFdRead);
    }
}

TEST_F(NetPortTest, CallbackMayReconnectFromItsCloseEvent) {
    Server server;
    NetPort port;
    int peer = ConnectAndAccept(port, server, &ReconnectOnClose);
    g_reconnectTo = &server;
    server.ClosePeer(peer);
    ASSERT_TRUE(seam.PumpUntil([] { return g_seen.size() == 2; }));
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);
    EXPECT_EQ(g_seen[1].event, NetPort::kFdConnect);
    EXPECT_EQ(g_seen[1].error, 0);
    EXPECT_NE(port.sock, NetPort::kNoSocket);
    ASSERT_GE(server.Accept(), 0);
    port.callback = &Record;
    port.Close();
    EXPECT_EQ(g_seen.back().event, NetPort::kFdClose);
}

int IntOption(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
    return v;
}

// A peer that vanishes without closing: the accepted socket drops every
// incoming segment (a classic BPF filter returning 0), so nothing the port
// sends is acknowledged. The kernel gives up after the user timeout.
TEST_F(NetPortTest, VanishedPeerEndsInACloseEventWithinSeconds) {
    Server server;
    NetPort port;
    int peer = ConnectAndAccept(port, server);
    EXPECT_NE(IntOption(port.sock, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(IntOption(port.sock, IPPROTO_TCP, TCP_USER_TIMEOUT), 10000);
    EXPECT_LE(IntOption(port.sock, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    EXPECT_NE(IntOption(port.sock, IPPROTO_TCP, TCP_NODELAY), 0) << "frames go out at once";

    sock_filter dropAll[] = {{BPF_RET | BPF_K, 0, 0, 0}};
    sock_fprog prog{1, dropAll};
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port.Send("alive?", 6), 6);
    ASSERT_TRUE(seam.PumpUntil([] { return !g_seen.empty(); }, 30s));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(g_seen[0].event, NetPort::kFdClose);
    EXPECT_EQ(g_seen[0].error, ETIMEDOUT);
    EXPECT_LT(took, 20s);
    EXPECT_EQ(port.sock, NetPort::kNoSocket);
}

}  // namespace
}  // namespace vorn
