// The service side without HTTP or systemd: the snapshot of the driver
// state, the page, JSON and metrics rendered from it (escaping of hostile
// texts), the answer to a request, and the request guard's framing.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <functional>
#include <string>

#include "core/driver_state.h"
#include "infodriver_server.h"
#include "core/loop_lag.h"
#include "core/service_events.h"
#include "panels/info_client.h"
#include "panels/panel_table.h"
#include "service/http_request_guard.h"
#include "service/panel_faces.h"
#include "service/status_access.h"
#include "service/support_bundle.h"
#include "service/status_render.h"
#include "service/service_notify.h"
#include "service/status_snapshot.h"
#include "support/fake_ports.h"
#include "support/temp_dir.h"
#include "transport/extinfo.h"

namespace vorn {
namespace {

// Texts a settings file or a slot may hold: markup, quotes, a newline, a
// control byte and bytes that are not UTF-8.
const std::string kHostile = "<script>alert('x')</script> \"q\" \\ a&b\nline2\x01 \xff\xfe end";

class ServiceStatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        ResetPanelTable();
        DeviceNumber = 12;
        Settings.Driver_Identity = kHostile;
        Settings.SerialParams = "38400,8,1,E";
        DriverStatus = 0;
        DriverMode = IFMODE_TXRX;
        // Attached to a reference Infodriver of the test's own.
        setenv("VORN_INFODRIVER_DIR", dir.path().c_str(), 1);
        InfodriverOptions options;
        options.devices = {12};
        options.socketDir = dir.path();
        options.log = [](const std::string&) {};
        server = std::make_unique<InfodriverServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
        server->RunInThread();
        BindInfoClient(&info);
        ASSERT_EQ(info.connect(12, nullptr), kInfoSlotChanged);
        InfodriverRxCount = 7;
        InfodriverTxCount = 9;

        PanelRecord& tcp = Panels[1];
        tcp.InUse = 1;
        tcp.PanelId = kHostile;
        tcp.Location = "Desk";
        tcp.TypeName = "CP-2048E";
        tcp.ButtonCount = 48;
        tcp.IpAddress = "10.0.0.5";
        tcp.Port = 2001;
        auto port = std::make_unique<test::FakeNetPort>();
        port->sock = 99;  // connected
        tcp.Link = std::make_unique<TcpPanelLink>(tcp.IpAddress, tcp.Port, std::move(port));
        tcp.Connected = 1;
        tcp.AliveSeen = 1;
        tcp.RxCount = 3;
        tcp.TxCount = 40;
        tcp.LastButton = 5;

        PanelRecord& serial = Panels[3];
        serial.InUse = 1;
        serial.PanelId = "LAMPS";
        serial.TypeName = "CP-3201E";
        serial.ButtonCount = 40;
        serial.IpAddress = "0.0.0.0";
        serial.ComPort = 3;

        PanelCounters(1) = {};
        PanelCounters(3) = {};
        CountPanelPress(1);
        CountPanelPress(1);
        for (int i = 0; i < 3; ++i) CountPanelLinkUp(1);
    }
    void TearDown() override {
        ResetPanelTable();
        info.disconnect();
        BindInfoClient(nullptr);
        server.reset();
        unsetenv("VORN_INFODRIVER_DIR");
    }
    test::TempDir dir;
    std::unique_ptr<InfodriverServer> server;
    extinfo info{kInfoInterfaceVersion};
};

