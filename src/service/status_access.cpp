#include "service/status_access.h"

#include <algorithm>
#include <cstring>

#include "core/settings_rules.h"
#include "service/status_render.h"

namespace vorn {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The value of the token cookie in a Cookie header, "" when absent.
std::string_view CookieToken(std::string_view header) {
    while (!header.empty()) {
        const std::size_t end = header.find(';');
        const std::string_view pair = Trim(header.substr(0, end));
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == kTokenCookie) return pair.substr(eq + 1);
    }
    return {};
}

// The token of an "Authorization: Bearer <token>" header, "" otherwise.
std::string_view BearerToken(std::string_view header) {
    header = Trim(header);
    if (header.size() < 7 || Lower(header.substr(0, 7)) != "bearer ") return {};
    return Trim(header.substr(7));
}

bool IsPage(std::string_view path) { return path == "/" || PanelPagePath(path) > 0; }

}  // namespace

bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned char>(x ^ y);
    }
    return diff == 0;
}

bool TokenUsable(std::string_view token, std::string* why) {
    const std::string problem = StatusTokenProblem(std::string(token));
    if (why != nullptr) *why = problem;
    return problem.empty();
}

std::string HostOfHeader(std::string_view value) {
    value = Trim(value);
    std::string_view host;
    if (!value.empty() && value.front() == '[') {
        const std::size_t close = value.find(']');
        host = close == std::string_view::npos ? value.substr(1) : value.substr(1, close - 1);
    } else {
        host = value.substr(0, value.find(':'));
    }
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    return Lower(host);
}

std::vector<std::string> SplitHostList(std::string_view value) {
    std::vector<std::string> hosts;
    std::size_t at = 0;
    while (at < value.size()) {
        const std::size_t end = value.find_first_of(", \t", at);
        const std::string_view item = value.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        // A bare IPv6 address (two colons or more) is taken whole, not cut at a port.
        const bool bareIpv6 = !item.empty() && item.front() != '[' && item.find(':') != item.rfind(':');
        if (!item.empty()) hosts.push_back(bareIpv6 ? Lower(item) : HostOfHeader(item));
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return hosts;
}

AccessDecision CheckAccess(const AccessRules& rules, const AccessRequest& request) {
    AccessDecision decision;
    if (!request.host.empty() &&
        std::find(rules.hosts.begin(), rules.hosts.end(), request.host) == rules.hosts.end()) {
        decision.status = 421;
        return decision;
    }
    if (rules.token.empty()) return decision;
    if (request.hasQueryToken && IsPage(request.path) && SameSecret(request.queryToken, rules.token)) {
        decision.status = 303;
        decision.headers.emplace_back("Location", std::string(request.path));
        decision.headers.emplace_back("Set-Cookie", std::string(kTokenCookie) + "=" + rules.token +
                                                        "; Path=/; HttpOnly; SameSite=Strict");
        return decision;
    }
    if (SameSecret(BearerToken(request.authorization), rules.token) ||
        SameSecret(CookieToken(request.cookie), rules.token)) {
        return decision;
    }
    decision.status = 401;
    decision.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"pellax-panel\"");
    return decision;
}

}  // namespace vorn
