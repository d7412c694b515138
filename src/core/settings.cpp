#include "core/settings.h"

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/ascii_text.h"
#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/ini_file.h"
#include "core/settings_rules.h"

namespace vorn {

namespace {

constexpr const char* kDriverSection = "Pellax_Panel";

// A configuration directory holds a handful of files; a scan that meets more
// entries than this stops and uses the name as given.
constexpr int kMaxDirEntries = 100000;

// The name of the existing entry of dir that equals name without regard to
// case: the exact spelling if present, else the lowest in byte order (so the
// choice does not depend on directory order). The name as given when none
// exists, so that a new file is created as the caller spells it.
std::string FindNameNoCase(const std::string& dir, const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return name;
    std::optional<std::string> best;
    int seen = 0;
    while (dirent* entry = readdir(d)) {
        if (++seen > kMaxDirEntries) break;
        std::string candidate = entry->d_name;
        if (candidate == name) {
            best = candidate;
            break;
        }
        if (EqualNoCase(candidate, name) && (!best || candidate < *best)) best = candidate;
    }
    closedir(d);
    return best ? *best : name;
}

// Loads the file behind a settings path; the caller may Save only on true.
// *problem (when given) gets why a present file could not be used, "" else.
bool LoadForUpdate(IniFile& ini, const std::string& path, const char* who,
                   std::string* problem = nullptr) {
    if (problem != nullptr) problem->clear();
    switch (ini.Load(path)) {
        case IniFile::LoadResult::kLoaded:
        case IniFile::LoadResult::kMissing:
            return true;
        case IniFile::LoadResult::kTooLarge:
            DebugMessage("%s - %s is larger than %zu bytes, not used", who, path.c_str(),
                         IniFile::kMaxFileBytes);
            break;
        case IniFile::LoadResult::kUnreadable:
            break;  // silent here; LoadIni reports the driver's own file
    }
    if (problem != nullptr) *problem = ini.LoadError();
    return false;
}

std::string LastLongLogDir;  // last over-long log directory reported

// The open settings batch (see settings.h): one entry per settings file.
struct BatchedFile {
    std::string name;  // as the caller gave it
    std::string path;  // empty when the path was too long
    IniFile ini;       // loaded once; pending sets applied
    bool updatable = false;
    std::string problem;  // why a present file could not be loaded
    struct PendingSet {
        std::string section, key, value;
        bool onlyIfMissing;  // a write-back of a missing key
    };
    std::vector<PendingSet> sets;
};
std::unique_ptr<std::vector<BatchedFile>> Batch;

// The batch's entry for file (loaded on first use); null outside a batch.
BatchedFile* BatchedFileFor(const std::string& file) {
    if (!Batch) return nullptr;
    for (BatchedFile& f : *Batch) {
        if (f.name == file) return &f;
    }
    BatchedFile& f = Batch->emplace_back();
    f.name = file;
    if (SettingsPath(file, &f.path)) {
        f.updatable = LoadForUpdate(f.ini, f.path, "ReadIniSetting", &f.problem);
    } else {
        f.path.clear();
    }
    return &f;
}

// Set by LoadIni: "settings file <path> cannot be read: <why>", or empty.
std::string UnreadableSettings;

// Why the settings file `file` exists but cannot be used ("" when it loads
// or is missing): the batch's own load inside a batch, else one load here
// (without a log line; the reads that follow log as they always have).
std::string SettingsFileProblem(const std::string& file) {
    std::string path;
    std::string problem;
    if (BatchedFile* f = BatchedFileFor(file)) {
        path = f->path;
        problem = f->problem;
    } else if (SettingsPath(file, &path)) {
        IniFile ini;
        IniFile::LoadResult result = ini.Load(path);
        if (result == IniFile::LoadResult::kUnreadable || result == IniFile::LoadResult::kTooLarge) {
            problem = ini.LoadError();
        }
    }
    if (problem.empty()) return "";
    return "settings file " + path + " cannot be read: " + problem;
}

// Sets key in ini. True when the text changed (the caller saves or queues
// it); a name or value that would break the file is refused with the log
// line of the caller: the read-back of a missing key, or a write.
enum class SetBy { kReadBack, kWrite };
bool SetAndReport(IniFile& ini, const std::string& section, const std::string& key,
                  const std::string& value, SetBy by) {
    switch (ini.Set(section, key, value)) {
        case IniFile::SetResult::kChanged:
            return true;
        case IniFile::SetResult::kInvalid:
            if (by == SetBy::kReadBack) {
                DebugMessage("ReadIniSetting - cannot write [%s] %s back", section.c_str(), key.c_str());
            } else {
                DebugMessage("WriteIniSetting - refused [%s] %s: name or value would break the file",
                             section.c_str(), key.c_str());
            }
            return false;
        case IniFile::SetResult::kUnchanged:
            break;
    }
    return false;
}

}  // namespace

std::string CutValue(const std::string& text) {
    std::string out = text.substr(0, text.find('\0'));
    if (out.size() > static_cast<std::size_t>(kIniValueMax)) out.resize(kIniValueMax);
    return out;
}

bool SettingsPath(const std::string& file, std::string* path) {
    std::string name = FindNameNoCase(ConfigDir, file);
    *path = ConfigDir.empty() ? name : ConfigDir + "/" + name;
    return path->size() <= static_cast<std::size_t>(kPathMax);
}

bool SettingsUnreadable(std::string* reason) {
    if (reason != nullptr) *reason = UnreadableSettings;
    return !UnreadableSettings.empty();
}

void BeginSettingsBatch() {
    if (Batch) return;
    ResolvePaths();
    Batch = std::make_unique<std::vector<BatchedFile>>();
}

bool InSettingsBatch() { return Batch != nullptr; }

void EndSettingsBatch() {
    if (!Batch) return;
    std::unique_ptr<std::vector<BatchedFile>> done = std::move(Batch);
    for (const BatchedFile& f : *done) {
        if (f.sets.empty() || f.path.empty() || !f.updatable) continue;
        IniFile fresh;
        if (!LoadForUpdate(fresh, f.path, "WriteIniSetting")) continue;
        bool changed = false;
        for (const auto& set : f.sets) {
            if (set.onlyIfMissing && fresh.Get(set.section, set.key)) continue;
            changed |= fresh.Set(set.section, set.key, set.value) == IniFile::SetResult::kChanged;
        }
        if (changed) fresh.Save(f.path);  // an unwritable file or directory is not an error
    }
}

PathLocations& Locations() {
    static PathLocations locations;
    return locations;
}

std::string SettingsFilePath(const std::string& file) {
    std::string path;
    SettingsPath(file, &path);
    return path;
}

std::string SettingsFileName(int device) {
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.ini", device);
    return name;
}

int AtoiText(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);  // LONG_MIN/MAX on overflow
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string ResolvePaths() {
    const char* root = std::getenv("QX_ROOT");
    const char* system = std::getenv("QX_SYSTEM");
    std::string config;
    std::string logs;
    // An empty variable counts as not set: it would give a path at the root.
    if (root != nullptr && *root != '\0' && system != nullptr && *system != '\0') {
        std::string base = std::string(root) + "/" + system;
        config = base + "/config/system";
        logs = base + "/logs";
    } else {
        IniFile pointer;
        std::string configPath;
        if (pointer.Load(Locations().pointerFile) == IniFile::LoadResult::kLoaded) {
            configPath = CutValue(pointer.Get("Config", "ConfigPath").value_or(""));
        }
        config = configPath.empty() ? Locations().windowsDir : configPath;
        logs = Locations().defaultLogDir;
    }
    // Held to kPathMax characters. A cut configuration directory never gets
    // used: every settings path built on it is over-long and refused. A cut
    // log directory would put the logs somewhere else, so it is dropped
    // instead and the log file stays off.
    if (config.size() > static_cast<std::size_t>(kPathMax)) config.resize(kPathMax);
    if (logs.size() > static_cast<std::size_t>(kPathMax)) {
        if (logs != LastLongLogDir) {
            LastLongLogDir = logs;
            DebugMessage("ResolvePaths - log directory longer than %d characters, no log file",
                         kPathMax);
        }
        logs.clear();
    }
    ConfigDir = config;
    LogDir = logs;
    return ConfigDir;
}

std::string ReadIniSetting(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& defaultText,
                           int writeBack) {
    if (BatchedFile* f = BatchedFileFor(file)) {
        if (f->path.empty()) {
            DebugMessage("ReadIniSetting - path of %s longer than %d characters, default used for %s",
                         file.c_str(), kPathMax, key.c_str());
            return CutValue(defaultText);
        }
        std::optional<std::string> found = f->ini.Get(section, key);
        std::string value = CutValue(found.value_or(defaultText));
        if (writeBack != 0 && !found && f->updatable) {
            if (SetAndReport(f->ini, section, key, value, SetBy::kReadBack)) {
                f->sets.push_back({section, key, value, true});
            }
        }
        return value;
    }
    ResolvePaths();
    std::string path;
    if (!SettingsPath(file, &path)) {
        DebugMessage("ReadIniSetting - path of %s longer than %d characters, default used for %s",
                     file.c_str(), kPathMax, key.c_str());
        return CutValue(defaultText);
    }
    IniFile ini;
    bool updatable = LoadForUpdate(ini, path, "ReadIniSetting");
    std::optional<std::string> found = ini.Get(section, key);
    std::string value = CutValue(found.value_or(defaultText));
    // Write-back adds a missing key. A present key already holds exactly the
    // text returned (or more, when it was cut at 255 characters: rewriting it
    // would lose the rest), so it is left as it is.
    if (writeBack != 0 && !found && updatable) {
        if (SetAndReport(ini, section, key, value, SetBy::kReadBack)) {
            ini.Save(path);  // an unwritable file or directory is not an error
        }
    }
    return value;
}

void WriteIniSetting(const std::string& file, const std::string& section, const std::string& key,
                     const std::string& value) {
    if (BatchedFile* f = BatchedFileFor(file); f != nullptr && !f->path.empty()) {
        if (!f->updatable) return;
        if (SetAndReport(f->ini, section, key, value, SetBy::kWrite)) {
            f->sets.push_back({section, key, value, false});
        }
        return;
    }
    ResolvePaths();
    std::string path;
    if (!SettingsPath(file, &path)) {
        DebugMessage("WriteIniSetting - path of %s longer than %d characters, %s not written",
                     file.c_str(), kPathMax, key.c_str());
        return;
    }
    IniFile ini;
    if (!LoadForUpdate(ini, path, "WriteIniSetting")) return;
    // Unchanged: nothing to write, the file keeps its bytes and time stamp.
    if (SetAndReport(ini, section, key, value, SetBy::kWrite)) {
        ini.Save(path);  // an unwritable file or directory is not an error
    }
}

void LoadIni() {
    if (!InSettingsBatch()) ResolvePaths();
    const std::string file = SettingsFileName(DeviceNumber);
    // A present file that cannot be read still gives the defaults below (so
    // that the caller can log with them); the caller then stops the driver.
    UnreadableSettings = SettingsFileProblem(file);
    Settings = DecideDriverSettings(
        [&](const char* key, const char* defaultText) {
            std::string text = ReadIniSetting(file, kDriverSection, key, defaultText, 1);
            // What the reads after it log shows as soon as DebugMode is known.
            if (std::strcmp(key, "DebugMode") == 0) Settings.DebugMode = AtoiText(text);
            return text;
        },
        nullptr);
    DebugMessage("LoadIni - serial params are %s", Settings.SerialParams.c_str());
}

}  // namespace vorn