TEST_F(ServiceStatusTest, SnapshotFollowsTheDriverStateAndTheFieldTexts) {
    StatusSnapshot snap = TakeStatusSnapshot([](int id) { return id == 2010 ? std::string("Running OK ....") : ""; });
    EXPECT_EQ(snap.driver.device, 12);
    EXPECT_EQ(snap.driver.status, "Running OK ....");
    EXPECT_EQ(snap.driver.mode, 2);
    EXPECT_TRUE(snap.infodriver.connected);
    EXPECT_EQ(snap.infodriver.rx, 7u);
    ASSERT_EQ(snap.panels.size(), 2u);  // only configured panels
    const PanelSnapshot& tcp = snap.panels[0];
    EXPECT_EQ(tcp.number, 1);
    EXPECT_EQ(tcp.link, "tcp");
    EXPECT_EQ(tcp.address, "10.0.0.5:2001");
    EXPECT_EQ(tcp.connection, "Connected OK");
    EXPECT_EQ(tcp.presses, 2u);
    EXPECT_EQ(tcp.reconnects, 2u);  // three link-ups: the first is no reconnect
    const PanelSnapshot& serial = snap.panels[1];
    EXPECT_EQ(serial.number, 3);
    EXPECT_EQ(serial.address, "COM3 38400,8,1,E");
    EXPECT_FALSE(serial.connected);
    EXPECT_EQ(serial.connection, "No Connection");
    EXPECT_EQ(ServiceStatusLine(snap), "main: 1/2 panels connected");

    // Attached is the client's word on its link, whatever status code it
    // was told last.
    info.iStatus = kInfoDisconnected;
    EXPECT_TRUE(TakeStatusSnapshot(nullptr).infodriver.connected);
    info.disconnect();
    info.iStatus = kInfoSlotChanged;
    EXPECT_FALSE(TakeStatusSnapshot(nullptr).infodriver.connected);

    DriverMode = IFMODE_RXONLY;
    snap = TakeStatusSnapshot(nullptr);
    EXPECT_EQ(snap.driver.mode, 1);
    EXPECT_EQ(snap.driver.status, "Running OK");  // derived without the view
    EXPECT_FALSE(snap.infodriver.connected);
    EXPECT_EQ(ServiceStatusLine(snap), "reserve: panels disconnected");
    DriverMode = -1;
    EXPECT_EQ(TakeStatusSnapshot(nullptr).driver.mode, 0);
}

