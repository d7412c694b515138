#include "service/status_render.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "service/panel_faces.h"

namespace vorn {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at the start of s, 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are not valid).
std::size_t Utf8SequenceLength(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return n;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

// Seconds with a tenth of a millisecond, as JSON and the metrics take them.
std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value > 0 ? value : 0.0);
    return text;
}

// CSS class of a state: "ok" green, "warn" yellow, "bad" red, "" plain.
const char* DriverClass(int statusCode) { return statusCode == 0 ? "ok" : statusCode == 2 ? "bad" : "warn"; }
const char* ModeClass(int mode) { return mode == 2 ? "ok" : mode == 1 ? "warn" : ""; }
const char* CommsClass(int code) { return code == 0 ? "ok" : code == 2 ? "bad" : "warn"; }
const char* PanelClass(const PanelSnapshot& p) {
    if (p.connected && p.heard) return "ok";
    return p.connected ? "warn" : "bad";
}

std::string Badge(const char* cssClass, std::string_view text) {
    return std::string("<span class=\"badge ") + cssClass + "\">" + HtmlEscape(text) + "</span>";
}

void Term(std::string& out, const char* name, const std::string& valueHtml) {
    out += "<dt>";
    out += name;
    out += "</dt><dd>";
    out += valueHtml;
    out += "</dd>\n";
}

void Cell(std::string& out, const char* label, const std::string& valueHtml, bool number = false) {
    out += "<td data-label=\"";
    out += label;
    out += number ? "\" class=\"num\">" : "\">";
    out += valueHtml;
    out += "</td>";
}

constexpr char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0;background:#d4ebff;color:#000054}"
    "body>header{background:#000054;color:#fff;padding:.6em 1em}"
    "h1{font-size:1.15em;margin:0}h2{font-size:1em;margin:.2em 0 .5em}"
    "main{padding:.8em 1em;max-width:72em}"
    ".cards{display:flex;flex-wrap:wrap;gap:.8em;margin-bottom:.8em}"
    ".card{background:#fff;border-radius:6px;padding:.6em .8em;flex:1 1 18em}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:.25em .8em;margin:0}"
    "dt{font-weight:600}dd{margin:0;overflow-wrap:anywhere}"
    ".badge{padding:0 .4em;border-radius:3px;white-space:nowrap}"
    ".ok{background:#007f00;color:#fff}.warn{background:#ff0;color:#000054}.bad{background:#f00;color:#fff}"
    "table{border-collapse:collapse;width:100%;background:#fff;border-radius:6px}"
    "th,td{text-align:left;padding:.35em .5em;border-bottom:1px solid #c8d4e4;overflow-wrap:break-word}"
    "th{white-space:nowrap}td.num{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}"
    "footer{font-size:.85em;padding:0 1em 1em}"
    "body>header{display:flex;justify-content:space-between;align-items:center;gap:1em}"
    "@media (max-width:40em){thead{display:none}tr{display:block;border-bottom:3px solid #000054}"
    "td{display:flex;justify-content:space-between;gap:1em;border:0}"
    "td::before{content:attr(data-label);font-weight:600}}";

// The page's icon: a small panel of four buttons.
constexpr char kIcon[] =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\"><rect width=\"16\" height=\"16\" rx=\"2\" "
    "fill=\"#000054\"/><rect x=\"2\" y=\"2\" width=\"5\" height=\"5\" fill=\"#2e7d32\"/><rect x=\"9\" y=\"2\" "
    "width=\"5\" height=\"5\" fill=\"#ffb300\"/><rect x=\"2\" y=\"9\" width=\"5\" height=\"5\" fill=\"#d32f2f\"/>"
    "<rect x=\"9\" y=\"9\" width=\"5\" height=\"5\" fill=\"#f5f5f5\"/></svg>\n";

}  // namespace

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t n = Utf8SequenceLength(bytes);
        if (n == 0) {
            out += kReplacement;
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    const std::string valid = ValidUtf8(text);
    std::string out;
    out.reserve(valid.size() + 16);
    for (char c : valid) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                // Control bytes have no place in the page's text.
                if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
                break;
        }
    }
    return out;
}

