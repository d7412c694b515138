#pragma once
// Receive path: port events and serial data notifications become changes of
// the panel table and of the Infodriver slots. GUI thread only.

#include <cstddef>
#include <cstdint>

namespace vorn {

class NetPort;
class SerialPort;

// TCP form: the callback given to each panel's NetPort.
void NetEventMain(NetPort* port);
// Serial form: called with the port that has data waiting.
void NetEventMain(SerialPort* port);
// Cuts a block read from a panel into messages and acts on each.
void ParsePanelData(const uint8_t* data, size_t length, int panel);

}  // namespace vorn