TEST_F(ServiceStatusTest, HtmlShowsEveryFieldAndEscapesEveryText) {
    const std::string html = RenderStatusHtml(TakeStatusSnapshot(nullptr));
    // The page's own script is the only one.
    EXPECT_EQ(html.find("<script"), html.find("<script src=\"/app.js\"></script>"));
    EXPECT_EQ(html.find("<script", html.find("<script") + 1), std::string::npos);
    EXPECT_EQ(html.find("\xff"), std::string::npos);
    EXPECT_EQ(html.find('\x01'), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &quot;q&quot; \\ a&amp;b"), std::string::npos);
    EXPECT_NE(html.find("\xEF\xBF\xBD\xEF\xBF\xBD end"), std::string::npos) << "invalid bytes become U+FFFD";
    EXPECT_NE(html.find("<meta http-equiv=\"refresh\" content=\"2\">"), std::string::npos);
    EXPECT_NE(html.find("name=\"viewport\""), std::string::npos);
    for (const char* text : {"10.0.0.5:2001", "COM3 38400,8,1,E", "CP-2048E (48)", "Connected OK", "No Connection",
                             ">40<", ">5<", "LAMPS", "Desk"}) {
        EXPECT_NE(html.find(text), std::string::npos) << text;
    }
}

TEST_F(ServiceStatusTest, JsonIsValidAndCarriesTheTextsUnchanged) {
    const std::string json = RenderStatusJson(TakeStatusSnapshot(nullptr));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json;
    const QJsonObject root = doc.object();
    EXPECT_EQ(root["driver"]["mode"].toString(), "main");
    EXPECT_EQ(root["driver"]["identity"].toString().toStdString(),
              "<script>alert('x')</script> \"q\" \\ a&b\nline2\x01 \xEF\xBF\xBD\xEF\xBF\xBD end");
    EXPECT_TRUE(root["infodriver"]["connected"].toBool());
    const QJsonArray panels = root["panels"].toArray();
    ASSERT_EQ(panels.size(), 2);
    EXPECT_EQ(panels[0]["panel"].toInt(), 1);
    EXPECT_EQ(panels[0]["rx"].toInt(), 3);
    EXPECT_EQ(panels[0]["last_button"].toInt(), 5);
    EXPECT_EQ(panels[1]["link"].toString(), "serial");
    EXPECT_FALSE(panels[1]["connected"].toBool());

    // The loop's longest lag of the last minute, in seconds; an older one
    // has left the window.
    using namespace std::chrono_literals;
    const auto now = std::chrono::steady_clock::now();
    DriverLoopLag().Record(now - 90s, 2s);
    DriverLoopLag().Record(now - 30s, 25ms);
    DriverLoopLag().Record(now, 3ms);
    const QJsonObject lagged =
        QJsonDocument::fromJson(QByteArray::fromStdString(RenderStatusJson(TakeStatusSnapshot(nullptr)))).object();
    EXPECT_DOUBLE_EQ(lagged["driver"]["loop_lag_seconds"].toDouble(), 0.025);
    EXPECT_NE(RenderMetrics(TakeStatusSnapshot(nullptr)).find("\npellax_event_loop_lag_seconds 0.0250\n"),
              std::string::npos);
}

TEST_F(ServiceStatusTest, MetricsAreWellFormedWithEscapedLabels) {
    const std::string metrics = RenderMetrics(TakeStatusSnapshot(nullptr));
    // Every line: a comment, or name{labels} value with escaped label values.
    const QRegularExpression sample(
        R"(^[a-z_]+(\{panel="[0-9]+",id="([^"\\\n]|\\["\\n])*"\})? [0-9]+(\.[0-9]+)?$)");
    int samples = 0;
    for (const QString& line : QString::fromStdString(metrics).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# HELP ") || line.startsWith("# TYPE ")) continue;
        EXPECT_TRUE(sample.match(line).hasMatch()) << line.toStdString();
        ++samples;
    }
    EXPECT_EQ(samples, 5 * 2 + 3);
    const std::string id = R"(<script>alert('x')</script> \"q\" \\ a&b\nline2)";
    for (const std::string& expected :
         {"pellax_panel_connected{panel=\"1\",id=\"" + id, std::string("pellax_panel_connected{panel=\"3\",id=\"LAMPS\"} 0"),
          std::string("pellax_panel_rx_messages_total{panel=\"3\",id=\"LAMPS\"} 0"),
          std::string("pellax_panel_tx_frames_total{panel=\"3\",id=\"LAMPS\"} 0"),
          std::string("pellax_panel_presses_total{panel=\"3\",id=\"LAMPS\"} 0"),
          std::string("pellax_panel_reconnects_total{panel=\"3\",id=\"LAMPS\"} 0"),
          std::string("\npellax_driver_mode 2\n"), std::string("\npellax_infodriver_connected 1\n"),
          std::string("# TYPE pellax_panel_presses_total counter\n"),
          std::string("# TYPE pellax_panel_connected gauge\n")}) {
        EXPECT_NE(metrics.find(expected), std::string::npos) << expected;
    }
    EXPECT_NE(metrics.find("} 2\n"), std::string::npos);  // presses and reconnects of panel 1
}

TEST_F(ServiceStatusTest, RequestsGetTheirPageOrAnErrorWithoutASnapshot) {
    int snapshots = 0;
    const auto take = [&] {
        ++snapshots;
        return TakeStatusSnapshot(nullptr);
    };
    EXPECT_EQ(AnswerStatusRequest("GET", "/nothing", take).status, 404);
    EXPECT_EQ(AnswerStatusRequest("GET", "/metrics/", take).status, 404);
    const HttpAnswer post = AnswerStatusRequest("POST", "/metrics", take);
    EXPECT_EQ(post.status, 405);
    EXPECT_NE(std::find(post.headers.begin(), post.headers.end(), std::pair<std::string, std::string>("Allow", "GET, HEAD")),
              post.headers.end());
    EXPECT_EQ(AnswerStatusRequest("OTHER", "/", take).status, 405);
    EXPECT_EQ(snapshots, 0);

    const HttpAnswer page = AnswerStatusRequest("GET", "/", take);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(AnswerStatusRequest("HEAD", "/", take).body, page.body);
    EXPECT_EQ(AnswerStatusRequest("GET", "/status.json", take).contentType, "application/json");
    EXPECT_EQ(AnswerStatusRequest("GET", "/metrics", take).contentType, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(snapshots, 4);
}

// The number of times part occurs in text.
int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The element with this id, up to the end of its opening tag's content.
std::string Element(const std::string& html, const std::string& id) {
    const std::size_t at = html.find("id=\"" + id + "\"");
    if (at == std::string::npos) return "";
    return html.substr(html.rfind('<', at), html.find("</div>", at) - html.rfind('<', at));
}

TEST_F(ServiceStatusTest, FacesDrawTheButtonsAsThePanelTableHoldsThem) {
    PanelRecord& text = Panels[1];
    text.TypeCode = 3;
    text.Buttons[1] = {1, "CAM 1     ", "ALT 1     ", 2, 3};
    text.Buttons[2] = {1, "#>12", "", 5, 0};
    text.Buttons[3] = {1, kHostile, "", 11, 0};
    text.Buttons[4] = {0, "MAIN 4    ", "FLASH 4   ", 1, 9};
    text.FlashButton = 4;
    PanelRecord& lamps = Panels[3];
    lamps.TypeCode = 4;
    for (int b = 1; b <= 40; ++b) lamps.Buttons[b].LampState = b == 2 ? 1 : 0;
    lamps.Buttons[2].Colour = 7;
    lamps.FlashButton = 9;

    const StatusSnapshot snap = TakeStatusSnapshot(nullptr);
    const std::string faces = RenderFaces(snap, 0);
    EXPECT_EQ(Count(faces, "id=\"p1b"), 48);
    EXPECT_EQ(Count(faces, "id=\"p3b"), 40);
    EXPECT_NE(faces.find("class=\"face text cols8\" id=\"p1\""), std::string::npos);
    EXPECT_NE(faces.find("class=\"face lamp cols8\" id=\"p3\""), std::string::npos);
    // Main label and colour, the alternative under it; graphics; escaping.
    EXPECT_NE(Element(faces, "p1b1").find("class=\"k c2 a3\""), std::string::npos) << Element(faces, "p1b1");
    EXPECT_NE(Element(faces, "p1b1").find("<span class=\"m\">CAM 1</span><span class=\"a\">ALT 1</span>"),
              std::string::npos);
    EXPECT_NE(Element(faces, "p1b2").find("gfx 12"), std::string::npos);
    EXPECT_NE(Element(faces, "p1b3").find("class=\"k cx a0\""), std::string::npos) << "colour 11 is unknown";
    EXPECT_NE(Element(faces, "p1b3").find("&lt;script&gt;al</span>"), std::string::npos) << "first ten characters";
    EXPECT_EQ(faces.find("<script"), std::string::npos);
    // Flashing (both faces alternate), last pressed, lamps.
    EXPECT_NE(Element(faces, "p1b4").find("class=\"k c1 a9 fl\""), std::string::npos) << Element(faces, "p1b4");
    EXPECT_NE(Element(faces, "p1b5").find(" last\""), std::string::npos);
    EXPECT_NE(Element(faces, "p3b2").find("class=\"k con on\""), std::string::npos);
    EXPECT_NE(Element(faces, "p3b2").find("value 7"), std::string::npos);
    EXPECT_NE(Element(faces, "p3b1").find("class=\"k coff\""), std::string::npos);
    EXPECT_NE(Element(faces, "p3b9").find("class=\"k con aoff fl\""), std::string::npos);
    // Connected and not: the lamp panel is greyed with its reason.
    EXPECT_NE(faces.find("<header id=\"p1h\" class=\"hdr s-ok\">"), std::string::npos);
    EXPECT_NE(faces.find("<header id=\"p3h\" class=\"hdr s-off\">"), std::string::npos);
    EXPECT_NE(faces.find("COM3 is not open"), std::string::npos);
    EXPECT_NE(FaceStyle().find(".c2{--bg:#2e7d32"), std::string::npos);
    EXPECT_NE(FaceStyle().find(".face:has(>.hdr.s-off) .keys{filter:grayscale(1)"), std::string::npos);

    // The live channel sends only what changed.
    const auto changes = [&](const std::function<void()>& change, bool* whole = nullptr) {
        const StatusSnapshot before = TakeStatusSnapshot(nullptr);
        change();
        bool all = false;
        std::vector<std::string> ids;
        for (const FacePart& part : ChangedFaceParts(before, TakeStatusSnapshot(nullptr), &all)) {
            ids.push_back(FacePartId(part));
        }
        if (whole != nullptr) *whole = all;
        return ids;
    };
    using Ids = std::vector<std::string>;
    EXPECT_EQ(changes([] { Panels[1].Buttons[7].MainText = "NEW"; }), Ids{"p1b7"});
    EXPECT_EQ(changes([] { Panels[1].Buttons[4].LampState = 1; }), Ids{}) << "the flash is the animation's";
    EXPECT_EQ(changes([] { Panels[1].Buttons[6].LampState = 0; }), Ids{"p1b6"});
    EXPECT_EQ(changes([] { Panels[1].LastButton = 8; }), (Ids{"p1h", "p1b5", "p1b8"}));
    EXPECT_EQ(changes([] { Panels[1].RxCount = 90; }), Ids{}) << "counters are not drawn";
    EXPECT_EQ(changes([] { Panels[3].FlashButton = 0; }), Ids{"p3b9"});
    EXPECT_EQ(changes([] { DriverMode = IFMODE_RXONLY; }), (Ids{"view", "p1h", "p3h"}));
    EXPECT_NE(RenderViewBanner(TakeStatusSnapshot(nullptr)).find("Reserve&#39;s view"), std::string::npos);
    bool whole = false;
    EXPECT_EQ(changes([] { Panels[5].InUse = 1; }, &whole), Ids{});
    EXPECT_TRUE(whole);

    // One panel, large, on a page of its own.
    const auto take = [] { return TakeStatusSnapshot(nullptr); };
    const HttpAnswer one = AnswerStatusRequest("GET", "/panels/3", take);
    EXPECT_EQ(one.status, 200);
    EXPECT_NE(one.body.find("data-panel=\"3\""), std::string::npos);
    EXPECT_EQ(Count(one.body, "id=\"p1b"), 0);
    EXPECT_EQ(Count(one.body, "id=\"p3b"), 40);
    for (const char* path : {"/panels/2", "/panels/13", "/panels/03", "/panels/", "/panels/1x"}) {
        EXPECT_EQ(AnswerStatusRequest("GET", path, take).status, 404) << path;
    }
    const HttpAnswer script = AnswerStatusRequest("GET", "/app.js", take);
    EXPECT_EQ(script.contentType, "text/javascript; charset=utf-8");
    EXPECT_NE(script.body.find("new EventSource(\"/events\""), std::string::npos);
}

// WATCHDOG=1 only from a housekeeping tick that finds the loop on time: not
// from a tick that came late, nor while a lag above the bound is less than
// 2-3 s old. The clock is moved by hand; the manager's socket is real.
TEST(ServiceNotifierTest, WatchdogIsFedOnlyWhileTheLoopRunsOnTime) {
    using namespace std::chrono_literals;
    test::TempDir dir;
    const std::string path = dir.path() + "/notify";
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "20000000", 1);
    unsetenv("WATCHDOG_PID");
    LoopLag lag;
    ServiceNotifier notifier(lag);
    unsetenv("WATCHDOG_USEC");
    const auto t0 = LoopLag::Clock::time_point{} + 1000s;
    // Whether a tick at t sent WATCHDOG=1 (STATUS= never changes here).
    const auto fed = [&](LoopLag::Clock::duration t) {
        notifier.OnEvent(ServiceEvent::kHousekeeping, [] { return std::string("main"); }, t0 + t);
        char buffer[256];
        bool watchdog = false;
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            watchdog = watchdog || std::string(buffer, static_cast<size_t>(n)).find("WATCHDOG=1") != std::string::npos;
        }
        return watchdog;
    };
    EXPECT_TRUE(fed(0s));
    EXPECT_TRUE(fed(1s));
    EXPECT_FALSE(fed(4s)) << "the tick came 2 s late";
    EXPECT_TRUE(fed(5s));
    lag.Record(t0 + 5500ms, 1500ms);
    EXPECT_FALSE(fed(6s));
    EXPECT_FALSE(fed(7s));
    EXPECT_TRUE(fed(8s));
    lag.Record(t0 + 8200ms, 900ms);
    EXPECT_TRUE(fed(9s)) << "within the bound";
    unsetenv("NOTIFY_SOCKET");  // read by every sd_notify
    close(fd);
}

