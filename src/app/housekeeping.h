#pragma once
// The main window's timer ticks, kept on this side of the seam so that they
// are tested with hand-ticked timers: the start-up load (timer 2), the
// one-second housekeeping (timer 1), the flash tick (timer 4) and the panel
// test tick (timer 5).

namespace vorn {

void StartupLoadTick();
void HousekeepingTick();
void FlashTick();
// Dispatches a timer id to the tick above; other ids do nothing.
void OnTimerTick(int id);

}  // namespace vorn
