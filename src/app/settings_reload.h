#pragma once
// Reloading the settings file while the driver runs (SIGHUP, `systemctl
// reload`), applying only the difference, panel by panel:
//   - the file is read once and checked as `--check-config` checks it; a
//     file that cannot be read or holds an error changes nothing (the log
//     says why);
//   - a panel whose values are the same (SameLoadedValues) keeps its link,
//     state and counters: nothing is sent to it or written for it;
//   - a changed panel (any key the loader reads, or the serial line settings
//     for a serial panel) is closed ("0" in its status slot while this
//     driver owns the status slots) and set up again as a new one: its slot
//     data read from the Infodriver, connected at once while main (its first
//     alive message refreshes it, as at start-up); an added panel the same;
//   - a removed panel is closed the same way and leaves the panel list, the
//     status page and the metrics; its press and connect counters start
//     again from 0 if it comes back;
//   - the driver keys take effect at once (none needs a restart):
//     DebugMode (and the Debug menu), LogMode, LogKeepDays and
//     LogMaxDayBytes (ApplyLogSettings), RefreshOnConnection and
//     PanelSilenceTimeout (read where they are used), Driver_Identity (its
//     field), the status page keys (the hook below), and Speed, DataBits,
//     StopBits and Parity, which make every serial panel a changed one.
// The reload ends with "Reload - A added, C changed, R removed, U unchanged ".
//
// Timing: the check, the closes and the driver keys run in one go; each
// panel to set up gets a step of its own (a posted call), whose slot reads
// are the only wait, so the loop serves the other panels between panels.
// A reload asked for during the start-up load, or while one runs, runs once
// afterwards. GUI thread only.

#include <functional>

namespace vorn {

// Asks for a reload of the device's settings file.
void RequestSettingsReload();

// The start-up load has run: reloads may run from now on (one asked for
// meanwhile is started).
void AllowSettingsReloads();

// Back to the state before the start-up load (InitApp): steps still to come
// do nothing, requests wait for AllowSettingsReloads.
void ResetSettingsReload();

// At shutdown (CloseApp): steps still to come do nothing, requests are
// ignored from now on.
void StopSettingsReloads();

// True from the start of a reload until its last step.
bool SettingsReloadRunning();

// Called during a reload once the new driver settings are in place, for
// what the layers above apply themselves (the status page); empty: none.
void SetSettingsReloadHook(std::function<void()> hook);

}  // namespace vorn
