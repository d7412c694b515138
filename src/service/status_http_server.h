#pragma once
// The status page over HTTP: Qt's HTTP server on the GUI thread's event
// loop (no threads). It answers "/", "/panels/N", "/status.json",
// "/metrics" and the page's script and icon from a snapshot taken per
// request (status_render.h), streams "/events" (live_faces.h) and
// "/support.tar.gz" (support_bundle.h), and applies the access rules
// (status_access.h) to every request first.
//
// Bounds, since anybody who reaches the port may connect:
//   - at most kMaxConnections at once, and kMaxPerClient from one client
//     address; a further one gets 503 (429 for the client limit) and is
//     closed, while the others are still served;
//   - every request passes an HttpRequestGuard first (head and body size,
//     well-formed request lines; an error status and the connection closed
//     otherwise);
//   - a connection that has not finished a request within kIdleTimeoutMs of
//     its start or of its last request is closed (408 when one has begun);
//     one that asked "Connection: close" (or spoke HTTP/1.0 without
//     keep-alive) is closed after its answer;
//   - a client that does not read its answers is cut off once kMaxBacklog
//     bytes wait to be sent to it; a stream waits for its client instead
//     (the live channel coalesces, the bundle is made as it is read).
// GUI thread only.

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/status_access.h"
#include "service/status_snapshot.h"

class QTcpSocket;

namespace vorn {

class LiveFaces;

class StatusHttpServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    static constexpr int kMaxConnections = 32;
    static constexpr int kMaxPerClient = 4;
    static constexpr int kIdleTimeoutMs = 10000;
    static constexpr qint64 kMaxBacklog = 1 << 20;

    using SnapshotFn = std::function<StatusSnapshot()>;
    explicit StatusHttpServer(SnapshotFn takeSnapshot, QObject* parent = nullptr);
    ~StatusHttpServer() override;

    // Listens on address:port (port 0: any free port). False, with the
    // reason in *error, when the address does not parse or the port cannot
    // be had. The Host names the page answers are this address (every
    // local address for a wildcard), "localhost" when it includes
    // loopback, and extraHosts.
    bool Start(const QString& address, quint16 port, const std::string& token,
               const std::vector<std::string>& extraHosts, QString* error);
    quint16 port() const { return port_; }
    int openConnections() const;
    LiveFaces& live() { return *live_; }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    class GuardedTcpServer;
    void StreamBundle(QTcpSocket* socket, bool headOnly);

    SnapshotFn takeSnapshot_;
    GuardedTcpServer* tcp_ = nullptr;
    LiveFaces* live_ = nullptr;
    AccessRules rules_;
    quint16 port_ = 0;
};

// The status page keys of the settings.
struct StatusPageConfig {
    int port = 0;                // 0: off
    std::string address = "127.0.0.1";
    std::string token;
    std::string hosts;           // StatusHttpHosts
    bool operator==(const StatusPageConfig&) const = default;
};
StatusPageConfig StatusPageConfigFromSettings();

// The status page as the settings ask for it. Apply runs at start and is
// the entry point for a reload: it starts, restarts (any key changed) or
// stops the page, and says where it listens or why it does not in a debug
// line and on standard error. A page on an address that is not loopback
// without a token is refused: the rest of the driver runs on.
class StatusPage {
public:
    explicit StatusPage(StatusHttpServer::SnapshotFn takeSnapshot);
    ~StatusPage();
    void Apply(const StatusPageConfig& config);
    StatusHttpServer* server() { return server_.get(); }

private:
    StatusHttpServer::SnapshotFn takeSnapshot_;
    StatusPageConfig applied_;
    std::unique_ptr<StatusHttpServer> server_;
};

}  // namespace vorn