TEST(SupportAndAccessTextTest, TokensLeaveTheSettingsAndHostsReadAsWritten) {
    // Every StatusHttpToken line loses its value, whatever its spelling,
    // section or line end; everything else keeps its bytes.
    EXPECT_EQ(SettingsWithoutToken("[Pellax_Panel]\r\nStatusHttpToken=abc\r\nStatusHttpPort=8080\r\n"
                                   "[Other]\n statushttptoken = x y\nStatusHttpTokens=keep\n;StatusHttpToken=c\n"
                                   "STATUSHTTPTOKEN=last"),
              "[Pellax_Panel]\r\nStatusHttpToken=\r\nStatusHttpPort=8080\r\n"
              "[Other]\n statushttptoken =\nStatusHttpTokens=keep\n;StatusHttpToken=c\nSTATUSHTTPTOKEN=");
    EXPECT_EQ(HostOfHeader(" [::1]:8080 "), "::1");
    EXPECT_EQ(HostOfHeader("Desk.Example.:80"), "desk.example");
    EXPECT_EQ(SplitHostList("Desk.example, fe80::1 [::2]:80,,10.0.0.5:8080"),
              (std::vector<std::string>{"desk.example", "fe80::1", "::2", "10.0.0.5"}));
    std::string why;
    EXPECT_TRUE(TokenUsable("aZ09-._~+/=", &why));
    EXPECT_FALSE(TokenUsable("a;b", &why));
    EXPECT_FALSE(TokenUsable("a b", &why));
}

