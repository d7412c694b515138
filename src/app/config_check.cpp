#include "app/config_check.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "app/driver_app.h"
#include "core/settings.h"
#include "core/settings_rules.h"
#include "panels/panel_section.h"
#include "panels/panel_table.h"
#include "transport/serial_device.h"

namespace vorn {

namespace {

constexpr char kDriverSection[] = "Pellax_Panel";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string PanelSectionName(int n) { return std::string(kDriverSection) + "_" + std::to_string(n); }

bool IsDriverSection(const std::string& lowerName) {
    if (lowerName == Lower(kDriverSection)) return true;
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (lowerName == Lower(PanelSectionName(n))) return true;
    }
    return false;
}

// Where things are in the file: the first header of each section, the first
// line of each key in it (the ones the reader uses), and the entries that
// were there, for the unknown-key check.
struct FileMap {
    std::map<std::string, int> sectionLine;                          // lower name
    std::map<std::pair<std::string, std::string>, int> keyLine;      // lower section, lower key
    std::vector<std::tuple<std::string, std::string, int>> entries;  // lower section, key as written, line
};

class Checker {
public:
    explicit Checker(const IniFile& ini) : ini_(ini) {}

    std::vector<ConfigProblem> Run() {
        Walk();
        const DriverSettings settings = CheckDriverSection();
        CheckPanelSections(settings);
        CheckUnknownKeys();
        std::stable_sort(problems_.begin(), problems_.end(),
                         [](const ConfigProblem& a, const ConfigProblem& b) { return a.line < b.line; });
        return std::move(problems_);
    }

private:
    void Add(int line, bool error, std::string text) { problems_.push_back({line, error, std::move(text)}); }

    // The line of the section's header, 0 when the file has no such section.
    int LineOfSection(const std::string& section) const {
        auto s = map_.sectionLine.find(Lower(section));
        return s != map_.sectionLine.end() ? s->second : 0;
    }

    // The line of the key the reader uses, else of its section's header.
    int LineOfKey(const std::string& section, const std::string& key) const {
        auto k = map_.keyLine.find({Lower(section), Lower(key)});
        return k != map_.keyLine.end() ? k->second : LineOfSection(section);
    }

    // The lines the reader skips or only half understands, and where each
    // section and key is.
    void Walk() {
        std::string section;  // lower name of the section the line is in
        bool inSection = false;
        bool firstOfName = false;  // the section's first header: its keys are the ones read
        for (const IniFile::LineInfo& line : ini_.Outline()) {
            switch (line.kind) {
                case IniFile::LineInfo::Kind::kNothing:
                    break;
                case IniFile::LineInfo::Kind::kJunk:
                    Add(line.number, false, "neither [section], key=value nor a comment: ignored");
                    break;
                case IniFile::LineInfo::Kind::kSection: {
                    section = Lower(line.name);
                    inSection = true;
                    const std::string shown = "[" + line.name + "]";
                    if (!line.closed) Add(line.number, false, shown + " header without ']'");
                    auto first = map_.sectionLine.find(section);
                    firstOfName = first == map_.sectionLine.end();
                    if (!firstOfName) {
                        Add(line.number, false,
                            shown + " again: ignored, the section at line " + std::to_string(first->second) +
                                " is used");
                        break;
                    }
                    map_.sectionLine[section] = line.number;
                    if (!IsDriverSection(section)) {
                        Add(line.number, false,
                            shown + " is not one of the driver's sections ([Pellax_Panel], [Pellax_Panel_1] to "
                                    "[Pellax_Panel_12]): ignored");
                    }
                    break;
                }
                case IniFile::LineInfo::Kind::kEntry: {
                    if (!inSection) {
                        Add(line.number, false, line.name + ": outside any section: ignored");
                        break;
                    }
                    if (!firstOfName) break;  // the whole section is reported
                    auto [at, added] = map_.keyLine.emplace(std::make_pair(section, Lower(line.name)), line.number);
                    if (!added) {
                        if (IsDriverSection(section)) {
                            Add(line.number, false,
                                "[" + DisplayName(section) + "] " + line.name + ": given again: ignored, line " +
                                    std::to_string(at->second) + " is used");
                        }
                        break;
                    }
                    map_.entries.emplace_back(section, line.name, line.number);
                    break;
                }
            }
        }
    }

