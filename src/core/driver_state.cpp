#include "core/driver_state.h"

namespace vorn {

DriverSettings Settings;
std::string ConfigDir;
std::string LogDir;

int DeviceNumber = 0;
int StatusHeight = 0;
int DriverStatus = 0;
int CommsSummary = 0;
int InfodriverTxCount = 0;
int InfodriverRxCount = 0;
int ChosenPanel = 0;
int ShowAllMessages = 0;
int PanelCount = 0;
int DriverMode = -1;
int ModeCheckCountdown = 1;
int PollCountdown = 0;
int FlashTimerRunning = 0;
int TestPanel = -1;
int TestColour = -1;

void ResetProcessState() {
    Settings = DriverSettings{};
    ConfigDir.clear();
    LogDir.clear();
    DeviceNumber = 0;
    StatusHeight = 0;
    DriverStatus = 0;
    CommsSummary = 0;
    InfodriverTxCount = 0;
    InfodriverRxCount = 0;
    ChosenPanel = 0;
    ShowAllMessages = 0;
    PanelCount = 0;
    DriverMode = -1;
    ModeCheckCountdown = 1;
    PollCountdown = 0;
    FlashTimerRunning = 0;
    TestPanel = -1;
    TestColour = -1;
}

}  // namespace vorn
