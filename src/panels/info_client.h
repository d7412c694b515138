#pragma once
// The Infodriver client the panel layer reads and writes slots through. The
// application owns the one client (the main window, or a test's fixture)
// and binds it here before any panel code runs (InitApp does); it unbinds it
// before the client goes. The panel layer holds no client of its own, so a
// test builds a driver against its own client and nothing outlives it.
// GUI thread only.

namespace vorn {

class extinfo;

// Binds the client the panel layer uses (null unbinds) and has it mirror the
// driver's own slots: the twelve panel blocks and the status slot.
void BindInfoClient(extinfo* client);
// The bound client, null when none is bound.
extinfo* BoundInfoClient();
// The bound client. Calling it with none bound is a fault of the caller:
// the process stops with a message on standard error.
extinfo& Info();

}  // namespace vorn
