#include "service/status_http_server.h"

#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "service/http_request_guard.h"
#include "service/live_faces.h"
#include "service/status_render.h"
#include "service/support_bundle.h"

namespace vorn {

namespace {

// How long a refused connection may still send (read and dropped) before it
// is cut, so that the error answer is not lost to a reset.
constexpr int kLingerMs = 2000;
// The bundle is made while it is read: raw archive bytes per step, and what
// may wait in the socket before the next step.
constexpr std::size_t kBundleStepBytes = 128 * 1024;
constexpr qint64 kBundleWaiting = 256 * 1024;
// A bundle's client that takes nothing for this long is cut off (its files
// are closed with the connection).
constexpr int kBundleStallMs = 60000;

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

std::string Header(const QHttpServerRequest& request, const char* name) {
    for (const auto& [key, value] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) return value.toStdString();
    }
    return {};
}

// The client address as one text per client (an IPv4 client on an IPv6
// socket counts as that IPv4 address).
QString ClientKey(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

std::string HostText(const QHostAddress& address) {
    QString text = address.toString().toLower();
    if (const int scope = text.indexOf('%'); scope >= 0) text.truncate(scope);
    return text.toStdString();
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

// A plain error answer; allow: the Allow header of a 405 ("" none).
HttpAnswer ErrorAnswer(int status, const char* allow) {
    HttpAnswer answer;
    answer.status = status;
    answer.contentType = "text/plain; charset=utf-8";
    answer.body = std::to_string(status) + " " + HttpReason(status) + "\n";
    answer.headers.emplace_back("Cache-Control", "no-store");
    if (allow[0] != '\0') answer.headers.emplace_back("Allow", allow);
    return answer;
}

// What the server keeps per connection, as a child of its socket.
class Connection : public QObject {
public:
    explicit Connection(QTcpSocket* socket) : QObject(socket) {
        setObjectName(kName);
        deadline.setSingleShot(true);
        deadline.setInterval(StatusHttpServer::kIdleTimeoutMs);
    }
    // Found by its name: the class has no meta-object of its own to be told
    // apart from the socket's other children by type.
    static Connection* Of(QTcpSocket* socket) {
        return static_cast<Connection*>(socket->findChild<QObject*>(kName, Qt::FindDirectChildrenOnly));
    }
    static constexpr char kName[] = "vorn-status-connection";

    HttpRequestGuard guard;
    QTimer deadline{this};
    bool streaming = false;  // an answer that runs until the server ends it
};

}  // namespace

// Accepts connections for the HTTP server within the bounds above; every
// socket it hands on is watched by a guard that runs before the parser
// (its readyRead connection is made first, so it is called first).
class StatusHttpServer::GuardedTcpServer : public QTcpServer {
public:
    explicit GuardedTcpServer(QObject* parent) : QTcpServer(parent) {}
    int served = 0;  // connections handed to the parser and still open
    int alive = 0;   // every socket of this server still open, refused ones too
    QHash<QString, int> perClient;  // served connections by client address

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
        const QString client = ClientKey(socket->peerAddress());
        if (served >= kMaxConnections || perClient.value(client) >= kMaxPerClient) {
            Refuse(socket, served >= kMaxConnections ? 503 : 429);
            return;
        }
        ++served;
        ++perClient[client];
        connect(socket, &QObject::destroyed, this, [this, client] {
            --served;
            if (--perClient[client] <= 0) perClient.remove(client);
        });
        auto* state = new Connection(socket);
        connect(&state->deadline, &QTimer::timeout, socket, [socket, state] {
            if (state->guard.InRequest()) {
                Refuse(socket, 408);
            } else {
                socket->abort();  // idle: closed without a word, as keep-alive ends
            }
        });
        state->deadline.start();
        connect(socket, &QTcpSocket::readyRead, socket, [socket, state] {
            if (state->streaming) {  // a stream's client has nothing more to say
                socket->skip(socket->bytesAvailable());
                return;
            }
            if (socket->bytesToWrite() > kMaxBacklog) {
                socket->abort();
                return;
            }
            const QByteArray bytes = socket->peek(socket->bytesAvailable());
            const HttpRequestGuard::Result result =
                state->guard.Feed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
            if (result.status != 0) {
                Refuse(socket, result.status);
                return;
            }
            if (result.completed > 0) state->deadline.start();
        });
        addPendingConnection(socket);
    }
};

StatusHttpServer::StatusHttpServer(SnapshotFn takeSnapshot, QObject* parent)
    : QAbstractHttpServer(parent), takeSnapshot_(std::move(takeSnapshot)), live_(new LiveFaces(takeSnapshot_, this)) {}

StatusHttpServer::~StatusHttpServer() = default;

bool StatusHttpServer::Start(const QString& address, quint16 port, const std::string& token,
                             const std::vector<std::string>& extraHosts, QString* error) {
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
    rules_.token = token;
    rules_.hosts = extraHosts;
    const bool wildcard = host == QHostAddress::Any || host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6;
    if (wildcard) {
        for (const QHostAddress& a : QNetworkInterface::allAddresses()) rules_.hosts.push_back(HostText(a));
    } else {
        rules_.hosts.push_back(HostText(host));
    }
    if (wildcard || host.isLoopback()) rules_.hosts.push_back("localhost");
    bind(tcp);
    return true;
}

int StatusHttpServer::openConnections() const { return tcp_ != nullptr ? tcp_->alive : 0; }

bool StatusHttpServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const char* method = MethodName(request.method());
    const std::string path = request.url().path(QUrl::FullyEncoded).toStdString();
    const QUrlQuery query(request.url());
    Connection* state = Connection::Of(socket);
    const std::string connectionHeader = QByteArray::fromStdString(Header(request, "connection")).toLower().toStdString();
    const bool close = connectionHeader.find("close") != std::string::npos ||
                       (state != nullptr && state->guard.spokeHttp10() &&
                        connectionHeader.find("keep-alive") == std::string::npos);

