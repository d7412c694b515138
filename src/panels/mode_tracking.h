#pragma once
// Follows the Infodriver's main/reserve decision in DriverMode.

#include <cstdint>

namespace vorn {

constexpr int kDriverStatusSlot = 4001;

enum class ModeCheck : uint8_t { kUnchanged, kChanged };

// kChanged when the mode changed (DriverMode updated). A check
// that gets no answer keeps the mode (logged); only the third such check in
// a row counts as an unknown mode (0), so one slow moment of the Infodriver
// does not drop the panels. A lost link ends the driver anyway.
ModeCheck CheckInfoMode();

// True while this driver is main or was main last and has not handed the
// panels over yet (a force command pending): it then owns the driver and
// panel status slots. A reserve never writes them.
bool IsOrWasMain();

// True once CheckInfoMode has decided a mode.
bool ModeEverDecided();

// The main role is being given up (Force to RX-Only): from now on this
// driver no longer owns the status slots, even before the next check.
void GiveUpMainRole();

// Back to the start: no check missed, no mode decided.
void ResetModeTracking();

// Checks in a row without an answer before the mode counts as unknown.
constexpr int kModeMissesAllowed = 3;

// Status text (field 2005) and log name of a mode.
const char* ModeStatusText(int mode);
const char* ModeLogName(int mode);

}  // namespace vorn
