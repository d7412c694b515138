#include "transport/serial_panel_link.h"

namespace vorn {

SerialPanelLink::SerialPanelLink(int comPort, std::unique_ptr<SerialPort> port)
    : comPort_(comPort), port_(port ? std::move(port) : std::make_unique<SerialPort>()) {
    port_->SetHandler([this](SerialEvent event, int error) {
        Raise(event == SerialEvent::kDataWaiting ? LinkEvent::kDataWaiting : LinkEvent::kClosed, error);
    });
}

SerialPanelLink::~SerialPanelLink() { port_->SetHandler(nullptr); }

LinkOpen SerialPanelLink::Open() {
    switch (port_->Open(comPort_)) {
        case 1: return LinkOpen::kOpen;
        case -2: return LinkOpen::kInUse;
        default: return LinkOpen::kFailed;
    }
}

}  // namespace vorn
