#pragma once
// Whether a panel counts as connected: decided here and nowhere else. Slot
// 299 of its block, the status view (the chosen panel's connection field and
// the comms summary), the status page, status.json, /metrics and the service
// manager's STATUS= all ask PanelConnectionOf, so no two of them can differ.
//
// A panel counts as connected while its line is up (a TCP connect still
// under way is not) and
//   - on TCP: from the connect, the connection itself showing a peer, for a
//     panel that has never sent an alive message; once it has sent one (on
//     any connection), only while it keeps doing so within
//     PanelSilenceTimeout: on a new connection from its first alive message
//     on (CheckPanelSilence closes a connection that stays silent);
//   - on a serial line: only once the panel has sent an alive message with
//     its own id on the open line, and until it stays silent for
//     PanelSilenceTimeout (CheckPanelSilence marks it down, the port kept
//     open) or a block comes with a line error. An open port proves nothing
//     about what is on its other end, and blocks that carry only other
//     panels' ids make no panel connected.
//
// GUI thread only.

#include <cstdint>
#include <string>

namespace vorn {

enum class PanelLinkState : uint8_t {
    kUnused,      // not configured
    kDown,        // no line: not opened (yet), failed, closed, or the driver is not main
    kConnecting,  // TCP connect under way
    kUnheard,     // line up, the panel not heard from on it (yet, or since it fell silent)
    kHeard,       // line up, and alive messages come
};

struct PanelConnection {
    PanelLinkState state = PanelLinkState::kUnused;
    bool connected = false;              // "1" in slot 299
    const char* words = "No Connection";  // the status view's words: "Connected OK", "No Response yet"
    std::string why;                      // unless heard from: why, in a few words for the status page
};

PanelConnection PanelConnectionOf(int panel);

// Writes the panel's state into slot 299 ("1" connected, else "0"); only a
// change reaches the Infodriver (updateslot). Called wherever the state may
// have changed.
void PublishPanelConnection(int panel);

// Configured panels that count as connected.
int ConnectedPanelCount();

}  // namespace vorn
