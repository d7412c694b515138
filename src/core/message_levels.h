#pragma once
// The priority of every line the driver logs, chosen once, here, by the
// format text its caller passes to DebugMessage: the journal's levels when
// standard error is the journal (<3> error, <4> warning, <5> a state change
// such as a connect, a drop or a mode change, <6> information, <7> the
// verbose traces). A unit test finds every DebugMessage format in src/ and
// fails for one that the table does not name, so a new message cannot be
// forgotten here.

#include <span>
#include <string_view>

namespace vorn {

enum class MessageLevel : int {
    kOfText = 0,  // a bare "%s": the line was formatted elsewhere, see LevelOfLine
    kError = 3,
    kWarning = 4,
    kStateChange = 5,
    kInfo = 6,
    kTrace = 7,
};

struct MessageLevelEntry {
    const char* format;  // exactly as the caller writes it
    MessageLevel level;
};

// Every format of the driver with its level.
std::span<const MessageLevelEntry> MessageLevelTable();

// The level of a line: by its format, and for a bare "%s" by the format in
// the table that the finished text matches (a conversion matches any run of
// characters). kInfo for a format or text the table does not know.
MessageLevel LevelOfLine(std::string_view format, std::string_view text);

// Whether text could have come out of format (printf conversions match any
// run of characters, "%%" a percent sign).
bool MatchesFormat(std::string_view format, std::string_view text);

}  // namespace vorn
