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
void RefreshAllPanels();

}  // namespace vorn