std::string JsonString(std::string_view text) {
    const std::string valid = ValidUtf8(text);
    std::string out = "\"";
    for (char c : valid) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
                    out += esc;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string MetricLabelValue(std::string_view text) {
    const std::string valid = ValidUtf8(text);
    std::string out;
    for (char c : valid) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

// The head of a page and the start of its body: title, style, the live
// indicator. Without scripts the page falls back to a refresh every
// kStatusPageRefreshSeconds.
std::string PageHead(const std::string& title, const std::string& bodyAttributes) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<noscript><meta http-equiv=\"refresh\" content=\"" +
           std::to_string(kStatusPageRefreshSeconds) + "\"></noscript>\n<title>" + HtmlEscape(title) +
           "</title>\n<link rel=\"icon\" href=\"/favicon.svg\" type=\"image/svg+xml\">\n<style>" + kStyle +
           FaceStyle() + "</style></head>\n<body" + bodyAttributes + ">\n<header><h1>" + HtmlEscape(title) +
           "</h1><span id=\"live\" class=\"badge warn\">not live</span></header>\n";
}

std::string PageFoot() {
    return "<footer>Live while this page is open; without scripts refreshed every " +
           std::to_string(kStatusPageRefreshSeconds) +
           " s. Also as <a href=\"/status.json\">JSON</a> and <a href=\"/metrics\">metrics</a>.</footer>\n"
           "<script src=\"/app.js\"></script>\n</body></html>\n";
}

std::string PageTitle(const StatusSnapshot& snap) {
    return "Pellax panel driver - device " + std::to_string(snap.driver.device);
}

}  // namespace

std::string RenderStatusCards(const StatusSnapshot& snap) {
    const StatusSnapshot::Driver& d = snap.driver;
    const StatusSnapshot::Infodriver& info = snap.infodriver;
    std::string out = "<div class=\"cards\" id=\"cards\">\n<section class=\"card\" id=\"driver\"><h2>Driver</h2><dl>\n";
    Term(out, "Status", Badge(DriverClass(d.statusCode), d.status));
    Term(out, "Mode", Badge(ModeClass(d.mode), d.modeName));
    Term(out, "Location", HtmlEscape(d.identity));
    Term(out, "Version", HtmlEscape(d.version));
    Term(out, "Panels controlled", std::to_string(d.panelCount));
    Term(out, "Panels comms", d.comms.empty() ? std::string() : Badge(CommsClass(d.commsCode), d.comms));
    out += "</dl></section>\n<section class=\"card\" id=\"infodriver\"><h2>Infodriver</h2><dl>\n";
    Term(out, "Status", Badge(info.connected ? ModeClass(d.mode) : "bad", info.status));
    Term(out, "Connected", info.connected ? "yes" : "no");
    Term(out, "Rx", Number(info.rx));
    Term(out, "Tx", Number(info.tx));
    out += "</dl></section>\n</div>";
    return out;
}

std::string RenderPanelTable(const StatusSnapshot& snap) {
    std::string out = "<section id=\"panels\"><h2>Panels</h2>\n";
    if (snap.panels.empty()) {
        out += "<p>No panels configured.</p>\n";
    } else {
        out += "<table><thead><tr><th>Panel</th><th>ID</th><th>Location</th><th>Type</th><th>Address</th>"
               "<th>Connection</th><th>Rx</th><th>Tx</th><th>Last button</th></tr></thead>\n<tbody>\n";
        for (const PanelSnapshot& p : snap.panels) {
            out += "<tr>";
            Cell(out, "Panel", std::to_string(p.number));
            Cell(out, "ID", HtmlEscape(p.id));
            Cell(out, "Location", HtmlEscape(p.location));
            std::string type = HtmlEscape(p.type);
            if (p.buttons > 0) type += " (" + std::to_string(p.buttons) + ")";
            Cell(out, "Type", type);
            Cell(out, "Address", HtmlEscape(p.address));
            Cell(out, "Connection", Badge(PanelClass(p), p.connection));
            Cell(out, "Rx", Number(p.rx), true);
            Cell(out, "Tx", Number(p.tx), true);
            Cell(out, "Last button", p.lastButton > 0 ? std::to_string(p.lastButton) : "-", true);
            out += "</tr>\n";
        }
        out += "</tbody></table>\n";
    }
    return out + "</section>";
}

std::string RenderStatusMain(const StatusSnapshot& snap, int panel) {
    if (panel != 0) return RenderViewBanner(snap) + RenderFaces(snap, panel);
    return RenderViewBanner(snap) + RenderStatusCards(snap) + "\n" + RenderFaces(snap, 0) + "\n" + RenderPanelTable(snap);
}

std::string RenderStatusHtml(const StatusSnapshot& snap) {
    std::string out;
    out.reserve(16384 + snap.panels.size() * 12000);
    out += PageHead(PageTitle(snap), "");
    out += "<main id=\"main\">\n" + RenderStatusMain(snap, 0) + "\n</main>\n";
    return out + PageFoot();
}

std::string RenderPanelPage(const StatusSnapshot& snap, int panel) {
    std::string title = PageTitle(snap) + ", panel " + std::to_string(panel);
    for (const PanelSnapshot& p : snap.panels) {
        if (p.number == panel) title += " " + p.id;
    }
    std::string out = PageHead(title, " class=\"big\" data-panel=\"" + std::to_string(panel) + "\"");
    out += "<main id=\"main\">\n" + RenderStatusMain(snap, panel) + "\n</main>\n";
    return out + PageFoot();
}

