#pragma once
// Follows the Infodriver's main/reserve decision in DriverMode.

namespace vorn {

constexpr int kDriverStatusSlot = 4001;

// 1 when the mode changed (DriverMode updated), 0 when unchanged.
int CheckInfoMode();

// Status text (field 2005) and log name of a mode.
const char* ModeStatusText(int mode);
const char* ModeLogName(int mode);

}  // namespace vorn
