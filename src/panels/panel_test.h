#pragma once
// Operator's panel test: shows the panel's settings on its buttons, steps the
// colours 9..0 (or blinks the lamps) every 5 s, then restores the panel.

namespace vorn {

void StartPanelTest(int panel);
void PanelTestStep();
// Ends a running test at once without restoring the panel (its link is
// about to go); nothing when no test runs.
void CancelPanelTest();

}  // namespace vorn
