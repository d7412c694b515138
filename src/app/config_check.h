#pragma once
// The configuration check: what the driver would make of a device's settings
// file, found and read as the driver finds and reads it, with nothing
// written and nothing attached. `pellax-panel --check-config DEVICE` prints
// it; a reload of the settings checks the new file the same way before it
// applies it. The values come from the decisions the loaders use
// (core/settings_rules.h, panels/panel_section.h), so the check and the
// driver cannot disagree about a text.

#include <cstdio>
#include <string>
#include <vector>

#include "core/ini_file.h"

namespace vorn {

struct ConfigProblem {
    int line = 0;        // 1.. in the file; 0 when it belongs to no line
    bool error = false;  // an error: a panel or a setting will not work
    std::string text;    // "[Pellax_Panel_2] TCPIP_Port: 'x' is not a port 1..65535: panel not used"
};

struct ConfigCheckResult {
    std::string path;                     // the settings file as the driver finds it
    bool readable = false;                // false: `unreadable` says why, no problems listed
    std::string unreadable;               // "No such file or directory", "Permission denied", ...
    std::vector<ConfigProblem> problems;  // in line order
    int Errors() const;
    int Warnings() const;
};

// The problems of a parsed settings file: values the driver replaces or
// refuses, panels it will not use and why, two panels on one COM port or on
// one address and port, keys no part of the driver reads, sections that are
// not the driver's, and lines the reader ignores.
std::vector<ConfigProblem> CheckSettings(const IniFile& ini);

// Resolves the paths as the driver does (QX_ROOT and QX_SYSTEM, the pointer
// file, the fixed directory; any case of the file name), reads the device's
// settings file and checks it. A missing file counts as unreadable: the
// driver would run on defaults with no panel. `file` (when given) gets the
// file as it was read and checked, for a caller that goes on to apply it.
ConfigCheckResult CheckSettingsFile(int device, IniFile* file = nullptr);

// Prints the problems as "FILE:LINE: error: ..." / "FILE:LINE: warning: ..."
// and a last line with the counts; an unreadable file as
// "FILE: error: cannot be read: ...". Returns the exit code of the check:
// 0 no error (warnings allowed), 1 an error, 2 the file cannot be read.
int PrintConfigCheck(const ConfigCheckResult& result, std::FILE* out);

// `pellax-panel --check-config DEVICE`: the check of the device given as
// text, printed on standard output; a text that is no device number is said
// on standard error and gives 2.
int RunConfigCheck(const std::string& deviceText);

}  // namespace vorn
