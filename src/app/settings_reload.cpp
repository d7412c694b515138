#include "app/settings_reload.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/config_check.h"
#include "app/driver_app.h"
#include "app/status_logic.h"
#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/ini_file.h"
#include "core/seam.h"
#include "core/service_events.h"
#include "core/settings.h"
#include "core/settings_rules.h"
#include "panels/info_client.h"
#include "panels/mode_tracking.h"
#include "panels/panel_connections.h"
#include "panels/panel_loader.h"
#include "panels/panel_table.h"
#include "panels/panel_test.h"
#include "panels/slot_mapping.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

constexpr char kDriverSection[] = "Pellax_Panel";
// Errors of a refused file that are logged one by one; the rest are counted.
constexpr int kErrorsLogged = 10;

enum class Phase { kBeforeStartup, kIdle, kRunning, kStopped };

struct ReloadState {
    Phase phase = Phase::kBeforeStartup;
    bool started = false;  // the running reload has read the file
    bool again = false;    // asked for once more meanwhile
    int generation = 0;    // a posted step of another generation does nothing
    std::shared_ptr<const IniFile> file;
    std::vector<int> setUps;  // panels still to set up, in order
    std::size_t next = 0;
    int added = 0, changed = 0, removed = 0, unchanged = 0;
    std::function<void()> hook;
};

ReloadState& State() {
    static ReloadState state;
    return state;
}

// The value the loaders would read: the text of the file or the default.
SettingReader ReaderOf(const IniFile& ini, std::string section) {
    return [&ini, section = std::move(section)](const char* key, const char* defaultText) {
        return CutValue(ini.Get(section, key).value_or(defaultText));
    };
}

std::string PanelSection(int n) { return std::string(kDriverSection) + "_" + std::to_string(n); }

bool SameSerialLine(const DriverSettings& a, const DriverSettings& b) {
    return a.Speed == b.Speed && a.DataBits == b.DataBits && a.StopBits == b.StopBits && a.Parity == b.Parity;
}

// The names of the driver keys whose values differ, blank-separated.
std::string ChangedDriverKeys(const DriverSettings& a, const DriverSettings& b) {
    std::string keys;
    const auto note = [&keys](const char* key, bool same) {
        if (!same) keys += std::string(keys.empty() ? "" : " ") + key;
    };
    note("DebugMode", a.DebugMode == b.DebugMode);
    note("LogMode", a.LogMode == b.LogMode);
    note("RefreshOnConnection", a.RefreshOnConnection == b.RefreshOnConnection);
    note("Driver_Identity", a.Driver_Identity == b.Driver_Identity);
    note("PanelSilenceTimeout", a.PanelSilenceTimeout == b.PanelSilenceTimeout);
    note("Speed", a.Speed == b.Speed);
    note("DataBits", a.DataBits == b.DataBits);
    note("StopBits", a.StopBits == b.StopBits);
    note("Parity", a.Parity == b.Parity);
    note("StatusHttpPort", a.StatusHttpPort == b.StatusHttpPort);
    note("StatusHttpAddress", a.StatusHttpAddress == b.StatusHttpAddress);
    note("StatusHttpToken", a.StatusHttpToken == b.StatusHttpToken);  // the name only, never the value
    note("StatusHttpHosts", a.StatusHttpHosts == b.StatusHttpHosts);
    note("LogKeepDays", a.LogKeepDays == b.LogKeepDays);
    note("LogMaxDayBytes", a.LogMaxDayBytes == b.LogMaxDayBytes);
    return keys;
}

// The new driver settings in force, each where it takes effect.
void ApplyDriverSettings(DriverSettings fresh) {
    const DriverSettings old = Settings;
    // The Debug menu's hidden list stays as the operator left it unless the
    // file turns the debug lines on or off.
    if (fresh.DebugMode == old.DebugMode) fresh.DebugHidden = old.DebugHidden;
    Settings = std::move(fresh);
    const std::string keys = ChangedDriverKeys(old, Settings);
    if (Settings.DebugMode != old.DebugMode) UpdateDebugMenu();
    if (Settings.LogMode != old.LogMode || Settings.LogKeepDays != old.LogKeepDays ||
        Settings.LogMaxDayBytes != old.LogMaxDayBytes) {
        ApplyLogSettings();
    }
    GetSeam().SetField(kFieldIdentity, Settings.Driver_Identity);
    if (State().hook) State().hook();
    if (!keys.empty()) DebugMessageAlways("Reload - driver settings changed: %s ", keys.c_str());
}

