#pragma once
// How the Infodriver client answers the Infodriver's mode requests
// (XOV_REQDEVGORXONLY, XOV_REQDEVGOTXRX, XOV_INQDEVGOTXRX). The answer
// depends on the client's current mode alone, and the client never changes
// its mode here: the driver does, through setmode. Pure.

#include <cstdint>
#include <string>

namespace vorn {

class ModeRequestPolicy {
public:
    struct Answer {
        int reply = 0;      // 1 agree, 0 refuse
        int status = -1;    // the client's iStatus for the notification; -1 none
        std::string text;   // the notification's text
    };
    // The answer to request `message` for a client in `mode` serving `device`.
    static Answer Decide(uint32_t message, int mode, int device);
};

}  // namespace vorn
