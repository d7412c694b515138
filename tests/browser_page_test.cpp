// The status page in a real browser: headless Chromium, driven over its
// DevTools protocol (a WebSocket), against the driver, the reference
// Infodriver and the simulator as processes. The page loads with no console
// error, a slot change shows on the face without a reload, a lamp and a
// flash are visible, and the page of one panel at phone width fits.
// Skipped (with the reason) only where chromium is not installed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QWebSocket>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/driver_site.h"
#include "support/infodriver_child.h"
#include "support/loopback_listener.h"
#include "support/piped_process.h"
#include "support/spawned_process.h"
#include "support/wait_until.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::BinPath;
using test::InfodriverChild;
using test::PipedProcess;
using test::SpawnedProcess;
using test::WaitUntil;

const char* Chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return nullptr;
}

// One DevTools connection to the browser; commands to a page go with its
// session id (flat sessions). Calls wait for their answer, running the
// event loop meanwhile; every event is kept.
class DevTools {
public:
    bool Open(const QString& url) {
        QObject::connect(&ws_, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            if (message.contains("id")) {
                replies_[message["id"].toInt()] = message;
            } else {
                events.push_back(message);
            }
        });
        ws_.open(QUrl(url));
        return QTest::qWaitFor([this] { return ws_.state() == QAbstractSocket::ConnectedState; }, 10000);
    }
    QJsonObject Call(const QString& method, const QJsonObject& params = {}, const QString& session = {}) {
        const int id = ++nextId_;
        QJsonObject message{{"id", id}, {"method", method}, {"params", params}};
        if (!session.isEmpty()) message["sessionId"] = session;
        ws_.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
        if (!QTest::qWaitFor([&] { return replies_.count(id) != 0; }, 15000)) return {{"error", "no answer"}};
        const QJsonObject reply = replies_[id];
        replies_.erase(id);
        return reply;
    }
    std::vector<QJsonObject> events;

private:
    QWebSocket ws_;
    int nextId_ = 0;
    std::map<int, QJsonObject> replies_;
};

class BrowserPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Chromium() == nullptr) GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
        mkdir((site_.path() + "/chrome").c_str(), 0700);
    }
    void TearDown() override {
        if (HasFailure() && driver_.pid() > 0) std::printf("--- driver stderr\n%s\n", driver_.Stderr().c_str());
        if (HasFailure() && browser_.pid() > 0) std::printf("--- chromium stderr\n%s\n", browser_.Stderr().c_str());
    }

    // The value of a JavaScript expression in the page.
    QJsonValue Eval(const QString& expression) {
        const QJsonObject reply = tools_.Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session_);
        return reply["result"].toObject()["result"].toObject()["value"];
    }
    bool WaitForTrue(const QString& expression, int ms = 10000) {
        return QTest::qWaitFor([&] { return Eval(expression).toBool(); }, ms);
    }
    // Console errors, uncaught exceptions and failed loads the page reported.
    std::vector<std::string> PageErrors() const {
        std::vector<std::string> errors;
        for (const QJsonObject& e : tools_.events) {
            const QString method = e["method"].toString();
            const QJsonObject params = e["params"].toObject();
            if (method == "Runtime.exceptionThrown" ||
                (method == "Runtime.consoleAPICalled" && params["type"].toString() == "error") ||
                (method == "Log.entryAdded" && params["entry"].toObject()["level"].toString() == "error")) {
                errors.push_back(QJsonDocument(params).toJson(QJsonDocument::Compact).toStdString());
            }
        }
        return errors;
    }

    test::DriverSite site_{36};
    SpawnedProcess driver_;
    SpawnedProcess browser_;
    DevTools tools_;
    QString session_;
};

