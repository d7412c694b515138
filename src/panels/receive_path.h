#pragma once
// Receive path: the events of the panels' links become changes of the panel
// table and of the Infodriver slots. GUI thread only.

#include <cstddef>
#include <cstdint>

#include "transport/panel_link.h"

namespace vorn {

// The handler of every panel's link (connect outcome, data waiting, closed).
// Entered again from inside itself it drops the event with a log line.
void NetEventMain(PanelLink& link, LinkEvent event, int error);
// Cuts a block read from a panel into messages and acts on each.
void ParsePanelData(const uint8_t* data, size_t length, int panel);

}  // namespace vorn
