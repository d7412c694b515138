#include "app/status_logic.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "panels/panel_connection_state.h"
#include "panels/panel_table.h"
#include "panels/panel_test.h"
#include "panels/panel_senders.h"

namespace vorn {

void ShowChosenPanel() {
    Seam& seam = GetSeam();
    int line = seam.PanelListSelection();
    if (line < 0 || line + 1 > PanelCount) return;

    ChosenPanel = 0;
    for (int p = 1; p <= kMaxPanels; ++p) {
        if (Panels[p].ListIndex == line + 1) {
            ChosenPanel = p;
            break;
        }
    }
    if (!IsPanelNumber(ChosenPanel)) {
        DebugMessage("Driver ERROR in finding a Chosen panel -- report to VORN -- chosen %d", ChosenPanel);
        return;
    }

    const PanelRecord& panel = Panels[ChosenPanel];
    seam.SetField(kFieldLocation, panel.Location);
    seam.SetField(kFieldType, panel.TypeName + "  -  " + std::to_string(panel.ButtonCount));
    if (panel.ComPort > 0) {
        seam.SetField(kCaptionAddress, "SERIAL Settings");
        seam.SetField(kFieldAddress, "Com " + std::to_string(panel.ComPort) + ", " + Settings.SerialParams);
    } else {
        seam.SetField(kCaptionAddress, "IP Settings");
        seam.SetField(kFieldAddress, panel.IpAddress);
    }
    // "%02x" of an int: a negative id prints as eight hex digits, which the
    // buffer holds.
    char id[16];
    std::snprintf(id, sizeof id, "%02x", static_cast<unsigned>(panel.CommsId));
    for (char* c = id; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    seam.SetField(kFieldPanelId, id);
    seam.SetField(kFieldConnection, PanelConnectionOf(ChosenPanel).words);
    seam.SetFieldNumber(kFieldPanelRx, static_cast<unsigned>(panel.RxCount));
    seam.SetFieldNumber(kFieldPanelTx, static_cast<unsigned>(panel.TxCount));
    seam.SetFieldNumber(kFieldLastButton, static_cast<unsigned>(panel.LastButton));
}

void OnPanelListCommand() {
    if (TestPanel == -1) {
        ShowChosenPanel();
        return;
    }
    DebugMessage("IN TESTING PANEL MODE - pls select after testing complete");
    if (IsPanelNumber(ChosenPanel)) GetSeam().PanelListSelect(Panels[ChosenPanel].ListIndex - 1);
}

void OnResetPanelButton() {
    if (IsPanelNumber(ChosenPanel)) RefreshPanel(ChosenPanel);
}

void OnTestPanelButton() {
    if (IsPanelNumber(ChosenPanel)) StartPanelTest(ChosenPanel);
}

}  // namespace vorn
