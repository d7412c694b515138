#pragma once
// Opening, closing, polling and reconnecting the panels' links.

#include <memory>

#include "transport/panel_link.h"

namespace vorn {

// Gives panel n its link, whose events go to the receive path from now on.
void InstallPanelLink(int panel, std::unique_ptr<PanelLink> link);

void ConnectToPanel(int panel);
void DisconnectAllPanels();
void PollPanel(int panel);
void PollAllPanels();

// One housekeeping tick of the silence watch, while main, with
// Settings.PanelSilenceTimeout (seconds; 0 turns it off):
// - a panel whose line has taken no byte for that long while frames wait is
//   taken as down: a TCP panel's link is closed (status slot "0") and the
//   poll reconnects it; a serial panel's waiting output is discarded and it
//   counts as not connected (status slot "0") until it is heard from again,
//   then it is refreshed; the poll leaves its open port alone meanwhile;
// - a panel that has sent alive messages on its line and then sends nothing
//   with its own id for that long is taken as down the same way: a TCP
//   connection is closed, a serial panel marked not connected with its port
//   kept open (panel_connection_state.h). A TCP connection of a panel that
//   sent alive messages before is closed too when none comes within that
//   long of the connect. A TCP panel that never sends alive messages is
//   never timed out for silence.
void CheckPanelSilence();
void RefreshAllPanels();

}  // namespace vorn
