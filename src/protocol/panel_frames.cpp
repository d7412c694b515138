#include "protocol/panel_frames.h"

namespace vorn {

namespace {

uint8_t Low(int value) { return static_cast<uint8_t>(value & 0xFF); }

PanelFrame Frame3(uint8_t type, int commsId, uint8_t code) {
    PanelFrame f;
    f.Push(type);
    f.Push(AddressByte(commsId));
    f.Push(code);
    return f;
}

}  // namespace

TextForm TextFormFor(int comPort) { return comPort > 0 ? TextForm::Short8 : TextForm::Long10; }

uint8_t AddressByte(int commsId) { return Low(commsId); }

PanelFrame BuildPollFrame(int commsId) { return Frame3(MSG_PANEL, commsId, PANEL_POLL); }

PanelFrame BuildClearFrame(int commsId) { return Frame3(MSG_PANEL, commsId, PANEL_CLEAR); }

PanelFrame BuildPanelCode6Frame(int commsId) { return Frame3(MSG_PANEL, commsId, PANEL_CODE6); }

PanelFrame BuildLampOnFrame(int commsId, int button) {
    PanelFrame f = Frame3(MSG_BUTTON, commsId, ACTION_LAMP_ON);
    f.Push(Low(button));
    return f;
}

PanelFrame BuildLampOffFrame(int commsId, int button) {
    PanelFrame f = Frame3(MSG_BUTTON, commsId, ACTION_LAMP_OFF);
    f.Push(Low(button));
    return f;
}

PanelFrame BuildColourFrame(int commsId, int button, int colour) {
    PanelFrame f = Frame3(MSG_ATTRIBUTE, commsId, ATTR_COLOUR);
    f.Push(Low(button));
    f.Push(Low(colour));
    return f;
}

PanelFrame BuildGraphicFrame(int commsId, int button, int graphic) {
    PanelFrame f = Frame3(MSG_ATTRIBUTE, commsId, ATTR_GRAPHIC);
    f.Push(Low(graphic));
    f.Push(Low(button));
    return f;
}

PanelFrame BuildTextFrame(int commsId, int button, std::string_view text, TextForm form) {
    const bool shortForm = form == TextForm::Short8;
    const std::size_t chars = shortForm ? kTextShortChars : kTextLongChars;
    PanelFrame f = Frame3(shortForm ? MSG_TEXT8 : MSG_TEXT10, commsId, TEXT_SELECTOR);
    // Bounded by chars (8 or 10); positions past the end of text are blanks.
    for (std::size_t i = 0; i < chars; ++i) {
        f.Push(i < text.size() ? static_cast<uint8_t>(text[i]) : uint8_t{' '});
    }
    f.Push(0);
    f.Push(Low(button));
    return f;
}

}  // namespace vorn
