#pragma once
// Opening, closing, polling and reconnecting the panels' transports.

namespace vorn {

void ConnectToPanel(int panel);
void DisconnectAllPanels();
void PollPanel(int panel);
void PollAllPanels();
void RefreshAllPanels();

}  // namespace vorn
