#pragma once
// Outgoing panel frames, byte for byte, and the type and code values of the
// panel wire protocol. Pure functions: no I/O, no state, callable from any
// thread.
//
// Every frame starts with a type byte (130 or above) followed by the address
// byte, the low byte of the panel's CommsId (so CommsId -1 goes out as 255).
// Numeric fields (button, colour, graphic) go out as their low byte; callers
// check ranges before building.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn {

// Frame types (byte 0).
constexpr uint8_t MSG_PANEL = 130;      // both directions; byte 2 is a panel code
constexpr uint8_t MSG_BUTTON = 131;     // both directions; byte 2 is an action
constexpr uint8_t MSG_ATTRIBUTE = 132;  // to the panel; byte 2 selects the attribute
constexpr uint8_t MSG_TEXT8 = 140;      // to the panel; short text form
constexpr uint8_t MSG_TEXT10 = 142;     // to the panel; long text form

// Panel codes (byte 2 of MSG_PANEL).
constexpr uint8_t PANEL_POLL = 0;
constexpr uint8_t PANEL_CLEAR = 4;
constexpr uint8_t PANEL_CODE6 = 6;
constexpr uint8_t PANEL_ALIVE = 125;  // from the panel

// Actions (byte 2 of MSG_BUTTON).
constexpr uint8_t ACTION_RELEASE = 0;   // from the panel
constexpr uint8_t ACTION_PRESS = 1;     // from the panel
constexpr uint8_t ACTION_LAMP_ON = 2;   // to the panel
constexpr uint8_t ACTION_LAMP_OFF = 3;  // to the panel
constexpr uint8_t ACTION_RELEASE5 = 5;  // from the panel

// Attribute selectors (byte 2 of MSG_ATTRIBUTE).
constexpr uint8_t ATTR_COLOUR = 64;
constexpr uint8_t ATTR_GRAPHIC = 65;

// Byte 2 of both text forms.
constexpr uint8_t TEXT_SELECTOR = 32;

// Joystick messages carry CommsId + this in their address byte.
constexpr int kJoystickAddressOffset = 64;

// Label characters carried by each text form.
constexpr int kTextLongChars = 10;
constexpr int kTextShortChars = 8;

// One outgoing frame in a fixed buffer: building one never allocates.
// Hand Data()/Length() to the port's single write call.
class PanelFrame {
public:
    // Longest frame: the long text form.
    static constexpr std::size_t kMaxLength = 15;

    const uint8_t* Data() const { return bytes_.data(); }
    int Length() const { return static_cast<int>(length_); }
    std::span<const uint8_t> Bytes() const { return {bytes_.data(), length_}; }

    // Appends one byte; a byte beyond kMaxLength is dropped (the builders
    // never write more than kMaxLength).
    void Push(uint8_t byte) {
        if (length_ < kMaxLength) bytes_[length_++] = byte;
    }

private:
    std::array<uint8_t, kMaxLength> bytes_{};
    std::size_t length_ = 0;
};

// Which text frame a panel gets.
enum class TextForm {
    Long10,  // 15 bytes, ten label characters
    Short8,  // 13 bytes, eight label characters
};

// ComPort above 0 gives the short form (also for a TCP panel whose settings
// name a COM port); 0 or less the long form.
TextForm TextFormFor(int comPort);

// The address byte for a CommsId: its low byte.
uint8_t AddressByte(int commsId);

// 130, id, 0 / 130, id, 4 / 130, id, 6.
PanelFrame BuildPollFrame(int commsId);
PanelFrame BuildClearFrame(int commsId);
PanelFrame BuildPanelCode6Frame(int commsId);

// 131, id, 2, button / 131, id, 3, button.
PanelFrame BuildLampOnFrame(int commsId, int button);
PanelFrame BuildLampOffFrame(int commsId, int button);

// 132, id, 64, button, colour.
PanelFrame BuildColourFrame(int commsId, int button, int colour);

// 132, id, 65, graphic, button: note the graphic comes before the button.
PanelFrame BuildGraphicFrame(int commsId, int button, int graphic);

// Long form: 142, id, 32, ten label characters, 0, button (15 bytes).
// Short form: 140, id, 32, eight label characters, 0, button (13 bytes).
// The label characters are the first ten (or eight) of text; a text shorter
// than ten is padded with blanks first, so nothing past its end is read.
// Characters are copied as they are, without escaping.
PanelFrame BuildTextFrame(int commsId, int button, std::string_view text, TextForm form);

}  // namespace vorn
