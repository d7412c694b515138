#include "panels/panel_test.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "panels/panel_table.h"
#include "panels/panel_senders.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

constexpr int kTestPeriodMs = 5000;
constexpr int kFirstTestColour = 9;
// Buttons that show the panel's own settings on a text panel.
constexpr int kIdButton = 6;
constexpr int kNameCaptionButton = 8;
constexpr int kNameButton = 9;
constexpr int kLocationCaptionButton = 11;
constexpr int kLocationButton = 12;
constexpr int kColourButton = 14;
constexpr int kAddressParts = 4;

// A test text: printf-style, cut to kLabelMax characters whatever the
// values (a label holds no more).
__attribute__((format(printf, 1, 2))) std::string LabelText(const char* format, ...) {
    char text[kLabelMax + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text);
}

// Reads a number as atoi does (leading blanks, optional sign, digits; no
// digits give 0), but saturates instead of overflowing.
int ReadNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    // Bounded by the text; the value stops growing past INT_MAX.
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value <= INT_MAX) value = value * 10 + (text[i] - '0');
    }
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(negative ? -value : value);
}

std::string ColourText(int colour) { return LabelText("Color %d", colour); }

// "ID" and the comms id in upper-case hexadecimal; an invalid (negative)
// comms id shows as "??".
std::string IdText(int commsId) {
    if (commsId < 0) return "ID      ??";
    std::string text = LabelText("ID      %02x", static_cast<unsigned>(commsId));
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Buttons 1..4: the parts of the address between the dots, empty parts
// skipped, at most four.
void SendAddressButtons(int panel, const std::string& address) {
    int k = 0;
    size_t start = 0;
    // Each turn consumes one part; the loop ends at the end of the text or
    // after the fourth part.
    while (start <= address.size() && k < kAddressParts) {
        size_t dot = address.find('.', start);
        if (dot == std::string::npos) dot = address.size();
        const std::string_view part(address.data() + start, dot - start);
        start = dot + 1;
        if (part.empty()) continue;
        ++k;
        const int value = ReadNumber(part);
        SendButtonText(panel, k, k == 1 ? LabelText("IP     %03d", value) : LabelText("       %03d", value));
    }
}

void ShowTextPanelTest(int panel) {
    const PanelRecord& p = Panels[panel];
    SendClearPanel(panel);
    SendAddressButtons(panel, p.IpAddress);
    SendButtonText(panel, kIdButton, IdText(p.CommsId));
    SendButtonText(panel, kNameCaptionButton, "NAME");
    SendButtonText(panel, kNameButton, p.PanelId.substr(0, kLabelMax));
    SendButtonText(panel, kLocationCaptionButton, "Location");
    SendButtonText(panel, kLocationButton, p.Location.substr(0, kLabelMax));
    SendButtonText(panel, kColourButton, ColourText(TestColour));
    for (int i = 1; i <= p.ButtonCount; ++i) SendButtonColour(panel, i, TestColour);
}

void SetAllLamps(int panel, bool on) {
    const int count = Panels[panel].ButtonCount;
    for (int i = 1; i <= count; ++i) {
        if (on) {
            SendLampOn(panel, i);
        } else {
            SendLampOff(panel, i);
        }
    }
}

void EndPanelTest() {
    if (IsPanelNumber(TestPanel)) RefreshPanel(TestPanel);
    GetSeam().SetField(kFieldConnection, " ");
    GetSeam().StopTimer(kPanelTestTimer);
    TestColour = -1;
    TestPanel = -1;
}

}  // namespace

void StartPanelTest(int panel) {
    if (DriverMode != IFMODE_TXRX || TestPanel != -1) {
        DebugMessage("Driver in RXONLY or currently testing - so Test Panel ignored");
        return;
    }
    if (!IsPanelNumber(panel) || Panels[panel].InUse == 0) {
        DebugMessage("StartPanelTest - invalid panel %d ", panel);
        return;
    }
    TestColour = kFirstTestColour;
    TestPanel = panel;
    GetSeam().StartTimer(kPanelTestTimer, kTestPeriodMs);
    GetSeam().SetField(kFieldConnection, "TESTING PANEL");
    DebugMessage("Panel %d -- going into test mode ", panel);

    const int type = Panels[panel].TypeCode;
    if (IsTextPanelType(type)) {
        ShowTextPanelTest(panel);
    } else if (IsLampPanelType(type)) {
        SetAllLamps(panel, true);
    }
}

void CancelPanelTest() {
    if (TestPanel == -1) return;
    TestPanel = -1;
    EndPanelTest();
}

void PanelTestStep() {
    if (!IsPanelNumber(ChosenPanel)) {
        DebugMessage("Panel-test timer error -- no chosen panel");
        return;
    }
    --TestColour;
    if (TestColour < 0 || !IsPanelNumber(TestPanel)) {
        EndPanelTest();
        return;
    }
    const int type = Panels[TestPanel].TypeCode;
    if (IsLampPanelType(type)) {
        SetAllLamps(TestPanel, TestColour % 2 == 0);
    } else if (IsTextPanelType(type)) {
        SendButtonText(TestPanel, kColourButton, ColourText(TestColour));
        for (int i = 1; i <= Panels[TestPanel].ButtonCount; ++i) SendButtonColour(TestPanel, i, TestColour);
    }
}

}  // namespace vorn
