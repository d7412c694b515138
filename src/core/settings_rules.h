#pragma once
// How the texts of the "Pellax_Panel" section become the driver settings.
// One pure function decides every value; LoadIni feeds it the texts of the
// settings file (reading with write-back), the configuration check feeds it
// the same texts without writing and keeps the notes, so the check reports
// what the driver does with a file and not a second opinion.

#include <functional>
#include <string>
#include <vector>

#include "core/driver_state.h"

namespace vorn {

// A remark on one text of the settings file: what the driver did with it
// when it did not take it as written (replaced, cut, refused, or a value it
// takes that cannot work).
struct SettingNote {
    std::string key;
    bool error = false;  // an error stops what the key is for; a warning does not
    std::string text;    // "'abc' is not a whole number: 0 used"
};

// Reads one key of one section: the text to use, or defaultText when the key
// is missing. Called once per key, in the order the driver has always read
// them (a write-back of missing keys keeps that order in the file).
using SettingReader = std::function<std::string(const char* key, const char* defaultText)>;

// Appends a note when notes is not null; the decisions call it.
void AddSettingNote(std::vector<SettingNote>* notes, const char* key, bool error, std::string text);

// The text read as atoi reads it (AtoiText); a text that is not a whole
// number as written (optional sign, digits, nothing else) gets the note
// "'<text>' is not a whole number: <value> used".
int DecideWholeNumber(const char* key, const std::string& text, std::vector<SettingNote>* notes);

// True when text is an optional sign followed by one or more digits only.
bool IsWholeNumberText(const std::string& text);

// Why a StatusHttpToken cannot be used ("" when it can): it may hold only
// letters, digits and - . _ ~ + / = (it travels in a header and a cookie).
std::string StatusTokenProblem(const std::string& token);

// True for a numeric loopback address (127.0.0.0/8, ::1). A host name is
// not looked up, so it is not loopback here.
bool IsLoopbackAddressText(const std::string& address);

// Defaults of the log keys.
constexpr int kDefaultLogKeepDays = 30;
constexpr long long kDefaultLogMaxDayBytes = 64LL * 1024 * 1024;

// Every value of DriverSettings from the fifteen keys of "Pellax_Panel":
// DebugMode, LogMode, RefreshOnConnection, Driver_Identity,
// PanelSilenceTimeout, Speed, DataBits, StopBits, Parity, StatusHttpPort,
// StatusHttpAddress, StatusHttpToken, StatusHttpHosts, LogKeepDays,
// LogMaxDayBytes. SerialParams is built from
// the decided line settings. Notes (when not null) get one remark per text
// that was not taken as written.
DriverSettings DecideDriverSettings(const SettingReader& read, std::vector<SettingNote>* notes);

}  // namespace vorn
