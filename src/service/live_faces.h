#pragma once
// The live channel of the status page: Server-Sent Events on /events. The
// driver's code is not told about changes; instead, while at least one page
// listens, a tick every kTickMs on the GUI thread takes a snapshot and
// compares it with the last one (ChangedFaceParts), which is cheap next to
// the frames that caused the changes. The cards and the table of panels are
// compared once a second.
//
// Each client has a FaceBacklog: parts coalesce there until the client's
// socket can take more. A client is written to only while less than
// kHighWater bytes wait in its socket, so a slow or paused browser costs
// that, one batch and a few hundred bytes of backlog, never a wait:
//   - stalled kWholeAfterTicks ticks in a row: its backlog turns into the
//     whole picture (sent when it drains),
//   - stalled kDropAfterTicks ticks in a row: cut off (a browser that comes
//     back reconnects by itself and gets the whole picture).
// Each event is one line of data:
//   event: part / data: <id> <html>     replace the element with that id
//   event: all  / data: <html>          the whole content of <main>
// A comment line every kKeepAliveTicks keeps idle connections known alive.
// GUI thread only.

#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/face_backlog.h"
#include "service/status_snapshot.h"

namespace vorn {

class LiveFaces : public QObject {
    Q_OBJECT

public:
    static constexpr int kTickMs = 20;
    static constexpr int kSummaryTicks = 50;          // cards and table: once a second
    static constexpr qint64 kHighWater = 64 * 1024;   // bytes waiting in a client's socket
    static constexpr int kWholeAfterTicks = 100;      // 2 s stalled
    static constexpr int kDropAfterTicks = 3000;      // 60 s stalled
    static constexpr int kKeepAliveTicks = 750;       // 15 s

    using SnapshotFn = std::function<StatusSnapshot()>;
    explicit LiveFaces(SnapshotFn takeSnapshot, QObject* parent = nullptr);
    ~LiveFaces() override;

    // Takes a socket whose answer head has been written, as a client of the
    // page of panel (0: the page "/"). It gets the whole picture at once.
    void AddClient(QTcpSocket* socket, int panel);
    int clients() const { return static_cast<int>(clients_.size()); }

    // Tests tick by hand: the timer no longer runs by itself.
    void SetManualTicks(bool manual);
    // One tick: compare, note changes in every backlog, write to every
    // client that can take it.
    void Tick();

    struct ClientState {
        qint64 waitingBytes = 0;  // in the socket
        std::size_t pendingParts = 0;
        bool whole = false;
        int stalledTicks = 0;
    };
    std::vector<ClientState> Clients() const;

private:
    struct Client;
    void Flush(Client& client);
    void Forget(QTcpSocket* socket);

    SnapshotFn takeSnapshot_;
    StatusSnapshot current_;
    std::string cards_;
    std::string table_;
    int summaryTicks_ = 0;
    bool manual_ = false;
    QTimer timer_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace vorn
