#pragma once
// The status page, its JSON twin and the Prometheus metrics, rendered from a
// snapshot, and the answer to a request for one of them. Plain functions:
// no HTTP, no Qt, no driver state; the HTTP side only writes the answer out.
//
// Every text from the settings file or the slots is escaped for where it
// goes (HTML text and attributes, JSON strings, metric label values), after
// invalid UTF-8 has been replaced by U+FFFD, so the output is always valid
// UTF-8.

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/status_snapshot.h"

namespace vorn {

// Seconds between refreshes of the page in a browser that runs no script.
constexpr int kStatusPageRefreshSeconds = 2;

// The page "/": status cards, every panel's face (panel_faces.h) and the
// table of panels, updated live by its script (StatusPageScript, served as
// /app.js) over /events. The parts the live channel replaces by id:
// "cards", "panels" (the table) and the face parts; RenderStatusMain is
// the content of <main id="main"> for the whole picture (panel 0: the page
// "/", else the page of that panel).
std::string RenderStatusHtml(const StatusSnapshot& snapshot);
std::string RenderStatusCards(const StatusSnapshot& snapshot);
std::string RenderPanelTable(const StatusSnapshot& snapshot);
std::string RenderStatusMain(const StatusSnapshot& snapshot, int panel);
// "/panels/N": panel N's face alone, large.
std::string RenderPanelPage(const StatusSnapshot& snapshot, int panel);
const std::string& StatusPageScript();
// The panel number of a path "/panels/N" (N 1..12 without leading zero), else 0.
int PanelPagePath(std::string_view path);
std::string RenderStatusJson(const StatusSnapshot& snapshot);
std::string RenderMetrics(const StatusSnapshot& snapshot);

// Escapes, each applied to valid UTF-8 (see ValidUtf8).
std::string ValidUtf8(std::string_view bytes);
std::string HtmlEscape(std::string_view text);        // & < > " ' ; control bytes dropped
std::string JsonString(std::string_view text);        // with the quotes
std::string MetricLabelValue(std::string_view text);  // \ " and newline escaped

struct HttpAnswer {
    int status = 200;
    std::string contentType;  // empty for answers without a body type
    std::string body;         // also for HEAD, whose body is not sent
    std::vector<std::pair<std::string, std::string>> headers;  // besides type and length
};

// The answer to method (as sent, e.g. "GET") on path (without the query).
// Only "/", "/panels/N" (a configured panel N), "/status.json", "/metrics",
// "/app.js" and "/favicon.svg" exist here (404 otherwise); they answer GET
// and HEAD and nothing else (405 with Allow). The snapshot is taken only
// for a request that gets a page. (The server itself answers "/events" and
// "/support.tar.gz", which stream.)
HttpAnswer AnswerStatusRequest(std::string_view method, std::string_view path,
                               const std::function<StatusSnapshot()>& takeSnapshot);

// The reason phrase of the statuses used here ("" for others).
const char* HttpReason(int status);

}  // namespace vorn