// Closes panel n and empties its record: its link goes, "0" into its status
// slot while this driver owns the status slots, its service counters start
// again.
void TakeDown(int n) {
    PanelRecord& p = Panels[n];
    if (TestPanel == n) CancelPanelTest();
    if (p.Link) p.Link->Close();  // a TCP connection reports its close: "0" then too
    if (IsOrWasMain()) Info().updateslot(PanelStatusSlot(p), "0");
    ResetPanelRecord(n);
    PanelCounters(n) = PanelServiceCounters{};
}

// The list anew, with the chosen panel's line selected while it is listed.
void RelistPanels() {
    RebuildPanelList();
    GetSeam().SetFieldNumber(kFieldPanelCount, static_cast<unsigned>(PanelCount));
    if (IsPanelNumber(ChosenPanel) && Panels[ChosenPanel].InUse != 0) {
        GetSeam().PanelListSelect(Panels[ChosenPanel].ListIndex - 1);
    }
}

void PostStep();

void Finish() {
    ReloadState& s = State();
    s.file.reset();
    s.setUps.clear();
    // The chosen panel again, or the first listed one when it went, as at
    // start-up; its fields show what it is now.
    if (!IsPanelNumber(ChosenPanel) || Panels[ChosenPanel].InUse == 0) {
        ChosenPanel = 0;
        for (int n = 1; n <= kMaxPanels; ++n) {
            if (Panels[n].InUse != 0 && Panels[n].ListIndex == 1) ChosenPanel = n;
        }
    }
    if (IsPanelNumber(ChosenPanel) && TestPanel == -1) {
        GetSeam().PanelListSelect(Panels[ChosenPanel].ListIndex - 1);
        ShowChosenPanel();
    }
    DebugMessageAlways("Reload - %d added, %d changed, %d removed, %d unchanged ", s.added, s.changed, s.removed,
                       s.unchanged);
    s.phase = Phase::kIdle;
    s.started = false;
    if (s.again) {
        s.again = false;
        RequestSettingsReload();
    }
}

// One panel set up from the file read: a step of its own, since reading its
// slots waits on the Infodriver.
void SetUpStep() {
    ReloadState& s = State();
    if (s.next >= s.setUps.size()) {
        Finish();
        return;
    }
    const int n = s.setUps[s.next++];
    ResetPanelRecord(n);
    const PanelSectionDecision d = ReadPanelSection(n, ReaderOf(*s.file, PanelSection(n)));
    if (SetUpPanel(n, d)) {
        LoadPanelInfodriverData(n);
        RelistPanels();
        // A reserve, or a driver whose mode is not decided yet, connects
        // nothing: the mode check connects every panel in use when it
        // becomes main.
        if (DriverMode == IFMODE_TXRX) ConnectToPanel(n);
    }
    PostStep();
}

void PostStep() {
    const int generation = State().generation;
    GetSeam().Post([generation] {
        if (State().generation == generation) SetUpStep();
    });
}

// Reads and checks the file; true when it may be applied (else logged).
bool ReadChecked(IniFile* ini) {
    const ConfigCheckResult check = CheckSettingsFile(DeviceNumber, ini);
    if (!check.readable) {
        DebugMessageAlways("Reload - settings file %s cannot be read: %s - running configuration kept ",
                           check.path.c_str(), check.unreadable.c_str());
        return false;
    }
    if (const int errors = check.Errors(); errors > 0) {
        int logged = 0;
        for (const ConfigProblem& problem : check.problems) {
            if (!problem.error || logged++ >= kErrorsLogged) continue;
            DebugMessageAlways("Reload - line %d: %s", problem.line, problem.text.c_str());
        }
        DebugMessageAlways("Reload - %d error(s) in %s - running configuration kept ", errors, check.path.c_str());
        return false;
    }
    if (const int warnings = check.Warnings(); warnings > 0) {
        DebugMessageAlways("Reload - %d warning(s) in %s (pellax-panel --check-config %d lists them) ", warnings,
                           check.path.c_str(), DeviceNumber);
    }
    return true;
}