    // The host as the page's addresses are written (an IP address in its
    // canonical form).
    std::string host = HostOfHeader(Header(request, "host"));
    if (QHostAddress literal; literal.setAddress(QString::fromStdString(host))) host = HostText(literal);
    const std::string authorization = Header(request, "authorization");
    const std::string cookie = Header(request, "cookie");
    const std::string queryToken = query.queryItemValue("token", QUrl::FullyDecoded).toStdString();
    AccessRequest access{path, host, authorization, cookie, query.hasQueryItem("token"), queryToken};
    const AccessDecision decision = CheckAccess(rules_, access);

    HttpAnswer answer;
    if (decision.status != 0) {
        answer = ErrorAnswer(decision.status, "");
        answer.headers.insert(answer.headers.end(), decision.headers.begin(), decision.headers.end());
    } else if (path == "/events" && std::string_view(method) == "GET" && state != nullptr) {
        const QString panelText = query.queryItemValue("panel");
        const int panel = panelText.isEmpty() ? 0 : PanelPagePath("/panels/" + panelText.toStdString());
        if (panel == 0 && !panelText.isEmpty()) {
            answer = ErrorAnswer(404, "");
        } else {
            state->streaming = true;
            state->deadline.stop();
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                          "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
            // The kernel keeps little for a client that does not read, so
            // that the live channel sees it stall (and coalesces) early.
            socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, static_cast<int>(LiveFaces::kHighWater));
            live_->AddClient(socket, panel);
            return true;
        }
    } else if (path == "/support.tar.gz" && (std::string_view(method) == "GET" || std::string_view(method) == "HEAD") &&
               state != nullptr) {
        state->streaming = true;
        state->deadline.stop();
        StreamBundle(socket, std::string_view(method) == "HEAD");
        return true;
    } else {
        answer = path == "/events"           ? ErrorAnswer(405, "GET")
                 : path == "/support.tar.gz" ? ErrorAnswer(405, "GET, HEAD")
                                             : AnswerStatusRequest(method, path, takeSnapshot_);
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.status));
    if (!answer.contentType.empty()) responder.writeHeader("Content-Type", QByteArray::fromStdString(answer.contentType));
    for (const auto& [name, value] : answer.headers) {
        responder.writeHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    if (close) responder.writeHeader("Connection", "close");
    responder.writeHeader("Content-Length", QByteArray::number(static_cast<qulonglong>(answer.body.size())));
    // HEAD: the length of the page, not the page.
    responder.writeBody(std::string_view(method) == "HEAD" ? QByteArray() : QByteArray::fromStdString(answer.body));
    if (close) socket->disconnectFromHost();  // once the answer is out
    return true;
}

