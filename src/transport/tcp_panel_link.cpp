#include "transport/tcp_panel_link.h"

#include <cerrno>

namespace vorn {

TcpPanelLink::TcpPanelLink(std::string host, int port, std::unique_ptr<NetPort> netPort)
    : host_(std::move(host)), portNumber_(port), port_(netPort ? std::move(netPort) : std::make_unique<NetPort>()) {
    port_->owner = this;
    // Set before any connect, so the close of an earlier connection that a
    // new Connect reports reaches this link too.
    port_->callback = &OnPortEvent;
}

TcpPanelLink::~TcpPanelLink() {
    // Before the socket goes: no watch may outlive its descriptor.
    ResetOutput();
    // The port's destructor may still report a close: nobody listens by then.
    port_->callback = [](NetPort*) {};
}

LinkOpen TcpPanelLink::Open() {
    // What waited belongs to the old connection (a new one gets a refresh).
    ResetOutput();
    switch (port_->Connect(host_.c_str(), portNumber_)) {
        case 0:
            port_->SetNotify(&OnPortEvent, NetPort::kFdRead);
            return LinkOpen::kPending;
        case 1:
            return LinkOpen::kNoAddress;
        default:
            return LinkOpen::kFailed;
    }
}

void TcpPanelLink::Close() {
    ResetOutput();
    port_->Close();
}

long TcpPanelLink::LineWrite(const uint8_t* data, size_t size, int* error) {
    const int n = port_->Send(data, static_cast<int>(size));
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    *error = errno;
    return -1;
}

LinkRead TcpPanelLink::Read(uint8_t* buffer, int size, int* got, int* error) {
    *got = 0;
    *error = 0;
    const int n = port_->Receive(buffer, size);
    if (n < 0) {  // no socket
        *error = EBADF;
        return LinkRead::kError;
    }
    if (port_->error != 0) {
        *error = port_->error;
        return LinkRead::kError;
    }
    if (n == 0) return LinkRead::kNothing;  // a close, if that is why, comes as its own event
    *got = n;
    return LinkRead::kData;
}

void TcpPanelLink::OnPortEvent(NetPort* port) {
    auto* link = static_cast<TcpPanelLink*>(port->owner);
    if (link == nullptr) return;
    switch (port->event) {
        case NetPort::kFdConnect:
            if (port->error != 0) link->ResetOutput();
            link->Raise(port->error != 0 ? LinkEvent::kConnectFailed : LinkEvent::kConnected, port->error);
            break;
        case NetPort::kFdRead:
            link->Raise(LinkEvent::kDataWaiting, port->error);
            break;
        case NetPort::kFdClose:
            link->ResetOutput();  // before the port closes the socket
            link->Raise(LinkEvent::kClosed, port->error);
            break;
        default:
            break;  // no other event exists
    }
}

}  // namespace vorn