TEST_F(BrowserPageTest, FacesLoadCleanlyFollowTheSlotsLiveAndFitAPhone) {
    InfodriverChild info(36, site_.path() + "/sock", site_.path());
    ASSERT_TRUE(info.Start()) << info.process().Stderr();
    PipedProcess sim;
    const std::vector<std::string> panels = site_.StartSimulator(
        sim, {"tcp:127.0.0.1:0:type=CP-2048E:id=01", "pty:COM3:dir=" + site_.path() + "/com:type=CP-3201E:id=02"});
    ASSERT_EQ(panels.size(), 2u) << sim.error() << sim.Stderr();
    info.Set(51, "CAM 1");
    info.Set(101, "2");
    const int port = test::FreeLoopbackPort();
    ASSERT_GT(port, 0);
    site_.WriteSettings("[Pellax_Panel]\nDebugMode=1\nLogMode=0\nStatusHttpPort=" + std::to_string(port) +
                        "\n[Pellax_Panel_1]\nPanel_ID=DESK-A\nPanel_Type=CP-2048E\nPanel_Comms_ID=01\n"
                        "TCPIP_Address=127.0.0.1\nTCPIP_Port=" + panels[0] +
                        "\n[Pellax_Panel_2]\nPanel_ID=LAMPS-B\nPanel_Type=CP-3201E\nPanel_Comms_ID=02\nSerial_ComPort=3\n");
    ASSERT_TRUE(site_.StartDriver(driver_)) << driver_.error();
    ASSERT_TRUE(info.WaitForSlot(299, "1", 15s));
    ASSERT_TRUE(info.WaitForSlot(599, "1", 15s));

    ASSERT_TRUE(browser_.Start(Chromium(),
                               {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                "--user-data-dir=" + site_.path() + "/chrome", "--remote-debugging-port=0",
                                "about:blank"},
                               {}, site_.path()))
        << browser_.error();
    std::string endpoint;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string err = browser_.Stderr();
            const std::size_t at = err.find("DevTools listening on ");
            if (at == std::string::npos || err.find('\n', at) == std::string::npos) return false;
            endpoint = err.substr(at + 22, err.find('\n', at) - at - 22);
            return true;
        },
        30s));
    ASSERT_TRUE(tools_.Open(QString::fromStdString(endpoint))) << endpoint;
    const QString target = tools_.Call("Target.createTarget", {{"url", "about:blank"}})["result"].toObject()["targetId"].toString();
    session_ = tools_.Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["result"]
                   .toObject()["sessionId"]
                   .toString();
    ASSERT_FALSE(session_.isEmpty());
    for (const char* domain : {"Runtime.enable", "Log.enable", "Page.enable"}) tools_.Call(domain, {}, session_);

    // The page: both faces, live.
    const QString base = QString("http://127.0.0.1:%1").arg(port);
    tools_.Call("Page.navigate", {{"url", base + "/"}}, session_);
    ASSERT_TRUE(WaitForTrue("document.readyState === 'complete' && document.getElementById('live').textContent === 'live'"));
    EXPECT_EQ(Eval("document.querySelectorAll('#p1 .k').length").toInt(), 48);
    EXPECT_EQ(Eval("document.querySelectorAll('#p2 .k').length").toInt(), 40);
    EXPECT_EQ(Eval("document.getElementById('p1b1').textContent").toString().toStdString(), "1CAM 1");

    // A slot change reaches the face without a reload.
    Eval("window.loaded = performance.timeOrigin; window.seenAt = 0;"
         "new MutationObserver(() => { const k = document.getElementById('p1b3');"
         "  if (!window.seenAt && k && k.textContent.includes('LIVE 3')) window.seenAt = Date.now(); })"
         ".observe(document.getElementById('main'), {subtree: true, childList: true});");
    const double written = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(info.Set(53, "LIVE 3"));
    ASSERT_TRUE(WaitForTrue("window.seenAt > 0"));
    std::printf("slot written to face shown: %.0f ms (infoctl, driver, page; not a benchmark)\n",
                Eval("window.seenAt").toDouble() - written);
    EXPECT_EQ(Eval("window.loaded").toDouble(), Eval("performance.timeOrigin").toDouble()) << "no reload";

    // A lamp lit and a button flashing, as the browser draws them.
    ASSERT_TRUE(info.Set(402, "1"));  // lamp 2 on panel 2
    ASSERT_TRUE(info.Set(251, "3"));  // flash button 3 of panel 1
    EXPECT_TRUE(WaitForTrue("getComputedStyle(document.getElementById('p2b2')).backgroundColor === 'rgb(255, 224, 130)'"));
    EXPECT_EQ(Eval("getComputedStyle(document.getElementById('p2b1')).backgroundColor").toString().toStdString(),
              "rgb(58, 58, 58)");
    EXPECT_TRUE(WaitForTrue("document.getElementById('p1b3').getAnimations().some(a => a.playState === 'running')"));
    EXPECT_EQ(Eval("getComputedStyle(document.getElementById('p1b3')).animationName").toString().toStdString(), "fb");

    // One panel at phone width: nothing wider than the screen, keys big
    // enough to read and tap, the panel's state in view.
    tools_.Call("Emulation.setDeviceMetricsOverride",
                {{"width", 375}, {"height", 740}, {"deviceScaleFactor", 2}, {"mobile", true}}, session_);
    tools_.Call("Page.navigate", {{"url", base + "/panels/1"}}, session_);
    ASSERT_TRUE(WaitForTrue("document.readyState === 'complete' && document.getElementById('live').textContent === 'live'"));
    EXPECT_TRUE(Eval("document.documentElement.scrollWidth <= window.innerWidth").toBool())
        << Eval("document.documentElement.scrollWidth").toInt();
    EXPECT_EQ(Eval("document.querySelectorAll('.k').length").toInt(), 48);
    EXPECT_TRUE(Eval("[...document.querySelectorAll('.k')].every(k => { const r = k.getBoundingClientRect();"
                     " return r.width >= 44 && r.height >= 44 && r.right <= window.innerWidth; })")
                    .toBool());
    EXPECT_TRUE(Eval("document.getElementById('p1h').getBoundingClientRect().bottom < window.innerHeight").toBool());
    EXPECT_TRUE(Eval("document.getElementById('p1b3').textContent.includes('LIVE 3')").toBool());

    EXPECT_EQ(PageErrors(), std::vector<std::string>{});
    tools_.Call("Browser.close");
    EXPECT_TRUE(browser_.Wait(15s).has_value());
    driver_.Signal(SIGTERM);
    EXPECT_EQ(driver_.Wait(10s).value_or(-1), 0);
}

}  // namespace
}  // namespace vorn
