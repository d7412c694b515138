// The status page's server in-process on loopback, with a snapshot the test
// owns: the access rules (421, 401, the token cookie), the limit per client
// address, Connection: close, and the live channel with a client that reads
// and one that does not (ticks by hand).

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QTcpSocket>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "service/live_faces.h"
#include "service/status_http_server.h"
#include "support/http_exchange.h"
#include "support/loopback_listener.h"

namespace vorn {
namespace {

using test::HttpStatus;

const std::string kToken = "Xq3-token_for.tests~0123";

// A driver of two panels: a 48-button text panel and a 40-lamp panel.
StatusSnapshot MakeSnapshot() {
    StatusSnapshot s;
    s.driver.device = 7;
    s.driver.mode = 2;
    s.driver.modeName = "main";
    s.infodriver.connected = true;
    for (int n : {1, 2}) {
        PanelSnapshot p;
        p.number = n;
        p.id = n == 1 ? "DESK" : "LAMPS";
        p.typeCode = n == 1 ? 3 : 4;
        p.buttons = n == 1 ? 48 : 40;
        p.connected = true;
        p.rx = 1;
        p.connection = "Connected OK";
        p.keys.resize(static_cast<std::size_t>(p.buttons));
        s.panels.push_back(p);
    }
    return s;
}

class ServiceHttpTest : public ::testing::Test {
protected:
    void StartServer(const std::string& token, const std::vector<std::string>& hosts = {}) {
        server_ = std::make_unique<StatusHttpServer>([this] { return snapshot_; });
        QString error;
        ASSERT_TRUE(server_->Start("127.0.0.1", 0, token, hosts, &error)) << error.toStdString();
        server_->live().SetManualTicks(true);
    }

    // A client socket from a loopback address of its own choosing.
    std::unique_ptr<QTcpSocket> Open(const char* from = "127.0.0.1") {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(from), 0);
        socket->connectToHost(QHostAddress::LocalHost, server_->port());
        EXPECT_TRUE(socket->waitForConnected(5000));
        return socket;
    }

