#include "service/live_faces.h"

#include <algorithm>

#include "service/panel_faces.h"
#include "service/status_render.h"

namespace vorn {

namespace {

// Event data is one line: line ends inside the HTML become blanks.
void AppendEvent(std::string& out, const char* event, const std::string& prefix, const std::string& html) {
    out += "event: ";
    out += event;
    out += "\ndata: ";
    out += prefix;
    const std::size_t at = out.size();
    out += html;
    std::replace_if(out.begin() + static_cast<std::ptrdiff_t>(at), out.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    out += "\n\n";
}

}  // namespace

struct LiveFaces::Client {
    Client(QTcpSocket* s, int panel) : socket(s), backlog(panel) {}
    QPointer<QTcpSocket> socket;
    FaceBacklog backlog;
    int stalledTicks = 0;
    int quietTicks = 0;
};

LiveFaces::LiveFaces(SnapshotFn takeSnapshot, QObject* parent)
    : QObject(parent), takeSnapshot_(std::move(takeSnapshot)) {
    timer_.setInterval(kTickMs);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &LiveFaces::Tick);
}

LiveFaces::~LiveFaces() = default;

void LiveFaces::SetManualTicks(bool manual) {
    manual_ = manual;
    if (manual_) timer_.stop();
    if (!manual_ && !clients_.empty()) timer_.start();
}

void LiveFaces::AddClient(QTcpSocket* socket, int panel) {
    if (clients_.empty()) {
        // The last picture may be old: start from now.
        current_ = takeSnapshot_();
        cards_ = RenderStatusCards(current_);
        table_ = RenderPanelTable(current_);
        if (!manual_) timer_.start();
    }
    clients_.push_back(std::make_unique<Client>(socket, panel));
    Client& client = *clients_.back();
    connect(socket, &QObject::destroyed, this, [this, socket] { Forget(socket); });
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { Forget(socket); });
    // A client that drains gets what waits for it at once, not a tick later.
    connect(socket, &QIODevice::bytesWritten, this, [this, socket] {
        for (auto& c : clients_) {
            if (c->socket == socket && !c->backlog.empty() && socket->bytesToWrite() < kHighWater) Flush(*c);
        }
    });
    socket->write("retry: 2000\n\n");
    client.backlog.MarkWhole();
    Flush(client);
}

void LiveFaces::Forget(QTcpSocket* socket) {
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [socket](const std::unique_ptr<Client>& c) { return c->socket.isNull() || c->socket == socket; }),
                   clients_.end());
    if (clients_.empty()) timer_.stop();
}

void LiveFaces::Flush(Client& client) {
    QTcpSocket* socket = client.socket;
    if (socket == nullptr || client.backlog.empty()) return;
    bool whole = false;
    const std::vector<FacePart> parts = client.backlog.Take(&whole);
    const int panel = client.backlog.panel();
    std::string out;
    if (whole) {
        AppendEvent(out, "all", "", RenderStatusMain(current_, panel));
    } else {
        for (const FacePart& part : parts) {
            AppendEvent(out, "part", FacePartId(part) + " ", RenderFacePart(current_, part, panel != 0));
        }
    }
    socket->write(out.data(), static_cast<qint64>(out.size()));
    client.quietTicks = 0;
}

void LiveFaces::Tick() {
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [](const std::unique_ptr<Client>& c) { return c->socket.isNull(); }),
                   clients_.end());
    if (clients_.empty()) {
        timer_.stop();
        return;
    }
    StatusSnapshot next = takeSnapshot_();
    bool whole = false;
    std::vector<FacePart> parts = ChangedFaceParts(current_, next, &whole);
    if (++summaryTicks_ >= kSummaryTicks) {
        summaryTicks_ = 0;
        std::string cards = RenderStatusCards(next);
        std::string table = RenderPanelTable(next);
        if (cards != cards_) parts.push_back({FacePart::kCards, 0, 0});
        if (table != table_) parts.push_back({FacePart::kTable, 0, 0});
        cards_ = std::move(cards);
        table_ = std::move(table);
    }
    current_ = std::move(next);
    // Flushing may cut a client off (and so change clients_): work on a copy
    // of the sockets.
    std::vector<QPointer<QTcpSocket>> sockets;
    for (auto& c : clients_) sockets.push_back(c->socket);
    for (const QPointer<QTcpSocket>& socket : sockets) {
        auto it = std::find_if(clients_.begin(), clients_.end(), [&](const auto& c) { return c->socket == socket; });
        if (socket.isNull() || it == clients_.end()) continue;
        Client& c = **it;
        if (whole) {
            c.backlog.MarkWhole();
        } else {
            for (const FacePart& part : parts) c.backlog.Mark(part);
        }
        if (socket->bytesToWrite() >= kHighWater) {
            ++c.stalledTicks;
            if (c.stalledTicks == kWholeAfterTicks) c.backlog.MarkWhole();
            if (c.stalledTicks >= kDropAfterTicks) socket->abort();
            continue;
        }
        c.stalledTicks = 0;
        if (!c.backlog.empty()) {
            Flush(c);
        } else if (++c.quietTicks >= kKeepAliveTicks) {
            socket->write(": alive\n\n");
            c.quietTicks = 0;
        }
    }
}

std::vector<LiveFaces::ClientState> LiveFaces::Clients() const {
    std::vector<ClientState> out;
    for (const auto& c : clients_) {
        ClientState s;
        s.waitingBytes = c->socket.isNull() ? 0 : c->socket->bytesToWrite();
        s.pendingParts = c->backlog.pending();
        s.whole = c->backlog.whole();
        s.stalledTicks = c->stalledTicks;
        out.push_back(s);
    }
    return out;
}

}  // namespace vorn