// The first step: read, check, compare, apply the driver keys and close
// what goes; the set-ups follow as steps of their own.
void StartReload() {
    ReloadState& s = State();
    s.started = true;
    s.added = s.changed = s.removed = s.unchanged = 0;
    auto ini = std::make_shared<IniFile>();
    if (!ReadChecked(ini.get())) {
        s.phase = Phase::kIdle;
        s.started = false;
        if (s.again) {
            s.again = false;
            RequestSettingsReload();
        }
        return;
    }
    s.file = ini;
    DriverSettings fresh = DecideDriverSettings(ReaderOf(*ini, kDriverSection), nullptr);
    const bool lineChanged = !SameSerialLine(Settings, fresh);
    ApplyDriverSettings(std::move(fresh));

    s.setUps.clear();
    s.next = 0;
    auto scratch = std::make_unique<PanelRecord>();
    for (int n = 1; n <= kMaxPanels; ++n) {
        ResetPanelRecord(*scratch, n);
        const PanelSectionDecision d = DecidePanelSection(ReaderOf(*ini, PanelSection(n)), *scratch, nullptr);
        const bool wanted = d.use == PanelUse::kTcp || d.use == PanelUse::kSerial;
        const PanelRecord& p = Panels[n];
        if (p.InUse == 0) {
            if (wanted) {
                DebugMessage("Reload - panel %d added ", n);
                ++s.added;
                s.setUps.push_back(n);
            }
            continue;
        }
        const bool serial = p.Link && p.Link->Kind() == LinkKind::kSerial;
        if (wanted && SameLoadedValues(p, *scratch) && !(serial && lineChanged)) {
            ++s.unchanged;
            continue;
        }
        TakeDown(n);
        if (wanted) {
            DebugMessage("Reload - panel %d changed: closed, set up again ", n);
            ++s.changed;
            s.setUps.push_back(n);
        } else {
            DebugMessage("Reload - panel %d removed: closed ", n);
            ++s.removed;
        }
    }
    if (s.changed + s.removed > 0) RelistPanels();
    PostStep();
}

}  // namespace

void RequestSettingsReload() {
    ReloadState& s = State();
    switch (s.phase) {
        case Phase::kBeforeStartup:
            if (!s.again) DebugMessage("Reload - asked for before the start-up load has run: done after it ");
            s.again = true;
            return;
        case Phase::kRunning:
            // One that has not read the file yet will read it as it is now.
            if (s.started && !s.again) {
                DebugMessage("Reload - asked for while one runs: done once more after it ");
                s.again = true;
            }
            return;
        case Phase::kStopped:
            return;
        case Phase::kIdle:
            break;
    }
    s.phase = Phase::kRunning;
    s.started = false;
    const int generation = s.generation;
    GetSeam().Post([generation] {
        if (State().generation == generation) StartReload();
    });
}

void AllowSettingsReloads() {
    ReloadState& s = State();
    if (s.phase != Phase::kBeforeStartup) return;
    s.phase = Phase::kIdle;
    if (s.again) {
        s.again = false;
        RequestSettingsReload();
    }
}

void ResetSettingsReload() {
    ReloadState& s = State();
    ++s.generation;
    s.phase = Phase::kBeforeStartup;
    s.started = false;
    s.again = false;
    s.file.reset();
    s.setUps.clear();
    s.next = 0;
}

void StopSettingsReloads() {
    ResetSettingsReload();
    State().phase = Phase::kStopped;
}

bool SettingsReloadRunning() { return State().phase == Phase::kRunning; }

void SetSettingsReloadHook(std::function<void()> hook) { State().hook = std::move(hook); }

}  // namespace vorn
