#pragma once
// Settings files and paths: an INI reader/writer with profile-file semantics
// (case-insensitive sections and keys, default on absence, values up to 255
// characters, in-place update, file and section created on first write,
// every other line kept), the configuration and log directories, and the
// driver settings of the "Pellax_Panel" section.

#include <string>

namespace vorn {

constexpr int kIniValueMax = 255;
constexpr int kPathMax = 255;

// Fixed Linux locations; tests may point them elsewhere.
struct PathLocations {
    std::string pointerFile = "/etc/vorn_config.ini";   // [Config] ConfigPath=
    std::string windowsDir = "/etc/vorn";               // fallback config directory
    std::string defaultLogDir = "/var/log/vornlogs";
};
PathLocations& Locations();

// Sets ConfigDir and LogDir from QX_ROOT/QX_SYSTEM (both set), else the
// pointer file's ConfigPath, else the fixed directory; returns ConfigDir.
std::string ResolvePaths();

// Reads key of section in file (a bare name in ConfigDir; any case variant
// of the name is the same file). Returns the value or defaultText. With
// writeBack non-zero the returned text is written back at once.
std::string ReadIniSetting(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& defaultText, int writeBack);

// Writes one value, creating file, section or key as needed. A failed write
// is silent.
void WriteIniSetting(const std::string& file, const std::string& section, const std::string& key,
                     const std::string& value);

// Reads the driver settings into Settings (the fifteen keys of
// DecideDriverSettings, core/settings_rules.h, all written back).
// A settings file that is missing gives the defaults (and is created by the
// write-back); one that exists but cannot be read (no permission, a
// directory, too large) gives the defaults too, writes nothing and is
// reported by SettingsUnreadable.
void LoadIni();

// True when the last LoadIni found the device's settings file present but
// unreadable; *reason (when given) then gets
// "settings file <path> cannot be read: <why>", else "". The driver must not
// run on defaults then: as main without panels it would shut a partner with
// a good configuration out.
bool SettingsUnreadable(std::string* reason);

// A settings batch: between Begin and End, ReadIniSetting and WriteIniSetting
// load each file once and only collect their write-backs, and End writes
// each changed file once, atomically. At End the file is loaded afresh and a
// written-back key is added only if it is still missing, so a change made by
// another process meanwhile is kept. Start-up runs its reads (driver and
// panel sections) in one batch; GUI thread only. Begin inside a batch and End
// outside one do nothing.
void BeginSettingsBatch();
void EndSettingsBatch();
bool InSettingsBatch();

// The path of a settings file in ConfigDir as ReadIniSetting finds it (any
// case variant of the name); call ResolvePaths first.
std::string SettingsFilePath(const std::string& file);

// Name of the device's settings file, "DEV_%03d.ini".
std::string SettingsFileName(int device);

// Full path of the settings file `file` in ConfigDir as the readers above
// use it (any case variant of the name that exists). False when the path
// would be longer than kPathMax: cutting it would name some other file.
// ConfigDir is as the last ResolvePaths left it.
bool SettingsPath(const std::string& file, std::string* path);

// A value as the readers return it: up to the first NUL byte (a C string
// ends there), at most kIniValueMax characters.
std::string CutValue(const std::string& text);

// Decimal conversion with the C library's atoi/atol rules (leading blanks,
// optional sign, digits up to the first other character; no digits give 0),
// except that a value outside int is clamped to INT_MIN / INT_MAX instead of
// being undefined.
int AtoiText(const std::string& text);

}  // namespace vorn
