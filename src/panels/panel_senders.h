#pragma once
// The only code that writes to a panel: single-frame senders, the face and
// store operations above them, flashing and the whole-panel refresh. Every
// operation takes the panel number (1..12) first. GUI thread only.

#include <cstdint>
#include <string>

namespace vorn {

// What a panel operation did: carried out (a slot change it served is then
// confirmed) or refused (bad panel or button, panel not connected).
enum class SendResult : uint8_t { kRefused, kDone };

// Single-frame senders: write one frame to the panel's port and count it in
// TxCount.
SendResult SendButtonText(int panel, int button, const std::string& text);
SendResult SendButtonGraphic(int panel, int button, int graphic);
SendResult SendButtonColour(int panel, int button, int colour);
SendResult SendLampOn(int panel, int button);
SendResult SendLampOff(int panel, int button);
SendResult SendClearPanel(int panel);
SendResult SendPanelCode6(int panel);

// Face and store operations.
void ShowButtonMain(int panel, int button);
void ShowButtonAlt(int panel, int button);
SendResult ButtonLabel(int panel, int button, const std::string& text);
SendResult SetButtonColour(int panel, int button, int colour);
SendResult SetButtonAltLabel(int panel, int button, const std::string& text);
SendResult SetButtonAltColour(int panel, int button, int colour);
SendResult SetFlashButton(int panel, int button);   // always kRefused (never confirmed)
SendResult RefreshPanel(int panel);                 // always kDone

// A label is a graphic label when it contains "#>"; its number is read from
// the third character on, as atoi reads it.
bool IsGraphicLabel(const std::string& text);
int GraphicNumber(const std::string& text);

}  // namespace vorn
