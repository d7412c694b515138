#include "panels/mode_tracking.h"

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/seam.h"
#include "panels/info_client.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

int MissedChecks = 0;     // checks in a row that got no answer
int LastDecidedMode = -1;  // the mode of the last change CheckInfoMode made

}  // namespace

bool IsOrWasMain() { return DriverMode == IFMODE_TXRX || (DriverMode == -1 && LastDecidedMode == IFMODE_TXRX); }

bool ModeEverDecided() { return LastDecidedMode != -1; }

void GiveUpMainRole() { LastDecidedMode = IFMODE_RXONLY; }

void ResetModeTracking() {
    MissedChecks = 0;
    LastDecidedMode = -1;
}

const char* ModeStatusText(int mode) {
    switch (mode) {
        case IFMODE_RXONLY: return "RXonly - RESERVE";
        case IFMODE_TXRX: return "Tx/Rx - MAIN OK";
        default: return " ??unknown??";
    }
}

const char* ModeLogName(int mode) {
    switch (mode) {
        case IFMODE_RXONLY: return "RXONLY";
        case IFMODE_TXRX: return "TX-RX";
        default: return "";
    }
}

ModeCheck CheckInfoMode() {
    int mode = 0;
    if (Info().querymode(&mode)) {
        MissedChecks = 0;
    } else if (++MissedChecks < kModeMissesAllowed) {
        DebugMessage("CheckInfoMode - no answer from the infodriver (%d in a row) - mode kept ", MissedChecks);
        return ModeCheck::kUnchanged;
    } else {
        DebugMessage("CheckInfoMode - no answer from the infodriver (%d in a row) - mode unknown ", MissedChecks);
        mode = 0;
    }
    if (mode == DriverMode) {
        GetSeam().SetField(kFieldInfoStatus, ModeStatusText(mode));
        return ModeCheck::kUnchanged;
    }
    DebugMessage("CheckInfoMode- new mode %s(%d) different to current %s(%d) -- changing status",
                 ModeLogName(mode), mode, ModeLogName(DriverMode), DriverMode);
    LastDecidedMode = mode;
    if (mode == IFMODE_RXONLY) {
        DriverMode = IFMODE_RXONLY;
        DebugMessage("PELLAX_Panel driver running in  RXONLY  mode ");
        GetSeam().SetField(kFieldInfoStatus, ModeStatusText(mode));
        // A reserve keeps offering itself: if the Infodriver still sees it as
        // reserve, ask to be main; the current main refuses while it is well.
        if (Info().getmode() == IFMODE_RXONLY) Info().setmode(IFMODE_TXRX);
    } else if (mode == IFMODE_TXRX) {
        DriverMode = IFMODE_TXRX;
        if (Info().getmode() != IFMODE_TXRX) Info().setmode(IFMODE_TXRX);
        DebugMessage("PELLAX_Panel driver running in  TXRX  mode ");
        GetSeam().SetField(kFieldInfoStatus, ModeStatusText(mode));
    } else {
        DriverMode = 0;
        DebugMessage("PELLAX_Panel driver running in  UNKNOWN  mode ");
        GetSeam().SetField(kFieldInfoStatus, ModeStatusText(mode));
    }
    return ModeCheck::kChanged;
}

}  // namespace vorn
