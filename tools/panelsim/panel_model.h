#pragma once
// What one simulated panel shows and what it has received: the face of each
// button and counters of the frames. Plain value; no I/O. Used on the
// simulator's one thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver_frame_decoder.h"
#include "panel_type.h"

namespace vorn::sim {

struct ButtonFace {
    std::string text;  // last label received (8 or 10 bytes as sent); "" none
    int graphic = -1;  // last graphic number received; -1 none (a label clears it)
    int colour = 0;    // last colour number received
    bool lamp = false; // lamp on
};

struct PanelCounts {
    uint64_t frames = 0;       // well-formed frames, own and foreign
    uint64_t polls = 0;
    uint64_t clears = 0;
    uint64_t code6 = 0;
    uint64_t texts10 = 0;      // long text form
    uint64_t texts8 = 0;       // short text form
    uint64_t graphics = 0;
    uint64_t colours = 0;
    uint64_t lamps = 0;        // lamp on and lamp off frames
    uint64_t foreign = 0;      // frames for another address byte, ignored
    uint64_t outOfRange = 0;   // own frames naming a button the panel lacks
    uint64_t junkBytes = 0;    // bytes that formed no frame
    uint64_t rxBytes = 0;      // all bytes received
    uint64_t sentMessages = 0; // messages sent to the driver (alive, press, ...)
};

class PanelModel {
public:
    PanelModel(const PanelType& type, uint8_t commsId);

    const PanelType& type() const { return type_; }
    uint8_t commsId() const { return commsId_; }
    PanelCounts& counts() { return counts_; }
    const PanelCounts& counts() const { return counts_; }

    // Button n (1..type().buttons); nullptr outside that range.
    const ButtonFace* Button(int n) const;

    // Takes one decoded frame into the model and the counters. Returns a
    // line for the log when the frame could not be applied (junk, a button
    // the panel lacks), "" otherwise. Foreign frames are only counted.
    std::string Apply(const DecodedFrame& frame);

    // Clear panel: every button back to no label, no graphic, colour 0,
    // lamp off.
    void ClearFaces();

    // One line of JSON (no newline): panel number, type, id, transport,
    // connected, counts and the buttons array.
    std::string ToJson(int panelNumber, std::string_view transport, bool connected) const;

private:
    PanelType type_;
    uint8_t commsId_;
    std::vector<ButtonFace> buttons_;  // index 0 is button 1
    PanelCounts counts_;
};

// Bytes as "82 01 7D" (upper case, blank separated), for log lines.
std::string HexBytes(const std::vector<uint8_t>& bytes);

}  // namespace vorn::sim