const std::string& StatusPageScript() {
    // The live channel of the pages: parts replaced by id as they come, the
    // whole of <main> when the server sends the whole picture.
    static const std::string script =
        "\"use strict\";\n"
        "(function () {\n"
        "  var live = document.getElementById(\"live\");\n"
        "  var panel = document.body.getAttribute(\"data-panel\");\n"
        "  function show(text, cls) { if (live) { live.textContent = text; live.className = \"badge \" + cls; } }\n"
        "  if (!window.EventSource) { show(\"not live\", \"bad\"); return; }\n"
        "  var source = new EventSource(\"/events\" + (panel ? \"?panel=\" + panel : \"\"));\n"
        "  source.addEventListener(\"open\", function () { show(\"live\", \"ok\"); });\n"
        "  source.addEventListener(\"error\", function () { show(\"reconnecting\", \"warn\"); });\n"
        "  source.addEventListener(\"part\", function (e) {\n"
        "    var at = e.data.indexOf(\" \");\n"
        "    var el = document.getElementById(e.data.slice(0, at));\n"
        "    if (el) el.outerHTML = e.data.slice(at + 1);\n"
        "  });\n"
        "  source.addEventListener(\"all\", function (e) {\n"
        "    var main = document.getElementById(\"main\");\n"
        "    if (main) main.innerHTML = e.data;\n"
        "  });\n"
        "})();\n";
    return script;
}

std::string RenderStatusJson(const StatusSnapshot& snap) {
    const StatusSnapshot::Driver& d = snap.driver;
    const StatusSnapshot::Infodriver& info = snap.infodriver;
    std::string out = "{\"driver\":{";
    out += "\"device\":" + std::to_string(d.device);
    out += ",\"version\":" + JsonString(d.version);
    out += ",\"identity\":" + JsonString(d.identity);
    out += ",\"status\":" + JsonString(d.status);
    out += ",\"status_code\":" + std::to_string(d.statusCode);
    out += ",\"mode\":" + JsonString(d.modeName);
    out += ",\"mode_code\":" + std::to_string(d.mode);
    out += ",\"panel_count\":" + std::to_string(d.panelCount);
    out += ",\"comms\":" + JsonString(d.comms);
    out += ",\"comms_code\":" + std::to_string(d.commsCode);
    out += ",\"loop_lag_seconds\":" + Seconds(d.loopLagSeconds);
    out += "},\"infodriver\":{";
    out += std::string("\"connected\":") + (info.connected ? "true" : "false");
    out += ",\"status\":" + JsonString(info.status);
    out += ",\"rx\":" + Number(info.rx);
    out += ",\"tx\":" + Number(info.tx);
    out += "},\"panels\":[";
    bool first = true;
    for (const PanelSnapshot& p : snap.panels) {
        if (!first) out += ",";
        first = false;
        out += "{\"panel\":" + std::to_string(p.number);
        out += ",\"id\":" + JsonString(p.id);
        out += ",\"location\":" + JsonString(p.location);
        out += ",\"type\":" + JsonString(p.type);
        out += ",\"buttons\":" + std::to_string(p.buttons);
        out += ",\"link\":" + JsonString(p.link);
        out += ",\"address\":" + JsonString(p.address);
        out += std::string(",\"connected\":") + (p.connected ? "true" : "false");
        out += ",\"connection\":" + JsonString(p.connection);
        if (!p.why.empty()) out += ",\"why\":" + JsonString(p.why);
        out += ",\"rx\":" + Number(p.rx);
        out += ",\"tx\":" + Number(p.tx);
        out += ",\"last_button\":" + std::to_string(p.lastButton);
        out += ",\"presses\":" + Number(p.presses);
        out += ",\"reconnects\":" + Number(p.reconnects);
        out += "}";
    }
    out += "]}\n";
    return out;
}

