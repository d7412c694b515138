#pragma once
// The status view's behaviour that needs no widgets: showing the chosen
// panel's details and the reactions to the panel list and the two buttons.
// Everything goes through the seam; GUI thread only.

namespace vorn {

// Reads the list selection, sets ChosenPanel and fills the chosen-panel
// fields (1009, 1010, 1017, 1013, 1015, 1011, 2008, 2009, 1012). No
// selection, or a line beyond PanelCount, changes nothing; a line that maps
// to no panel is logged and changes nothing else.
void ShowChosenPanel();

// The operator picked a line of the panel list. While a panel test runs the
// selection is locked: the pick is logged and the chosen panel's line is
// selected again.
void OnPanelListCommand();

// "Reset Panel" (1014): resends the chosen panel. "TEST Panel" (1016):
// starts its test. Both do nothing without a chosen panel.
void OnResetPanelButton();
void OnTestPanelButton();

}  // namespace vorn
