#pragma once
// One PANELSPEC argument of panelsim: model, address byte and transport.
// Pure parsing; any thread.
//
//   tcp:HOST:PORT:type=MODEL:id=HEX       listen on HOST:PORT (PORT 0: any
//                                          free port; IPv6 as [::1])
//   pty[:COMn][:dir=DIR]:type=MODEL:id=HEX a pseudo-terminal; with COMn a
//                                          symlink DIR/COMn to it (DIR
//                                          defaults to $VORN_COM_DIR, else
//                                          /dev/vorn)
// The type= and id= fields may come in any order after the address part;
// MODEL is a model name or its number (CP-2048E, 2048); HEX is one or two
// hexadecimal digits, optionally after 0x (00..FF). Values cannot contain ':'.

#include <string>
#include <string_view>

#include "panel_type.h"

namespace vorn::sim {

struct PanelSpec {
    enum class Transport { Tcp, Pty };
    Transport transport = Transport::Tcp;
    std::string host;      // Tcp: address to listen on
    int port = 0;          // Tcp: 0..65535, 0 picks a free port
    std::string linkName;  // Pty: "COMn" or "" for no symlink
    std::string linkDir;   // Pty: directory of the symlink; "" for the default
    PanelType type;
    uint8_t commsId = 0;
};

// Parses text into spec. False with a one-line reason in error when the
// text is not a valid PANELSPEC; spec is then unspecified.
bool ParsePanelSpec(std::string_view text, PanelSpec& spec, std::string& error);

// Text of the PANELSPEC syntax for --help (several lines, ending in '\n').
std::string PanelSpecHelp();

}  // namespace vorn::sim