    // The section's name as the driver spells it.
    static std::string DisplayName(const std::string& lowerSection) {
        if (lowerSection == Lower(kDriverSection)) return kDriverSection;
        for (int n = 1; n <= kMaxPanels; ++n) {
            if (lowerSection == Lower(PanelSectionName(n))) return PanelSectionName(n);
        }
        return lowerSection;
    }

    // A reader over the file as the loaders read it, without writing back;
    // records the keys asked for and their defaults, and notes a value that
    // the 255-character buffer or a NUL byte cuts.
    SettingReader ReaderFor(const std::string& section, std::vector<SettingNote>* notes) {
        return [this, section, notes](const char* key, const char* defaultText) -> std::string {
            asked_[Lower(section)][Lower(key)] = defaultText;
            std::optional<std::string> raw = ini_.Get(section, key);
            if (!raw) return defaultText;
            std::string value = CutValue(*raw);
            if (value != *raw) {
                const bool nul = raw->find('\0') != std::string::npos && raw->find('\0') < kIniValueMax;
                AddSettingNote(notes, key, false,
                               nul ? "holds a NUL byte: the value ends there"
                                   : "longer than " + std::to_string(kIniValueMax) + " characters: cut");
            }
            return value;
        };
    }

    void AddNotes(const std::string& section, const std::vector<SettingNote>& notes) {
        for (const SettingNote& note : notes) {
            Add(LineOfKey(section, note.key), note.error, "[" + section + "] " + note.key + ": " + note.text);
        }
    }

    DriverSettings CheckDriverSection() {
        std::vector<SettingNote> notes;
        DriverSettings settings = DecideDriverSettings(ReaderFor(kDriverSection, &notes), &notes);
        AddNotes(kDriverSection, notes);
        return settings;
    }

    // True when a key of the section holds anything but its default: someone
    // meant something by it.
    bool HasOwnValues(const std::string& section) const {
        auto asked = asked_.find(Lower(section));
        if (asked == asked_.end()) return false;
        for (const auto& [key, defaultText] : asked->second) {
            std::optional<std::string> value = ini_.Get(section, key);
            if (value && *value != defaultText) return true;
        }
        return false;
    }

    void CheckPanelSections(const DriverSettings& settings) {
        std::map<int, int> comPortOwner;                // COM port -> panel
        std::map<std::string, int> addressOwner;        // lower address + ":" + port -> panel
        std::vector<int> serialPanels;
        auto record = std::make_unique<PanelRecord>();  // scratch: the table stays untouched
        for (int n = 1; n <= kMaxPanels; ++n) {
            const std::string section = PanelSectionName(n);
            std::vector<SettingNote> notes;
            *record = PanelRecord{};
            const PanelSectionDecision d = DecidePanelSection(ReaderFor(section, &notes), *record, &notes);
            if (d.use == PanelUse::kNone) {
                if (HasOwnValues(section)) {
                    Add(LineOfSection(section), false,
                        "[" + section + "] no panel: TCPIP_Address is 0.0.0.0 and Serial_ComPort below 1, so panel " +
                            std::to_string(n) + " is not used");
                }
                continue;
            }
            AddNotes(section, notes);
            if (d.use == PanelUse::kSerial) {
                serialPanels.push_back(n);
                auto [owner, added] = comPortOwner.emplace(record->ComPort, n);
                if (!added) {
                    const std::string other = PanelSectionName(owner->second);
                    Add(LineOfKey(section, "Serial_ComPort"), true,
                        "[" + section + "] Serial_ComPort: COM" + std::to_string(record->ComPort) +
                            " is also panel " + std::to_string(owner->second) + "'s (line " +
                            std::to_string(LineOfKey(other, "Serial_ComPort")) + "): only one of them can open it");
                }
            } else if (d.use == PanelUse::kTcp) {
                const std::string where = record->IpAddress + " port " + std::to_string(record->Port);
                auto [owner, added] = addressOwner.emplace(Lower(record->IpAddress) + ":" + std::to_string(record->Port), n);
                if (!added) {
                    const std::string other = PanelSectionName(owner->second);
                    Add(LineOfKey(section, "TCPIP_Address"), true,
                        "[" + section + "] TCPIP_Address: " + where + " is also panel " +
                            std::to_string(owner->second) + "'s (line " +
                            std::to_string(LineOfKey(other, "TCPIP_Address")) + "): the driver cannot tell the two apart");
                }
            }
        }
        CheckSerialLine(settings, serialPanels);
    }