    // Sends one request and collects the answer until it is whole (its
    // Content-Length) or the server closes.
    std::string Ask(QTcpSocket& socket, const std::string& request) {
        socket.write(request.data(), static_cast<qint64>(request.size()));
        std::string answer;
        (void)QTest::qWaitFor(
            [&] {
                answer += socket.readAll().toStdString();
                const std::size_t head = answer.find("\r\n\r\n");
                const std::size_t length = answer.find("Content-Length: ");
                if (head != std::string::npos && length != std::string::npos && length < head) {
                    return answer.size() >= head + 4 + std::stoul(answer.substr(length + 16));
                }
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            5000);
        return answer;
    }
    std::string Get(const std::string& path, const std::string& headers = "") {
        auto socket = Open();
        return Ask(*socket, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
                                "\r\n" + headers + "\r\n");
    }
    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    StatusSnapshot snapshot_ = MakeSnapshot();
    std::unique_ptr<StatusHttpServer> server_;
};

TEST_F(ServiceHttpTest, HostAndTokenDecideBeforeAnythingIsAnswered) {
    StartServer(kToken, {"desk.example"});
    const std::string bearer = "Authorization: Bearer " + kToken + "\r\n";
    // Without the token: 401 and nothing else, on every path.
    for (const char* path : {"/", "/panels/1", "/status.json", "/metrics", "/events", "/support.tar.gz", "/nothing"}) {
        const std::string answer = Get(path);
        EXPECT_EQ(HttpStatus(answer), 401) << path;
        EXPECT_TRUE(Has(answer, "WWW-Authenticate: Bearer")) << path;
        EXPECT_EQ(test::HttpBody(answer), "401 Unauthorized\n") << path;
    }
    EXPECT_EQ(HttpStatus(Get("/metrics", "Authorization: Bearer wrong\r\n")), 401);
    EXPECT_EQ(HttpStatus(Get("/metrics", "Authorization: Bearer " + kToken + "x\r\n")), 401);
    EXPECT_EQ(HttpStatus(Get("/metrics", bearer)), 200);
    EXPECT_EQ(HttpStatus(Get("/panels/2", bearer)), 200);

    // Host names the page does not answer to: 421, token or not.
    auto socket = Open();
    for (const char* host : {"evil.example", "evil.example:8080", "127.0.0.2", "[::1]"}) {
        const std::string answer = Ask(*socket, std::string("GET / HTTP/1.1\r\nHost: ") + host + "\r\n" + bearer + "\r\n");
        EXPECT_EQ(HttpStatus(answer), 421) << host;
    }
    for (const char* host : {"localhost", "LOCALHOST:1", "127.0.0.1", "Desk.Example.:80"}) {
        const std::string answer =
            Ask(*socket, std::string("GET /metrics HTTP/1.1\r\nHost: ") + host + "\r\n" + bearer + "\r\n");
        EXPECT_EQ(HttpStatus(answer), 200) << host;
    }

    // The token once in the page's query: 303 to the page with the cookie,
    // which then serves for everything; not taken on other paths.
    const std::string redirect = Get("/panels/1?token=" + kToken);
    EXPECT_EQ(HttpStatus(redirect), 303);
    EXPECT_TRUE(Has(redirect, "Location: /panels/1\r\n")) << redirect;
    EXPECT_TRUE(Has(redirect, "Set-Cookie: pellax_token=" + kToken + "; Path=/; HttpOnly; SameSite=Strict\r\n"))
        << redirect;
    EXPECT_EQ(HttpStatus(Get("/?token=wrong")), 401);
    EXPECT_EQ(HttpStatus(Get("/metrics?token=" + kToken)), 401);
    EXPECT_EQ(HttpStatus(Get("/status.json", "Cookie: a=b; pellax_token=" + kToken + "\r\n")), 200);
    EXPECT_EQ(HttpStatus(Get("/status.json", "Cookie: pellax_token=" + kToken.substr(1) + "\r\n")), 401);
}

TEST_F(ServiceHttpTest, FourConnectionsPerClientAddressAndConnectionCloseHonoured) {
    StartServer("");
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < StatusHttpServer::kMaxPerClient; ++i) {
        held.push_back(Open());
        EXPECT_EQ(HttpStatus(Ask(*held.back(), "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")), 200) << i;
    }
    // A fifth from the same address is refused; another address is served.
    auto fifth = Open();
    EXPECT_EQ(HttpStatus(Ask(*fifth, "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")), 429);
    auto other = Open("127.0.0.2");
    EXPECT_EQ(HttpStatus(Ask(*other, "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")), 200);
    for (auto& s : held) EXPECT_EQ(HttpStatus(Ask(*s, "GET /status.json HTTP/1.1\r\nHost: localhost\r\n\r\n")), 200);
    // One goes: room for one more.
    held.front()->disconnectFromHost();
    held.erase(held.begin());
    std::string answer;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto again = Open();
            answer = Ask(*again, "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
            return HttpStatus(answer) == 200;
        },
        5000))
        << answer;

    // Connection: close (and HTTP/1.0) is answered and the connection ends.
    held.clear();
    fifth.reset();
    other.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_->openConnections() == 0; }, 5000));
    for (const std::string request : {"GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n",
                                      "GET /metrics HTTP/1.0\r\n\r\n"}) {
        auto socket = Open();
        const std::string reply = Ask(*socket, request);
        EXPECT_EQ(HttpStatus(reply), 200);
        EXPECT_TRUE(Has(reply, "Connection: close\r\n")) << reply;
        EXPECT_TRUE(QTest::qWaitFor([&] { return socket->state() == QAbstractSocket::UnconnectedState; }, 2000))
            << request;
    }
}

