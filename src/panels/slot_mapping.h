#pragma once
// Mapping between Infodriver slots and panel buttons: start-up load of the
// button data, Infodriver notifications and slot changes.

#include <chrono>
#include <cstdint>

namespace vorn {

class extinfo;

// Reads the labels and colours of every panel in use from the Infodriver
// (one synchronous read per slot: the loop waits meanwhile).
void LoadAllInfodriverData();
// The same for panel n alone (nothing when it is not in use).
void LoadPanelInfodriverData(int n);
// The notification callback given to the Infodriver client.
void InfoNotify(extinfo* client, int index, const char* text);
// Handles one changed slot (the panel operation its offset names).
void SlotChange(int device, int slot, const char* text);
void ResetButtonColours(int panel);
void SelectButton(int panel, int button);

// Writes InfodriverTxCount and InfodriverRxCount into their fields ("%08d").
// kThrottled (slot changes, serial blocks) writes at most every 100 ms;
// kNow (the housekeeping tick) always writes.
enum class CounterRefresh : uint8_t { kThrottled, kNow };
constexpr std::chrono::milliseconds kCounterRefreshInterval{100};
void ShowInfodriverCounters(CounterRefresh when = CounterRefresh::kThrottled);
// The next throttled call writes again (start state).
void ResetCounterRefresh();

}  // namespace vorn
