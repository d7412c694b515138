#pragma once
// The only code that writes to a panel: single-frame senders, the face and
// store operations above them, flashing and the whole-panel refresh. Every
// operation takes the panel number (1..12) first; results are 1 done, 0
// refused, unless said otherwise. GUI thread only.

#include <string>

namespace vorn {

// Single-frame senders: write one frame to the panel's port and count it in
// TxCount.
int SendButtonText(int panel, int button, const std::string& text);
int SendButtonGraphic(int panel, int button, int graphic);
int SendButtonColour(int panel, int button, int colour);
int SendLampOn(int panel, int button);
int SendLampOff(int panel, int button);
int SendClearPanel(int panel);
int SendPanelCode6(int panel);

// Face and store operations.
void ShowButtonMain(int panel, int button);
void ShowButtonAlt(int panel, int button);
int ButtonLabel(int panel, int button, const std::string& text);
int SetButtonColour(int panel, int button, int colour);
int SetButtonAltLabel(int panel, int button, const std::string& text);
int SetButtonAltColour(int panel, int button, int colour);
int SetFlashButton(int panel, int button);   // always 0
int RefreshPanel(int panel);                 // always 1

// A label is a graphic label when it contains "#>"; its number is read from
// the third character on, as atoi reads it.
bool IsGraphicLabel(const std::string& text);
int GraphicNumber(const std::string& text);

}  // namespace vorn
