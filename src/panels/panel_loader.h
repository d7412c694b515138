#pragma once
// Reads the twelve "Pellax_Panel_%d" sections into the panel table, creates
// one transport per configured panel and lists the panels in the status view.
// LoadAll does it for all of them at start-up; a reload of the settings uses
// the steps one panel at a time. GUI thread only.

#include "core/settings_rules.h"
#include "panels/panel_section.h"
#include "panels/panel_table.h"

namespace vorn {

void LoadAll();

// Reads section "Pellax_Panel_<n>" through read into record n
// (DecidePanelSection) and logs a comms id out of range. InUse, the link and
// the list are left alone.
PanelSectionDecision ReadPanelSection(int n, const SettingReader& read);

// Makes panel n what its record and d describe: in use with a new link
// (TCP, or serial with the line settings of Settings), with the loader's log
// lines. False, with nothing set up, for a section that describes no panel
// or one with a TCP port that is no port (said in the log).
bool SetUpPanel(int n, const PanelSectionDecision& d);

// The panel list anew: one line per panel in use, by number. ListIndex and
// PanelCount follow it; the selection is cleared.
void RebuildPanelList();

// True when a and b hold the same values of every key the loader reads
// (identity, type, comms id, COM port, address and port): a panel whose
// values are the same needs nothing done to it.
bool SameLoadedValues(const PanelRecord& a, const PanelRecord& b);

}  // namespace vorn
