#include "panels/info_client.h"

#include <cstdio>
#include <cstdlib>

#include "panels/mode_tracking.h"
#include "panels/panel_table.h"
#include "transport/extinfo.h"

namespace vorn {

namespace {

extinfo* bound = nullptr;

}  // namespace

void BindInfoClient(extinfo* client) {
    bound = client;
    if (client == nullptr) return;
    // The driver's own slots: the twelve panel blocks and its status slot.
    client->followslots(0, kMaxPanels * kSlotsPerPanel - 1);
    client->followslots(kDriverStatusSlot, kDriverStatusSlot);
}

extinfo* BoundInfoClient() { return bound; }

extinfo& Info() {
    if (bound == nullptr) {
        std::fprintf(stderr, "panel layer used without an Infodriver client (BindInfoClient)\n");
        std::abort();
    }
    return *bound;
}

}  // namespace vorn
