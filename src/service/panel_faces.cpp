#include "service/panel_faces.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "panels/panel_senders.h"
#include "service/status_render.h"

namespace vorn {

namespace {

struct Colour {
    const char* name;
    const char* background;
    const char* text;  // dark on light colours, white on dark ones
};

// Colour numbers 0..9 as the faces (and the simulator's window) show them.
constexpr std::array<Colour, 10> kColours{{
    {"off", "#3a3a3a", "#fff"},
    {"red", "#d32f2f", "#fff"},
    {"green", "#2e7d32", "#fff"},
    {"amber", "#ffb300", "#000"},
    {"blue", "#1565c0", "#fff"},
    {"white", "#f5f5f5", "#000"},
    {"cyan", "#00acc1", "#000"},
    {"magenta", "#c2185b", "#fff"},
    {"orange", "#ef6c00", "#000"},
    {"yellow", "#fdd835", "#000"},
}};
constexpr Colour kUnknownColour{"unknown", "#808080", "#fff"};
constexpr Colour kLampOn{"lamp on", "#ffe082", "#000"};
constexpr Colour kLampOff{"lamp off", "#3a3a3a", "#bbb"};

const Colour& ColourOf(int n) { return n >= 0 && n < static_cast<int>(kColours.size()) ? kColours[static_cast<std::size_t>(n)] : kUnknownColour; }

// Class suffix of a colour number: "0".."9", "x" for any other.
std::string ColourClass(int n) { return n >= 0 && n <= 9 ? std::to_string(n) : "x"; }

bool IsLamp(const PanelSnapshot& p) { return p.typeCode >= 4 && p.typeCode <= 6; }

// The panel's state class and the words that explain it.
struct PanelState {
    const char* cssClass;  // s-ok, s-warn, s-off (greyed), s-rsv (reserve's view)
    std::string badge;
    std::string why;
};

PanelState StateOf(const StatusSnapshot& snap, const PanelSnapshot& p) {
    if (snap.driver.mode == 1) return {"s-rsv", "Reserve's view", "the main driver drives this panel"};
    if (p.connected && p.heard) return {"s-ok", p.connection, ""};
    if (p.connected) return {"s-warn", p.connection, p.why};
    std::string why;
    if (!snap.infodriver.connected) {
        why = "no Infodriver";
    } else if (snap.driver.mode != 2) {
        why = "the driver is not main yet";
    } else if (p.link == "none") {
        why = "no address and no COM port";
    } else {
        why = p.why;
    }
    return {"s-off", p.connection, why};
}

// The label as the panel got it: the first 10 (or 8) characters of a text
// label with its padding dropped, or a graphic.
std::string LabelHtml(const std::string& label, int chars) {
    if (IsGraphicLabel(label)) {
        const int g = GraphicNumber(label);
        return g >= 0 && g <= 13 ? "<i class=\"g\">gfx " + std::to_string(g) + "</i>" : "<i class=\"g\">gfx ?</i>";
    }
    std::string text = label.substr(0, static_cast<std::size_t>(chars));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return HtmlEscape(text);
}

std::string Css() {
    std::string css =
        ".view{margin:0 0 .8em;padding:.4em .8em;border-radius:6px;background:#ff0;color:#000054;font-weight:600}"
        ".view:empty{display:none}"
        "#faces{display:flex;flex-wrap:wrap;gap:.8em;margin:0 0 .8em}"
        ".face{background:#fff;border-radius:6px;padding:.5em;flex:1 1 30em;max-width:60em;min-width:0}"
        ".big .face{max-width:none}"
        ".hdr{display:flex;flex-wrap:wrap;align-items:baseline;gap:.2em .7em;margin:0 0 .4em;padding:0;"
        "background:none;color:inherit}"
        ".hdr a{font-weight:700;color:#000054}.hdr .ty,.hdr .why,.hdr .lb{font-size:.85em}"
        ".hdr .why{color:#a00}.s-rsv .why{color:#000054}"
        ".keys{display:grid;gap:3px}.cols8 .keys{grid-template-columns:repeat(8,minmax(0,1fr))}"
        ".cols10 .keys{grid-template-columns:repeat(10,minmax(0,1fr))}"
        ".face:has(>.hdr.s-off) .keys{filter:grayscale(1);opacity:.4}"
        ".face:has(>.hdr.s-rsv) .keys{opacity:.8}"
        ".k{position:relative;background:var(--bg);color:var(--fg);border-radius:3px;min-height:2.8em;"
        "display:flex;flex-direction:column;justify-content:center;align-items:center;overflow:hidden;"
        "font:600 .78em/1.15 ui-monospace,monospace;padding:1px}"
        ".big .k{min-height:4.2em;font-size:1em}"
        ".k .n{position:absolute;top:1px;left:3px;font-size:.7em;opacity:.7}"
        ".k .t{display:grid;justify-items:center;max-width:100%}"
        ".k .m,.k .a{grid-area:auto;white-space:pre;overflow:hidden;max-width:100%}"
        ".k .a{font-size:.75em;opacity:.75}"
        ".k .g{font-style:normal;border:1px solid currentColor;padding:0 .2em}"
        ".lamp .k{font-size:.85em}.lamp .k .n{position:static;font-size:1em;opacity:1}"
        ".k.last{outline:3px solid #000054;outline-offset:-3px}"
        ".k.last::after{content:'';position:absolute;top:2px;right:2px;width:.5em;height:.5em;"
        "border-radius:50%;background:#000054;border:1px solid #fff}"
        ".fl{animation:fb .5s steps(1,end) infinite}"
        "@keyframes fb{0%{background:var(--bg);color:var(--fg)}50%{background:var(--abg);color:var(--afg)}}"
        ".text .fl .t>span{grid-area:1/1}.text .fl .a{font-size:1em;opacity:0;animation:fa .5s steps(1,end) infinite}"
        ".text .fl .m{animation:fm .5s steps(1,end) infinite}"
        "@keyframes fm{0%{opacity:1}50%{opacity:0}}@keyframes fa{0%{opacity:0}50%{opacity:1}}"
        ".lamp .on{box-shadow:0 0 .5em #ffe082 inset}"
        "@media (max-width:40em){.text.cols8 .keys{grid-template-columns:repeat(4,minmax(0,1fr))}"
        ".lamp.cols10 .keys{grid-template-columns:repeat(5,minmax(0,1fr))}.k{min-height:3.2em}}";
    const auto colourRule = [&](const std::string& cls, const Colour& c) {
        css += ".c" + cls + "{--bg:" + c.background + ";--fg:" + c.text + "}";
        css += ".a" + cls + "{--abg:" + c.background + ";--afg:" + c.text + "}";
    };
    for (int n = 0; n <= 9; ++n) colourRule(std::to_string(n), kColours[static_cast<std::size_t>(n)]);
    colourRule("x", kUnknownColour);
    colourRule("on", kLampOn);
    colourRule("off", kLampOff);
    return css;
}

bool SameHeader(const PanelSnapshot& a, const PanelSnapshot& b) {
    return a.id == b.id && a.location == b.location && a.type == b.type && a.link == b.link &&
           a.address == b.address && a.connected == b.connected && a.heard == b.heard &&
           a.connection == b.connection && a.why == b.why && a.lastButton == b.lastButton;
}

// Button b's drawing (1-based) differs between the two snapshots of a panel.
bool ButtonChanged(const PanelSnapshot& a, const PanelSnapshot& b, int button) {
    const ButtonSnapshot& x = a.keys[static_cast<std::size_t>(button - 1)];
    const ButtonSnapshot& y = b.keys[static_cast<std::size_t>(button - 1)];
    const bool flashA = a.flashButton == button;
    const bool flashB = b.flashButton == button;
    if (flashA != flashB || (a.lastButton == button) != (b.lastButton == button)) return true;
    if (x.main != y.main || x.alt != y.alt || x.colour != y.colour || x.altColour != y.altColour) return true;
    return !flashB && x.mainShown != y.mainShown;  // a flashing button's face is the animation's
}

}  // namespace

int FaceColumns(int typeCode, int buttons) {
    (void)typeCode;
    return buttons == 20 || buttons == 80 ? 10 : 8;
}

const std::string& FaceStyle() {
    static const std::string css = Css();
    return css;
}

const char* FaceColour(int n) { return ColourOf(n).background; }

std::string RenderViewBanner(const StatusSnapshot& snap) {
    std::string text;
    if (snap.driver.mode == 1) {
        text = "Reserve's view: the faces as this reserve driver's panel table holds them; the main driver "
               "drives the panels.";
    } else if (!snap.infodriver.connected) {
        text = "No Infodriver: the faces show the panel table as it was last known.";
    }
    return "<div id=\"view\" class=\"view\">" + HtmlEscape(text) + "</div>";
}

std::string RenderPanelHeader(const StatusSnapshot& snap, const PanelSnapshot& p, bool large) {
    const PanelState state = StateOf(snap, p);
    const std::string n = std::to_string(p.number);
    std::string out = "<header id=\"p" + n + "h\" class=\"hdr " + state.cssClass + "\">";
    out += large ? "<a href=\"/\">&larr; all panels</a><b>" : "<a href=\"/panels/" + n + "\">";
    out += n + " &middot; " + HtmlEscape(p.id);
    out += large ? "</b>" : "</a>";
    out += "<span class=\"ty\">" + HtmlEscape(p.type) + (p.buttons > 0 ? " &middot; " + std::to_string(p.buttons) : "") +
           (p.location.empty() ? "" : " &middot; " + HtmlEscape(p.location)) + "</span>";
    const std::string_view cls = state.cssClass;
    const char* badge = cls == "s-ok" ? "ok" : cls == "s-off" ? "bad" : "warn";
    out += "<span class=\"badge " + std::string(badge) + "\">" + HtmlEscape(state.badge) + "</span>";
    if (!state.why.empty()) out += "<span class=\"why\">" + HtmlEscape(state.why) + "</span>";
    out += "<span class=\"lb\">last button " + (p.lastButton > 0 ? std::to_string(p.lastButton) : "-") + "</span>";
    return out + "</header>";
}

std::string RenderFaceButton(const PanelSnapshot& p, int button) {
    if (button < 1 || button > static_cast<int>(p.keys.size())) return "";
    const ButtonSnapshot& k = p.keys[static_cast<std::size_t>(button - 1)];
    const std::string b = std::to_string(button);
    const bool flash = p.flashButton == button;
    std::string cls = "k";
    std::string title = "button " + b;
    std::string inner = "<span class=\"n\">" + b + "</span>";
    if (IsLamp(p)) {
        // A flashing lamp goes on and off; any other shows its lamp state.
        const bool on = k.mainShown;
        cls += flash ? " con aoff fl" : on ? " con on" : " coff";
        title += flash ? ", flashing" : on ? ", lamp on" : ", lamp off";
        title += ", value " + std::to_string(k.colour);
    } else {
        const int chars = p.labelChars;
        // A face not flashing shows the face last sent (the main one except
        // after an interrupted flash); a flashing one alternates both.
        const bool mainFace = flash || k.mainShown;
        const int colour = mainFace ? k.colour : k.altColour;
        cls += " c" + ColourClass(colour) + " a" + ColourClass(mainFace ? k.altColour : k.colour);
        if (flash) cls += " fl";
        const std::string shown = LabelHtml(mainFace ? k.main : k.alt, chars);
        const std::string other = LabelHtml(mainFace ? k.alt : k.main, chars);
        inner += "<span class=\"t\"><span class=\"m\">" + shown + "</span><span class=\"a\">" + other + "</span></span>";
        title += std::string(", colour ") + ColourOf(k.colour).name + ", alternative colour " + ColourOf(k.altColour).name;
        if (flash) title += ", flashing";
    }
    if (p.lastButton == button) {
        cls += " last";
        title += ", last pressed";
    }
    return "<div id=\"p" + std::to_string(p.number) + "b" + b + "\" class=\"" + cls + "\" title=\"" + title + "\">" +
           inner + "</div>";
}

std::string RenderPanelFace(const StatusSnapshot& snap, const PanelSnapshot& p, bool large) {
    std::string out = "<section class=\"face " + std::string(IsLamp(p) ? "lamp" : "text") + " cols" +
                      std::to_string(FaceColumns(p.typeCode, p.buttons)) + "\" id=\"p" + std::to_string(p.number) +
                      "\">" + RenderPanelHeader(snap, p, large) + "<div class=\"keys\">";
    for (int b = 1; b <= static_cast<int>(p.keys.size()); ++b) out += RenderFaceButton(p, b);
    if (p.keys.empty()) out += "<p>No buttons: the panel type is not known.</p>";
    return out + "</div></section>";
}

std::string RenderFaces(const StatusSnapshot& snap, int onlyPanel) {
    std::string out = "<section id=\"faces\">";
    for (const PanelSnapshot& p : snap.panels) {
        if (onlyPanel == 0 || p.number == onlyPanel) out += RenderPanelFace(snap, p, onlyPanel != 0);
    }
    return out + "</section>";
}

std::string FacePartId(const FacePart& part) {
    switch (part.kind) {
        case FacePart::kView: return "view";
        case FacePart::kCards: return "cards";
        case FacePart::kTable: return "panels";
        case FacePart::kHeader: return "p" + std::to_string(part.panel) + "h";
        case FacePart::kButton: return "p" + std::to_string(part.panel) + "b" + std::to_string(part.button);
    }
    return "";
}

std::string RenderFacePart(const StatusSnapshot& snap, const FacePart& part, bool large) {
    if (part.kind == FacePart::kView) return RenderViewBanner(snap);
    if (part.kind == FacePart::kCards) return RenderStatusCards(snap);
    if (part.kind == FacePart::kTable) return RenderPanelTable(snap);
    for (const PanelSnapshot& p : snap.panels) {
        if (p.number != part.panel) continue;
        return part.kind == FacePart::kHeader ? RenderPanelHeader(snap, p, large) : RenderFaceButton(p, part.button);
    }
    return "";
}

std::vector<FacePart> ChangedFaceParts(const StatusSnapshot& before, const StatusSnapshot& after, bool* whole) {
    std::vector<FacePart> parts;
    *whole = before.panels.size() != after.panels.size();
    for (std::size_t i = 0; !*whole && i < after.panels.size(); ++i) {
        const PanelSnapshot& a = before.panels[i];
        const PanelSnapshot& b = after.panels[i];
        *whole = a.number != b.number || a.typeCode != b.typeCode || a.keys.size() != b.keys.size() ||
                 a.labelChars != b.labelChars;
    }
    if (*whole) return parts;
    const bool modeChanged = before.driver.mode != after.driver.mode ||
                             before.infodriver.connected != after.infodriver.connected;
    if (modeChanged) parts.push_back({FacePart::kView, 0, 0});
    for (std::size_t i = 0; i < after.panels.size(); ++i) {
        const PanelSnapshot& a = before.panels[i];
        const PanelSnapshot& b = after.panels[i];
        if (modeChanged || !SameHeader(a, b)) parts.push_back({FacePart::kHeader, b.number, 0});
        for (int button = 1; button <= static_cast<int>(b.keys.size()); ++button) {
            if (ButtonChanged(a, b, button)) parts.push_back({FacePart::kButton, b.number, button});
        }
    }
    return parts;
}

}  // namespace vorn