std::string RenderMetrics(const StatusSnapshot& snap) {
    std::string out;
    const auto family = [&](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    const auto perPanel = [&](const char* name, const char* type, const char* help, auto value) {
        family(name, type, help);
        for (const PanelSnapshot& p : snap.panels) {
            out += std::string(name) + "{panel=\"" + std::to_string(p.number) + "\",id=\"" +
                   MetricLabelValue(p.id) + "\"} " + Number(value(p)) + "\n";
        }
    };
    perPanel("pellax_panel_connected", "gauge",
             "1 while the panel counts as connected (its link up and, once it sent alive messages, still sending them), "
             "as slot 299 says, else 0.",
             [](const PanelSnapshot& p) { return p.connected ? 1u : 0u; });
    perPanel("pellax_panel_rx_messages_total", "counter",
             "Blocks received from the panel since its link was last opened.",
             [](const PanelSnapshot& p) { return p.rx; });
    perPanel("pellax_panel_tx_frames_total", "counter", "Frames sent to the panel since its link was last opened.",
             [](const PanelSnapshot& p) { return p.tx; });
    perPanel("pellax_panel_presses_total", "counter", "Button presses received from the panel.",
             [](const PanelSnapshot& p) { return p.presses; });
    perPanel("pellax_panel_reconnects_total", "counter", "Times the panel's link was opened again.",
             [](const PanelSnapshot& p) { return p.reconnects; });
    family("pellax_driver_mode", "gauge", "2 main (TXRX), 1 reserve (RXONLY), 0 unknown.");
    out += "pellax_driver_mode " + std::to_string(snap.driver.mode) + "\n";
    family("pellax_infodriver_connected", "gauge", "1 while the driver is attached to its Infodriver, else 0.");
    out += std::string("pellax_infodriver_connected ") + (snap.infodriver.connected ? "1" : "0") + "\n";
    family("pellax_event_loop_lag_seconds", "gauge",
           "Longest lag of the driver's event loop in the last minute: a timer that fired late or one handler "
           "that kept the loop.");
    out += "pellax_event_loop_lag_seconds " + Seconds(snap.driver.loopLagSeconds) + "\n";
    return out;
}

int PanelPagePath(std::string_view path) {
    constexpr std::string_view prefix = "/panels/";
    if (path.substr(0, prefix.size()) != prefix) return 0;
    const std::string_view digits = path.substr(prefix.size());
    if (digits.empty() || digits.size() > 2 || digits[0] == '0') return 0;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= 12 ? n : 0;
}

const char* HttpReason(int status) {
    switch (status) {
        case 200: return "OK";
        case 303: return "See Other";
        case 401: return "Unauthorized";
        case 421: return "Misdirected Request";
        case 429: return "Too Many Requests";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 431: return "Request Header Fields Too Large";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return "";
    }
}

HttpAnswer AnswerStatusRequest(std::string_view method, std::string_view path,
                               const std::function<StatusSnapshot()>& takeSnapshot) {
    HttpAnswer answer;
    answer.headers.emplace_back("Cache-Control", "no-store");
    answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
    enum class Page { kNone, kHtml, kPanel, kJson, kMetrics, kScript, kIcon } page = Page::kNone;
    int panel = 0;
    if (path == "/") {
        page = Page::kHtml;
    } else if (path == "/status.json") {
        page = Page::kJson;
    } else if (path == "/metrics") {
        page = Page::kMetrics;
    } else if (path == "/app.js") {
        page = Page::kScript;
    } else if (path == "/favicon.svg") {
        page = Page::kIcon;
    } else if ((panel = PanelPagePath(path)) > 0) {
        page = Page::kPanel;
    }
    const auto error = [&](int status) {
        answer.status = status;
        answer.contentType = "text/plain; charset=utf-8";
        answer.body = std::to_string(status) + " " + HttpReason(status) + "\n";
        return answer;
    };
    if (page == Page::kNone) return error(404);
    if (method != "GET" && method != "HEAD") {
        answer.headers.emplace_back("Allow", "GET, HEAD");
        return error(405);
    }
    if (page == Page::kScript) {
        answer.contentType = "text/javascript; charset=utf-8";
        answer.body = StatusPageScript();
        return answer;
    }
    if (page == Page::kIcon) {
        answer.contentType = "image/svg+xml";
        answer.body = kIcon;
        return answer;
    }
    const StatusSnapshot snap = takeSnapshot();
    const auto pageHeaders = [&] {
        answer.contentType = "text/html; charset=utf-8";
        // The inline style and the page's own script; nothing from elsewhere.
        answer.headers.emplace_back("Content-Security-Policy",
                                    "default-src 'none'; style-src 'unsafe-inline'; script-src 'self'; "
                                    "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
                                    "frame-ancestors 'none'");
    };
    switch (page) {
        case Page::kHtml:
            pageHeaders();
            answer.body = RenderStatusHtml(snap);
            break;
        case Page::kPanel: {
            const bool known = std::any_of(snap.panels.begin(), snap.panels.end(),
                                           [&](const PanelSnapshot& p) { return p.number == panel; });
            if (!known) return error(404);
            pageHeaders();
            answer.body = RenderPanelPage(snap, panel);
            break;
        }
        case Page::kJson:
            answer.contentType = "application/json";
            answer.body = RenderStatusJson(snap);
            break;
        case Page::kMetrics:
            answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
            answer.body = RenderMetrics(snap);
            break;
        case Page::kNone:
        case Page::kScript:
        case Page::kIcon:
            break;
    }
    return answer;
}

}  // namespace vorn
