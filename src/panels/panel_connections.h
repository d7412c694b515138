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

// One housekeeping tick of the silence watch, while main: a TCP panel that
// has sent alive messages on its connection and then stays silent for
// Settings.PanelSilenceTimeout ticks (seconds; 0 turns it off) is taken as
// dead: its link is closed (status slot "0") and the poll reconnects it. A
// panel that never sends alive messages is never timed out.
void CheckPanelSilence();
void RefreshAllPanels();

}  // namespace vorn