    // The line settings every serial panel is opened with.
    void CheckSerialLine(const DriverSettings& settings, const std::vector<int>& serialPanels) {
        if (serialPanels.empty()) return;
        SerialLineSettings line;
        line.baud = settings.Speed;
        line.byteSize = settings.DataBits;
        line.parity = settings.Parity;
        line.stopBits = settings.StopBits;
        const std::string bad = CheckLineSettings(line);
        if (bad.empty()) return;
        const char* key = line.baud <= 0 ? "Speed" : (line.byteSize < 5 || line.byteSize > 8) ? "DataBits" : "StopBits";
        std::string panels;
        for (int n : serialPanels) panels += (panels.empty() ? "" : ", ") + std::to_string(n);
        Add(LineOfKey(kDriverSection, key), true,
            std::string("[") + kDriverSection + "] " + key + ": serial line settings refused (" + bad +
                "): serial panel(s) " + panels + " never open");
    }

    void CheckUnknownKeys() {
        for (const auto& [section, key, line] : map_.entries) {
            if (!IsDriverSection(section)) continue;  // the section itself is reported
            const auto& asked = asked_[section];
            if (asked.count(Lower(key)) == 0) {
                Add(line, false, "[" + DisplayName(section) + "] " + key + ": not read by the driver (a typing error?)");
            }
        }
    }

    const IniFile& ini_;
    FileMap map_;
    std::map<std::string, std::map<std::string, std::string>> asked_;  // lower section -> lower key -> default
    std::vector<ConfigProblem> problems_;
};

}  // namespace

int ConfigCheckResult::Errors() const {
    return static_cast<int>(std::count_if(problems.begin(), problems.end(), [](const auto& p) { return p.error; }));
}

int ConfigCheckResult::Warnings() const { return static_cast<int>(problems.size()) - Errors(); }

std::vector<ConfigProblem> CheckSettings(const IniFile& ini) { return Checker(ini).Run(); }

ConfigCheckResult CheckSettingsFile(int device, IniFile* file) {
    ConfigCheckResult result;
    ResolvePaths();
    const std::string name = SettingsFileName(device);
    if (!SettingsPath(name, &result.path)) {
        result.unreadable = "path longer than " + std::to_string(kPathMax) + " characters";
        return result;
    }
    IniFile ini;
    switch (ini.Load(result.path)) {
        case IniFile::LoadResult::kLoaded:
            result.readable = true;
            result.problems = CheckSettings(ini);
            if (file != nullptr) *file = std::move(ini);
            break;
        case IniFile::LoadResult::kMissing:
            result.unreadable = "No such file or directory";
            break;
        case IniFile::LoadResult::kUnreadable:
        case IniFile::LoadResult::kTooLarge:
            result.unreadable = ini.LoadError();
            break;
    }
    return result;
}

int PrintConfigCheck(const ConfigCheckResult& result, std::FILE* out) {
    if (!result.readable) {
        std::fprintf(out, "%s: error: cannot be read: %s\n", result.path.c_str(), result.unreadable.c_str());
        return 2;
    }
    for (const ConfigProblem& p : result.problems) {
        const char* kind = p.error ? "error" : "warning";
        if (p.line > 0) {
            std::fprintf(out, "%s:%d: %s: %s\n", result.path.c_str(), p.line, kind, p.text.c_str());
        } else {
            std::fprintf(out, "%s: %s: %s\n", result.path.c_str(), kind, p.text.c_str());
        }
    }
    const int errors = result.Errors();
    const int warnings = result.Warnings();
    if (errors + warnings == 0) {
        std::fprintf(out, "%s: no problems\n", result.path.c_str());
    } else {
        std::fprintf(out, "%s: %d error%s, %d warning%s\n", result.path.c_str(), errors, errors == 1 ? "" : "s",
                     warnings, warnings == 1 ? "" : "s");
    }
    return errors > 0 ? 1 : 0;
}

int RunConfigCheck(const std::string& deviceText) {
    const int device = ParseDeviceNumber(deviceText);
    if (device <= 0) {
        std::fprintf(stderr, "pellax-panel: --check-config needs a device number, not '%s'\n", deviceText.c_str());
        return 2;
    }
    const int code = PrintConfigCheck(CheckSettingsFile(device), stdout);
    return std::fflush(stdout) == 0 ? code : 2;
}

}  // namespace vorn
