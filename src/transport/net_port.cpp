#include "transport/net_port.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/seam.h"
#include "transport/host_resolver.h"
#include "transport/socket_ops.h"

// How the port maps socket readiness onto its three events (all on the GUI
// thread, through the seam's level-triggered descriptor watches):
//
//   connecting: a write watch. Write-readiness means the connect finished;
//     SO_ERROR (or the error connect() returned at once) is the error of
//     event 16. On success the write watch is replaced by a read watch.
//   connected:  a read watch. Readiness is told apart without consuming
//     data by peeking at one byte: data -> event 1 (only when the armed mask
//     has 1), end of stream -> event 32 with error 0, socket error (reset,
//     keepalive or user timeout) -> event 32 with the errno.
//
// A read event is re-raised only after the owner has read: when the callback
// returns without calling Receive, or data waits while read events are not
// requested, the read watch is paused (a level-triggered watch would
// otherwise fire without end on the GUI thread) until the next Receive or
// SetNotify. While paused, a close of the peer is noticed at that next call.
//
// The "window" flag stands for the per-port event target that a close event
// or a failed connect drops: the first Connect after that arms with the mask
// 48 (connect and close only), a Connect while it lives arms with eventMask.
//
// A host name (not a dotted address) is looked up off the GUI thread
// (HostResolver): Connect returns 0 at once with the port "resolving", and
// the connect starts when the address arrives. A name that finds no address
// ends as a failed connect (event 16 with EHOSTUNREACH). Texts that no
// lookup can find (empty, too long, the reserved "invalid" domain) still
// make Connect return 1 at once.

namespace vorn {

namespace {

// Live NetPort objects; GUI thread only.
int g_instanceCount = 0;

void NoEvent(NetPort*) {}

}  // namespace

struct NetPort::Impl {
    enum class State {
        kNone,        // no socket
        kIdle,        // socket open, no connect started (name not resolvable)
        kResolving,   // socket open, the host name being looked up
        kConnecting,  // connect under way, write watch armed
        kConnected,   // read watch armed (unless paused)
        kEnding,      // a close or failed connect is being reported
    };

    State state = State::kNone;
    bool window = false;
    int armedMask = 48;
    int pendingConnectError = 0;  // error connect() returned at once
    int readWatch = 0;
    int writeWatch = 0;
    bool readPaused = false;
    HostResolver resolver;
    unsigned receiveCalls = 0;       // Receive calls with a buffer, for pausing
    unsigned connectGeneration = 0;  // bumped by every Connect
    // Cleared by the destructor, so that a dispatch whose callback destroyed
    // the port does not touch it afterwards.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    void DropWatches() {
        if (readWatch != 0) GetSeam().RemoveWatch(readWatch);
        if (writeWatch != 0) GetSeam().RemoveWatch(writeWatch);
        readWatch = writeWatch = 0;
    }

    // Replaces the watches with the ones the state asks for.
    void Arm(NetPort& port) {
        DropWatches();
        NetPort* self = &port;
        if (state == State::kConnecting) {
            writeWatch = GetSeam().AddWatch(port.sock, Seam::Readiness::kWrite,
                                            [self] { self->impl_->OnWritable(*self); });
        } else if (state == State::kConnected && !readPaused) {
            readWatch = GetSeam().AddWatch(port.sock, Seam::Readiness::kRead,
                                           [self] { self->impl_->OnReadable(*self); });
        }
    }

    void PauseRead() {
        readPaused = true;
        if (readWatch != 0) GetSeam().RemoveWatch(readWatch);
        readWatch = 0;
    }

    void ResumeRead(NetPort& port) {
        if (state != State::kConnected || !readPaused) return;
        readPaused = false;
        Arm(port);
    }

    // Closes the socket without any callback.
    void CloseQuietly(NetPort& port) {
        resolver.Cancel();
        DropWatches();
        if (port.sock != kNoSocket) socket_ops::CloseSocket(port.sock);
        port.sock = kNoSocket;
        state = State::kNone;
        readPaused = false;
        pendingConnectError = 0;
    }

    // The connect proper, once the address is known.
    void StartConnecting(NetPort& port, bool portValid) {
        // An impossible port number is reported like any failed connect.
        pendingConnectError = portValid ? socket_ops::StartConnect(port.sock, port.address) : EINVAL;
        state = State::kConnecting;
        readPaused = false;
        Arm(port);
    }

    void OnResolved(NetPort& port, bool found, in_addr address, bool portValid) {
        if (state != State::kResolving) return;
        if (found) {
            port.address.sin_addr = address;
            StartConnecting(port, portValid);
            return;
        }
        state = State::kEnding;
        Report(port, kFdConnect, EHOSTUNREACH);
    }

    void OnWritable(NetPort& port) {
        if (state != State::kConnecting) return;
        int err = pendingConnectError != 0 ? pendingConnectError
                                           : socket_ops::TakeSocketError(port.sock);
        pendingConnectError = 0;
        if (err == 0) {
            // Armed before the callback, so a SetNotify inside it sees the
            // connected state and the write watch cannot fire a second time.
            state = State::kConnected;
            readPaused = false;
            Arm(port);
        } else {
            state = State::kEnding;
            DropWatches();
        }
        Report(port, kFdConnect, err);
    }