void StatusHttpServer::StreamBundle(QTcpSocket* socket, bool headOnly) {
    const std::time_t now = std::time(nullptr);
    SupportBundleParts parts;
    parts.device = DeviceNumber;
    parts.live = true;
    parts.now = now;
    if (!headOnly) {
        parts.statusJson = RenderStatusJson(takeSnapshot_());
        parts.trafficText = RenderTrafficText(DeviceNumber);
    }
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/gzip\r\nContent-Disposition: attachment; "
                             "filename=\"" + SupportBundleName(DeviceNumber, now) +
                             "\"\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    socket->write(head.data(), static_cast<qint64>(head.size()));
    if (headOnly) {
        socket->disconnectFromHost();
        return;
    }
    std::shared_ptr<TarGzStream> tar = MakeSupportBundle(parts);
    auto* stall = new QTimer(socket);
    stall->setSingleShot(true);
    connect(stall, &QTimer::timeout, socket, &QTcpSocket::abort);
    const auto pump = [socket, tar, stall] {
        stall->start(kBundleStallMs);
        if (tar->finished() || socket->bytesToWrite() >= kBundleWaiting) return;
        std::string out;
        bool more = true;
        while (out.empty() && more) more = tar->Produce(&out, kBundleStepBytes);  // deflate may hold a step back
        socket->write(out.data(), static_cast<qint64>(out.size()));
        if (!more) socket->disconnectFromHost();  // after the last byte
    };
    connect(socket, &QIODevice::bytesWritten, socket, pump);
    pump();
}

void StatusHttpServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

StatusPageConfig StatusPageConfigFromSettings() {
    StatusPageConfig c;
    c.port = Settings.StatusHttpPort;
    c.address = Settings.StatusHttpAddress;
    c.token = Settings.StatusHttpToken;
    c.hosts = Settings.StatusHttpHosts;
    return c;
}

StatusPage::StatusPage(StatusHttpServer::SnapshotFn takeSnapshot) : takeSnapshot_(std::move(takeSnapshot)) {}
StatusPage::~StatusPage() = default;

void StatusPage::Apply(const StatusPageConfig& config) {
    if (config == applied_ && (server_ || config.port == 0)) return;
    const bool wasOn = server_ != nullptr;
    server_.reset();  // closes every connection of the page
    applied_ = config;
    const int port = config.port;
    const std::string& address = config.address;
    if (port == 0) {
        if (wasOn) {
            DebugMessage("Status page off");
            std::fprintf(stderr, "pellax-panel: status page off\n");
        }
        return;
    }
    if (port < 0 || port > 65535) {
        DebugMessage("Status page - StatusHttpPort %d is not a port (1..65535), page off", port);
        std::fprintf(stderr, "pellax-panel: StatusHttpPort %d is not a port (1..65535), status page off\n", port);
        return;
    }
    std::string why;
    if (!TokenUsable(config.token, &why)) {
        DebugMessage("Status page - %s, page off", why.c_str());
        std::fprintf(stderr, "pellax-panel: %s, status page off\n", why.c_str());
        return;
    }
    const QHostAddress host(QString::fromStdString(address));
    if (!host.isNull() && !host.isLoopback() && config.token.empty()) {
        DebugMessage("Status page - StatusHttpAddress %s is not a loopback address and StatusHttpToken is empty, page off",
                     address.c_str());
        std::fprintf(stderr,
                     "pellax-panel: status page refused: StatusHttpAddress %s is not a loopback address and "
                     "StatusHttpToken is empty (set a token, or listen on 127.0.0.1)\n",
                     address.c_str());
        return;
    }
    auto server = std::make_unique<StatusHttpServer>(takeSnapshot_);
    QString error;
    if (!server->Start(QString::fromStdString(address), static_cast<quint16>(port), config.token,
                       SplitHostList(config.hosts), &error)) {
        DebugMessage("Status page - cannot listen on %s port %d: %s", address.c_str(), port,
                     error.toStdString().c_str());
        std::fprintf(stderr, "pellax-panel: status page cannot listen on %s port %d: %s\n", address.c_str(), port,
                     error.toStdString().c_str());
        return;
    }
    const std::string shown = host.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address + "]" : address;
    const std::string where = "http://" + shown + ":" + std::to_string(server->port()) + "/";
    const std::string token = config.token.empty() ? "" : " (token required)";
    if (!config.token.empty() && config.token.size() < 16) {
        DebugMessage("Status page - StatusHttpToken is shorter than 16 characters");
        std::fprintf(stderr, "pellax-panel: StatusHttpToken is shorter than 16 characters\n");
    }
    DebugMessage("Status page on %s%s", where.c_str(), token.c_str());
    std::fprintf(stderr, "pellax-panel: status page on %s%s\n", where.c_str(), token.c_str());
    server_ = std::move(server);
}

}  // namespace vorn