TEST(HttpRequestGuardTest, BadRequestsGetTheirStatus) {
    const std::string big(HttpRequestGuard::kMaxHead, 'a');
    const struct {
        std::string bytes;
        int status;
    } cases[] = {
        {"hello there\r\n\r\n", 400},
        {std::string("\x16\x03\x01\x02\x00", 5), 400},  // a TLS hello: refused at its first byte
        {"GET /x HTTP/2.0\r\n\r\n", 505},
        {"GET x HTTP/1.1\r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\nno colon\r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\nBad Name: v\r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\nA: b\r\n folded\r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\nX: " + big + "\r\n\r\n", 431},
        {"GET /" + big + " HTTP/1.1\r\n\r\n", 431},
        {"POST /x HTTP/1.1\r\nContent-Length: 100000\r\n\r\n", 413},
        {"POST /x HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
        {"POST /x HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
    };
    for (const auto& c : cases) {
        HttpRequestGuard guard;
        EXPECT_EQ(guard.Feed(c.bytes).status, c.status) << c.bytes.substr(0, 60);
        EXPECT_EQ(guard.Feed("GET / HTTP/1.1\r\n\r\n").status, c.status) << "stays failed";
    }
}

TEST(HttpRequestGuardTest, FramesPipelinedRequestsInAnyPieces) {
    const std::string stream =
        "\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n"
        "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nGET /"
        "HEAD /status.json HTTP/1.0\n\n"
        "GET /metrics HTTP/1.1\r\nHost: a\r\n";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        HttpRequestGuard guard;
        int completed = 0;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const auto result = guard.Feed(std::string_view(stream).substr(at, piece));
            ASSERT_EQ(result.status, 0) << "piece " << piece << " at " << at;
            completed += result.completed;
        }
        EXPECT_EQ(completed, 3) << "piece " << piece;
        EXPECT_TRUE(guard.InRequest()) << "the last head is not complete";
    }
    HttpRequestGuard idle;
    EXPECT_FALSE(idle.InRequest());
}

}  // namespace
}  // namespace vorn
