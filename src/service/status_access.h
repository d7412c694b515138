#pragma once
// Who may read the status page. Plain functions over the request's headers;
// the HTTP side passes them in and writes the answer.
//
// Two checks, in this order:
//   1. Host: a request whose Host header names neither an address the page
//      listens on nor a name the settings allow (StatusHttpHosts) gets 421,
//      so that a page on another site cannot read this one through DNS
//      rebinding. A request without Host (HTTP/1.0) passes.
//   2. Token: with StatusHttpToken set, a request must carry it as
//      "Authorization: Bearer <token>" or in the cookie that the page sets;
//      otherwise 401 and nothing else. A page ("/" or "/panels/N") opened
//      once with "?token=<token>" is answered 303 to the same page without
//      the query, with the cookie (HttpOnly, SameSite=Strict).
// Tokens are compared in constant time.

#include <string>
#include <string_view>
#include <vector>

namespace vorn {

constexpr char kTokenCookie[] = "pellax_token";

struct AccessRules {
    std::string token;               // "" : no token asked
    std::vector<std::string> hosts;  // names and addresses Host may name (lower case, as HostOfHeader gives)
};

struct AccessRequest {
    std::string_view path;           // without the query
    std::string_view host;           // HostOfHeader of the Host header; "" when there is none
    std::string_view authorization;  // the Authorization header
    std::string_view cookie;         // the Cookie header
    bool hasQueryToken = false;      // the query holds token=
    std::string_view queryToken;     // its value, percent-decoded
};

struct AccessDecision {
    int status = 0;                                          // 0 allowed; else 303, 401 or 421
    std::vector<std::pair<std::string, std::string>> headers;  // to send with that status
};

AccessDecision CheckAccess(const AccessRules& rules, const AccessRequest& request);

// The host of a Host header value in lower case, without port, brackets
// or a trailing dot: "[::1]:8080" gives "::1", "Desk.Example.:80" gives
// "desk.example".
std::string HostOfHeader(std::string_view value);

// The names of a StatusHttpHosts value (comma or blank separated), as
// HostOfHeader gives them.
std::vector<std::string> SplitHostList(std::string_view value);

// A token goes into a cookie and a header as it is: letters, digits and
// - . _ ~ + / = only. False with the reason otherwise.
bool TokenUsable(std::string_view token, std::string* why);

// Equal texts, in a time that depends only on their lengths.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace vorn