    void OnReadable(NetPort& port) {
        if (state != State::kConnected) return;
        int err = 0;
        switch (socket_ops::PeekReadState(port.sock, &err)) {
        case socket_ops::ReadState::kNothing:
            return;  // spurious wake-up; the watch stays
        case socket_ops::ReadState::kData:
            if ((armedMask & kFdRead) == 0) {
                PauseRead();  // resumed by SetNotify or Receive
                return;
            }
            Report(port, kFdRead, 0);
            return;
        case socket_ops::ReadState::kPeerClosed:
            err = 0;
            break;
        case socket_ops::ReadState::kError:
            break;
        }
        state = State::kEnding;
        DropWatches();
        Report(port, kFdClose, err);
    }

    // Calls the owner with one event, then finishes what the event implies.
    // The callback may call Close, Connect, SetNotify, Send or Receive on
    // this port, so every step afterwards re-checks the state.
    void Report(NetPort& port, int event, int error) {
        std::shared_ptr<bool> stillAlive = alive;
        unsigned generation = connectGeneration;
        unsigned reads = receiveCalls;
        port.event = event;
        port.error = error;
        port.callback(&port);
        if (!*stillAlive) return;                    // the owner destroyed the port
        if (generation != connectGeneration) return;  // a new connection: leave it alone
        if (state == State::kEnding) {
            // Close event or failed connect: the socket goes without a
            // second callback, and so does the event target.
            CloseQuietly(port);
            window = false;
            return;
        }
        if (port.sock == kNoSocket) {
            window = false;  // the owner closed the port in its callback
            return;
        }
        if (event == kFdRead && reads == receiveCalls) PauseRead();
    }
};

NetPort::NetPort(void* /*instance*/) : callback(&NoEvent), impl_(new Impl) { ++g_instanceCount; }

NetPort::~NetPort() {
    Close();
    impl_->CloseQuietly(*this);
    *impl_->alive = false;
    delete impl_;
    impl_ = nullptr;
    --g_instanceCount;
}

int NetPort::InstanceCount() { return g_instanceCount; }

int NetPort::Connect(const char* hostText, int port) {
    std::string text = hostText != nullptr ? hostText : "";
    host = text;  // the close callback below already sees the new text
    if (sock != kNoSocket) Close();
    // A Connect made by that close callback is superseded by this one.
    if (sock != kNoSocket) impl_->CloseQuietly(*this);
    host = text;
    ++impl_->connectGeneration;

    sock = socket_ops::OpenStreamSocket();
    if (sock < 0) {
        sock = kNoSocket;
        return -1;
    }
    impl_->state = Impl::State::kIdle;

    address = sockaddr_in{};
    address.sin_family = AF_INET;
    bool portValid = port >= 0 && port <= 65535;
    address.sin_port = htons(static_cast<uint16_t>(portValid ? port : 0));
    const socket_ops::HostKind kind = socket_ops::ClassifyHost(text.c_str(), &address.sin_addr);
    if (kind == socket_ops::HostKind::kNever) return 1;
    if (kind == socket_ops::HostKind::kName) {
        NetPort* self = this;
        const bool started = impl_->resolver.Start(text, [self, portValid](bool found, in_addr a) {
            self->impl_->OnResolved(*self, found, a, portValid);
        });
        if (!started) return 1;  // too many lookups under way: not resolvable now
    }
    impl_->armedMask = impl_->window ? eventMask : 48;
    impl_->window = true;
    if (kind == socket_ops::HostKind::kName) {
        impl_->state = Impl::State::kResolving;
    } else {
        impl_->StartConnecting(*this, portValid);
    }
    return 0;
}

int NetPort::SetNotify(Callback newCallback, int events) {
    if (sock == kNoSocket) return 0;
    eventMask = events | kFdConnect | kFdClose;
    if (impl_->window) {
        impl_->armedMask = eventMask;
        if (impl_->state == Impl::State::kConnected) {
            impl_->readPaused = false;
            impl_->Arm(*this);
        }
    }
    callback = newCallback != nullptr ? newCallback : &NoEvent;
    return 1;
}

int NetPort::Send(const void* data, int len) {
    if (sock == kNoSocket) return -1;
    if (len < 0 || (data == nullptr && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(socket_ops::SendNoSignal(sock, data, static_cast<unsigned long>(len)));
}

int NetPort::Receive(void* buffer, int size) {
    if (sock == kNoSocket) return -1;
    if (buffer == nullptr || size < 0) {
        error = -1;  // nothing to clear
        return 0;
    }
    long n = socket_ops::ReceiveSome(sock, buffer, static_cast<unsigned long>(size));
    if (size > 0) ++impl_->receiveCalls;
    if (n < 0) {
        error = -1;
        std::memset(buffer, 0, static_cast<size_t>(size));
        n = 0;
    } else {
        error = 0;
    }
    impl_->ResumeRead(*this);
    return static_cast<int>(n);
}

bool NetPort::IsConnected() const { return sock != kNoSocket && impl_->state == Impl::State::kConnected; }

void NetPort::Close() {
    if (sock == kNoSocket) return;
    impl_->CloseQuietly(*this);
    if (error == 0 && event != kFdClose) {
        event = kFdClose;
        error = 0;
        callback(this);
    }
}

}  // namespace vorn