// A raw client socket (a small receive buffer) that sends one request and
// then reads only when told.
int RawEventsClient(quint16 port) {
    const int fd = test::ConnectLoopback(port, 4096);
    if (fd < 0) return -1;
    const std::string request = "GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n";
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

std::string Drain(int fd) {
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
}

TEST_F(ServiceHttpTest, LiveClientsGetChangedPartsAndAPausedOneCostsABoundedBacklog) {
    StartServer("");
    const int reader = RawEventsClient(server_->port());
    const int paused = RawEventsClient(server_->port());
    ASSERT_GE(reader, 0);
    ASSERT_GE(paused, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_->live().clients() == 2; }, 5000));
    std::string seen;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Has(seen += Drain(reader), "event: all\ndata: "); }, 5000));
    EXPECT_TRUE(Has(seen, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"));

    // One change: the reading client gets that button alone.
    seen.clear();
    snapshot_.panels[0].keys[6].main = "CAM 7     ";
    server_->live().Tick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Has(seen += Drain(reader), "\n\n"); }, 5000));
    EXPECT_EQ(seen.rfind("event: part\ndata: p1b7 <div id=\"p1b7\"", 0), 0u) << seen;
    EXPECT_TRUE(Has(seen, ">CAM 7<"));
    EXPECT_EQ(seen.find("event: part", 1), std::string::npos) << "nothing else changed";

    // 500 changes a tick over every button, for 200 ticks, while the paused
    // client reads nothing: what waits for it stays bounded, and its backlog
    // becomes the whole picture.
    std::size_t readerBytes = 0;
    std::size_t biggestWait = 0;
    for (int tick = 0; tick < 200; ++tick) {
        for (int i = 0; i < 500; ++i) {
            PanelSnapshot& p = snapshot_.panels[static_cast<std::size_t>(i % 2)];
            ButtonSnapshot& key = p.keys[static_cast<std::size_t>((i / 2 + tick) % p.buttons)];
            key.main = "T" + std::to_string(tick) + "-" + std::to_string(i);
            key.colour = (key.colour + 1) % 10;
        }
        server_->live().Tick();
        QCoreApplication::processEvents();
        readerBytes += Drain(reader).size();
        for (const LiveFaces::ClientState& c : server_->live().Clients()) {
            biggestWait = std::max<std::size_t>(biggestWait, static_cast<std::size_t>(c.waitingBytes));
            EXPECT_LE(c.pendingParts, FaceBacklog::kWholeAfter);
        }
    }
    const std::vector<LiveFaces::ClientState> states = server_->live().Clients();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_GT(readerBytes, 1000000u) << "the reading client kept up";
    // One batch at most (the whole picture of both panels) above the mark.
    EXPECT_LE(biggestWait, static_cast<std::size_t>(LiveFaces::kHighWater) + 200 * 1024);
    const auto stalled = std::max_element(states.begin(), states.end(),
                                          [](const auto& a, const auto& b) { return a.stalledTicks < b.stalledTicks; });
    EXPECT_GE(stalled->stalledTicks, LiveFaces::kWholeAfterTicks);
    EXPECT_TRUE(stalled->whole);

    // The paused client comes back: after what waited it gets the whole
    // picture, and the last drawing of each button it sees is the newest.
    const std::string lastLabel = snapshot_.panels[0].keys[0].main;
    std::string late;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            late += Drain(paused);
            server_->live().Tick();
            return Has(late, "event: all") && server_->live().Clients().front().waitingBytes == 0 &&
                   server_->live().Clients().back().waitingBytes == 0 && late.ends_with("\n\n");
        },
        10000));
    EXPECT_NE(late.find("event: all", late.find("event: all") + 1), std::string::npos)
        << "a fresh whole picture after the one at the start";
    const std::string lastDrawn = late.substr(late.rfind("<div id=\"p1b1\""), 200);
    EXPECT_TRUE(Has(lastDrawn, ">" + lastLabel + "<")) << lastDrawn;
    close(reader);
    close(paused);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_->live().clients() == 0; }, 5000));
}

}  // namespace
}  // namespace vorn
