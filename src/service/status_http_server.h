#pragma once
// The read-only status page over HTTP: Qt's HTTP server on the GUI thread's
// event loop (no threads), answering "/", "/status.json" and "/metrics" from
// a snapshot taken per request (status_render.h does the rest).
//
// Bounds, since anybody who reaches the port may connect:
//   - at most kMaxConnections at once; a further one gets 503 and is closed;
//   - every request passes an HttpRequestGuard first (head and body size,
//     well-formed request lines; an error status and the connection closed
//     otherwise);
//   - a connection that has not finished a request within kIdleTimeoutMs of
//     its start or of its last request is closed (408 when one has begun);
//   - a client that does not read its answers is cut off once kMaxBacklog
//     bytes wait to be sent to it.
// GUI thread only.

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "service/status_snapshot.h"

class QTcpSocket;

namespace vorn {

class StatusHttpServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    static constexpr int kMaxConnections = 16;
    static constexpr int kIdleTimeoutMs = 10000;
    static constexpr qint64 kMaxBacklog = 1 << 20;

    using SnapshotFn = std::function<StatusSnapshot()>;
    explicit StatusHttpServer(SnapshotFn takeSnapshot, QObject* parent = nullptr);
    ~StatusHttpServer() override;

    // Listens on address:port (port 0: any free port). False, with the
    // reason in *error, when the address does not parse or the port cannot
    // be had.
    bool Start(const QString& address, quint16 port, QString* error);
    quint16 port() const { return port_; }
    int openConnections() const;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    class GuardedTcpServer;
    SnapshotFn takeSnapshot_;
    GuardedTcpServer* tcp_ = nullptr;
    quint16 port_ = 0;
};

// Starts the status page when the settings ask for it (StatusHttpPort > 0)
// and says where it listens, or why it does not, in a debug line and on
// standard error. Null when it is off or could not start.
std::unique_ptr<StatusHttpServer> StartStatusPage(int port, const std::string& address,
                                                  StatusHttpServer::SnapshotFn takeSnapshot);

}  // namespace vorn
