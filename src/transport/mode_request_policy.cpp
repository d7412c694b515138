#include "transport/mode_request_policy.h"

#include "transport/extinfo.h"
#include "transport/info_frame.h"

namespace vorn {

namespace {

// "<request> Device=<device> Mode=<name> ~ <verdict>".
std::string Line(const char* request, int device, int mode, const char* verdict) {
    return std::string(request) + " Device=" + std::to_string(static_cast<unsigned>(device)) + " Mode=" +
           InfoModeName(mode) + " ~ " + verdict;
}

}  // namespace

ModeRequestPolicy::Answer ModeRequestPolicy::Decide(uint32_t message, int mode, int device) {
    const bool goRx = message == XOV_REQDEVGORXONLY;
    const bool goTx = message == XOV_REQDEVGOTXRX;
    Answer a;
    switch (mode) {
        case IFMODE_NONE:
        case IFMODE_RXONLY:
        case IFMODE_RXONLYBROKEN:
            if (goRx) {
                a = {1, kInfoReqRxOnly,
                     Line("XOV_REQDEVGORXONLY", device, mode, "Accepting request to go RX Only")};
            } else if (goTx) {
                // An instance without a mode does not take the main role.
                if (mode != IFMODE_NONE) {
                    a = {1, kInfoReqTxRx, Line("XOV_REQDEVGOTXRX", device, mode, "Accepting request to go TXRX")};
                }
            } else {
                a = {0, kInfoInquiry, Line("XOV_INQDEVGOTXRX", device, mode, "Denying inquiry to go TXRX")};
            }
            break;
        case IFMODE_TXRX:
        case IFMODE_FORCETXRX:
        case IFMODE_TXRXINQ:
            if (goRx) {
                // A refused RX-only request reads as "stay (go) TXRX".
                a = {0, kInfoReqTxRx, Line("XOV_REQDEVGORXONLY", device, mode, "Denying request to go RX Only")};
            } else if (goTx) {
                a = {1, kInfoReqTxRx, Line("XOV_REQDEVGOTXRX", device, mode, "Accepting request to go TXRX")};
            } else {
                a = {1, kInfoInquiry, Line("XOV_INQDEVGOTXRX", device, mode, "Accepting inquiry to go TXRX")};
            }
            break;
        case 6:
        case 7:  // shutting down: agree to everything
            a.reply = 1;
            if (goRx) {
                a = {1, kInfoReqRxOnly, "Accepting request to go RX Only"};
            } else if (goTx) {
                a = {1, kInfoReqTxRx, "Accepting request to go TXRX"};
            }
            break;
        default:
            a.reply = goRx ? 1 : 0;
            break;
    }
    return a;
}

}  // namespace vorn
