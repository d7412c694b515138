#include "panel_model.h"

#include <cstdio>

namespace vorn::sim {

PanelModel::PanelModel(const PanelType& type, uint8_t commsId)
    : type_(type), commsId_(commsId), buttons_(static_cast<std::size_t>(type.buttons)) {}

const ButtonFace* PanelModel::Button(int n) const {
    if (n < 1 || n > static_cast<int>(buttons_.size())) return nullptr;
    return &buttons_[static_cast<std::size_t>(n - 1)];
}

void PanelModel::ClearFaces() {
    for (ButtonFace& b : buttons_) b = ButtonFace{};
}

std::string PanelModel::Apply(const DecodedFrame& frame) {
    if (frame.kind == FrameKind::Junk) {
        counts_.junkBytes += frame.bytes.size();
        return "cannot decode " + std::to_string(frame.bytes.size()) + " byte(s): " + HexBytes(frame.bytes);
    }
    ++counts_.frames;
    if (frame.foreign) {
        ++counts_.foreign;
        return "";
    }
    switch (frame.kind) {
        case FrameKind::Poll: ++counts_.polls; return "";
        case FrameKind::Clear: ++counts_.clears; ClearFaces(); return "";
        case FrameKind::Code6: ++counts_.code6; return "";
        case FrameKind::LampOn:
        case FrameKind::LampOff: ++counts_.lamps; break;
        case FrameKind::Colour: ++counts_.colours; break;
        case FrameKind::Graphic: ++counts_.graphics; break;
        case FrameKind::Text10: ++counts_.texts10; break;
        case FrameKind::Text8: ++counts_.texts8; break;
        case FrameKind::Junk: break;
    }
    if (frame.button < 1 || frame.button > buttons_.size()) {
        ++counts_.outOfRange;
        return std::string(FrameKindName(frame.kind)) + " for button " + std::to_string(frame.button) +
               ", which a " + std::string(type_.name) + " lacks (1.." + std::to_string(buttons_.size()) +
               "): " + HexBytes(frame.bytes);
    }
    ButtonFace& b = buttons_[frame.button - 1u];
    switch (frame.kind) {
        case FrameKind::LampOn: b.lamp = true; break;
        case FrameKind::LampOff: b.lamp = false; break;
        case FrameKind::Colour: b.colour = frame.value; break;
        case FrameKind::Graphic:
            b.graphic = frame.value;
            b.text.clear();
            break;
        case FrameKind::Text10:
        case FrameKind::Text8:
            b.text = frame.text;
            b.graphic = -1;
            break;
        default: break;
    }
    return "";
}

namespace {

// A JSON string literal. Bytes below 0x20, the quote, the backslash and
// bytes of 0x7F and above are escaped as \u00XX (bytes above 0x7F are read
// as Latin-1), so the line is valid UTF-8 whatever the driver sent.
void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '"' || u == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendCount(std::string& out, const char* name, uint64_t value, bool first = false) {
    if (!first) out += ',';
    out += '"';
    out += name;
    out += "\":";
    out += std::to_string(value);
}

}  // namespace

std::string PanelModel::ToJson(int panelNumber, std::string_view transport, bool connected) const {
    std::string out = "{\"panel\":" + std::to_string(panelNumber) + ",\"type\":";
    AppendJsonString(out, type_.name);
    out += ",\"kind\":";
    out += type_.lamps ? "\"lamp\"" : "\"text\"";
    out += ",\"id\":" + std::to_string(commsId_) + ",\"transport\":";
    AppendJsonString(out, transport);
    out += ",\"connected\":";
    out += connected ? "true" : "false";
    out += ",\"counts\":{";
    const PanelCounts& c = counts_;
    AppendCount(out, "frames", c.frames, true);
    AppendCount(out, "polls", c.polls);
    AppendCount(out, "clears", c.clears);
    AppendCount(out, "code6", c.code6);
    AppendCount(out, "texts10", c.texts10);
    AppendCount(out, "texts8", c.texts8);
    AppendCount(out, "graphics", c.graphics);
    AppendCount(out, "colours", c.colours);
    AppendCount(out, "lamps", c.lamps);
    AppendCount(out, "foreign", c.foreign);
    AppendCount(out, "out_of_range", c.outOfRange);
    AppendCount(out, "junk_bytes", c.junkBytes);
    AppendCount(out, "rx_bytes", c.rxBytes);
    AppendCount(out, "sent", c.sentMessages);
    out += "},\"buttons\":[";
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        const ButtonFace& b = buttons_[i];
        if (i > 0) out += ',';
        out += "{\"n\":" + std::to_string(i + 1) + ",\"text\":";
        AppendJsonString(out, b.text);
        out += ",\"graphic\":";
        out += b.graphic < 0 ? std::string("null") : std::to_string(b.graphic);
        out += ",\"colour\":" + std::to_string(b.colour);
        out += ",\"lamp\":";
        out += b.lamp ? "true" : "false";
        out += '}';
    }
    out += "]}";
    return out;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    char hex[4];
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        std::snprintf(hex, sizeof hex, "%02X", b);
        out += hex;
    }
    return out;
}

}  // namespace vorn::sim
