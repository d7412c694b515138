#include "service/status_http_server.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/diagnostics.h"
#include "service/http_request_guard.h"
#include "service/status_render.h"

namespace vorn {

namespace {

// How long a refused connection may still send (read and dropped) before it
// is cut, so that the error answer is not lost to a reset.
constexpr int kLingerMs = 2000;

const char* MethodName(QHttpServerRequest::Method method) {
    switch (method) {
        case QHttpServerRequest::Method::Get: return "GET";
        case QHttpServerRequest::Method::Head: return "HEAD";
        case QHttpServerRequest::Method::Post: return "POST";
        case QHttpServerRequest::Method::Put: return "PUT";
        case QHttpServerRequest::Method::Delete: return "DELETE";
        case QHttpServerRequest::Method::Options: return "OPTIONS";
        case QHttpServerRequest::Method::Patch: return "PATCH";
        default: return "OTHER";
    }
}

// Answers with status, closes the sending side and drops whatever the
// client still sends until it closes or kLingerMs pass. The HTTP parser no
// longer sees the connection.
void Refuse(QTcpSocket* socket, int status) {
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const std::string body = std::to_string(status) + " " + HttpReason(status) + "\n";
    const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + HttpReason(status) +
                               "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    socket->write(answer.data(), static_cast<qint64>(answer.size()));
    socket->flush();
    if (socket->bytesToWrite() == 0 && socket->socketDescriptor() >= 0) {
        ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    } else {
        socket->disconnectFromHost();
    }
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
    socket->skip(socket->bytesAvailable());
    QTimer::singleShot(kLingerMs, socket, [socket] { socket->abort(); });
}

}  // namespace

// Accepts connections for the HTTP server within the bounds above; every
// socket it hands on is watched by a guard that runs before the parser
// (its readyRead connection is made first, so it is called first).
class StatusHttpServer::GuardedTcpServer : public QTcpServer {
public:
    explicit GuardedTcpServer(QObject* parent) : QTcpServer(parent) {}
    int served = 0;  // connections handed to the parser and still open
    int alive = 0;   // every socket of this server still open, refused ones too

protected:
    void incomingConnection(qintptr handle) override {
        if (alive >= 2 * kMaxConnections) {  // not even an answer
            ::close(static_cast<int>(handle));
            return;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            ::close(static_cast<int>(handle));
            delete socket;
            return;
        }
        ++alive;
        connect(socket, &QObject::destroyed, this, [this] { --alive; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (served >= kMaxConnections) {
            Refuse(socket, 503);
            return;
        }
        ++served;
        connect(socket, &QObject::destroyed, this, [this] { --served; });
        auto guard = std::make_shared<HttpRequestGuard>();
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, [socket, guard] {
            if (guard->InRequest()) {
                Refuse(socket, 408);
            } else {
                socket->abort();  // idle: closed without a word, as keep-alive ends
            }
        });
        deadline->start(kIdleTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, socket, [socket, guard, deadline] {
            if (socket->bytesToWrite() > kMaxBacklog) {
                socket->abort();
                return;
            }
            const QByteArray bytes = socket->peek(socket->bytesAvailable());
            const HttpRequestGuard::Result result =
                guard->Feed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
            if (result.status != 0) {
                Refuse(socket, result.status);
                return;
            }
            if (result.completed > 0) deadline->start(kIdleTimeoutMs);
        });
        addPendingConnection(socket);
    }
};

StatusHttpServer::StatusHttpServer(SnapshotFn takeSnapshot, QObject* parent)
    : QAbstractHttpServer(parent), takeSnapshot_(std::move(takeSnapshot)) {}

StatusHttpServer::~StatusHttpServer() = default;

bool StatusHttpServer::Start(const QString& address, quint16 port, QString* error) {
    QHostAddress host;
    if (!host.setAddress(address)) {
        if (error != nullptr) *error = QStringLiteral("'%1' is not an IP address").arg(address);
        return false;
    }
    auto* tcp = new GuardedTcpServer(this);
    tcp->setMaxPendingConnections(kMaxConnections);
    if (!tcp->listen(host, port)) {
        if (error != nullptr) *error = tcp->errorString();
        delete tcp;
        return false;
    }
    tcp_ = tcp;
    port_ = tcp->serverPort();
    bind(tcp);
    return true;
}

int StatusHttpServer::openConnections() const { return tcp_ != nullptr ? tcp_->alive : 0; }

bool StatusHttpServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const char* method = MethodName(request.method());
    const std::string path = request.url().path(QUrl::FullyEncoded).toStdString();
    const HttpAnswer answer = AnswerStatusRequest(method, path, takeSnapshot_);
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.status));
    if (!answer.contentType.empty()) responder.writeHeader("Content-Type", QByteArray::fromStdString(answer.contentType));
    for (const auto& [name, value] : answer.headers) {
        responder.writeHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    responder.writeHeader("Content-Length", QByteArray::number(static_cast<qulonglong>(answer.body.size())));
    // HEAD: the length of the page, not the page.
    responder.writeBody(std::string_view(method) == "HEAD" ? QByteArray() : QByteArray::fromStdString(answer.body));
    return true;
}

void StatusHttpServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

std::unique_ptr<StatusHttpServer> StartStatusPage(int port, const std::string& address,
                                                  StatusHttpServer::SnapshotFn takeSnapshot) {
    if (port == 0) return nullptr;
    if (port < 0 || port > 65535) {
        DebugMessage("Status page - StatusHttpPort %d is not a port (1..65535), page off", port);
        std::fprintf(stderr, "pellax-panel: StatusHttpPort %d is not a port (1..65535), status page off\n", port);
        return nullptr;
    }
    auto server = std::make_unique<StatusHttpServer>(std::move(takeSnapshot));
    QString error;
    if (!server->Start(QString::fromStdString(address), static_cast<quint16>(port), &error)) {
        DebugMessage("Status page - cannot listen on %s port %d: %s", address.c_str(), port,
                     error.toStdString().c_str());
        std::fprintf(stderr, "pellax-panel: status page cannot listen on %s port %d: %s\n", address.c_str(), port,
                     error.toStdString().c_str());
        return nullptr;
    }
    const QHostAddress host(QString::fromStdString(address));
    const std::string shown = host.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address + "]" : address;
    DebugMessage("Status page on http://%s:%d/", shown.c_str(), static_cast<int>(server->port()));
    std::fprintf(stderr, "pellax-panel: status page on http://%s:%d/\n", shown.c_str(), static_cast<int>(server->port()));
    return server;
}

}  // namespace vorn
