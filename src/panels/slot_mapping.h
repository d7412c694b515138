#pragma once
// Mapping between Infodriver slots and panel buttons: start-up load of the
// button data, Infodriver notifications and slot changes.

namespace vorn {

class extinfo;

void LoadAllInfodriverData();
// The notification callback given to the Infodriver client.
void InfoNotify(extinfo* client, int index, const char* text);
// Handles one changed slot (the panel operation its offset names).
void SlotChange(int device, int slot, const char* text);
void ResetButtonColours(int panel);
void SelectButton(int panel, int button);

// Fields 2007 and 2006 from InfodriverTxCount / InfodriverRxCount, "%08d".
void ShowInfodriverCounters();

}  // namespace vorn
