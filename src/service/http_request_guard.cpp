#include "service/http_request_guard.h"

#include <cstring>

#include "core/ascii_text.h"

namespace vorn {

namespace {

constexpr std::size_t kMaxMethod = 32;
constexpr std::size_t kMaxLengthDigits = 18;  // fits uint64 without overflow

// RFC 9110 token characters.
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Control bytes (C0 and DEL); bytes from 0x80 up pass (obs-text).
bool IsControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

int HttpRequestGuard::CheckRequestLine(std::string_view line) {
    const std::size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0) return 400;
    const std::size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return 400;
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    for (char c : target) {
        if (IsControl(c) || c == ' ' || static_cast<unsigned char>(c) >= 0x80) return 400;
    }
    if (target.front() != '/' && target.rfind("http://", 0) != 0 && target != "*") return 400;
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9') {
        return 400;
    }
    return version[5] == '1' ? 0 : 505;
}

int HttpRequestGuard::CheckHead() {
    std::string_view rest = head_;
    rest.remove_prefix(rest.find('\n') + 1);  // the request line was checked already
    bool haveLength = false;
    std::uint64_t length = 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = WithoutLineEnd(rest.substr(0, end + 1));
        rest.remove_prefix(end + 1);
        if (line.empty()) break;  // the end of the head
        if (line.front() == ' ' || line.front() == '\t') return 400;  // folded lines are not taken
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return 400;
        const std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (!IsTokenChar(c)) return 400;
        }
        const std::string_view value = Trim(line.substr(colon + 1));
        for (char c : value) {
            if (IsControl(c) && c != '\t') return 400;
        }
        if (EqualNoCase(name, "transfer-encoding")) return 501;
        if (EqualNoCase(name, "content-length")) {
            if (value.empty() || value.size() > kMaxLengthDigits) return value.empty() ? 400 : 413;
            std::uint64_t v = 0;
            for (char c : value) {
                if (c < '0' || c > '9') return 400;
                v = v * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (haveLength && v != length) return 400;
            haveLength = true;
            length = v;
        }
    }
    if (length > kMaxBody) return 413;
    bodyLeft_ = length;
    return 0;
}

HttpRequestGuard::Result HttpRequestGuard::Feed(std::string_view bytes) {
    Result result;
    const auto fail = [&](int status) {
        failed_ = status;
        head_.clear();
        result.status = status;
        return result;
    };
    if (failed_ != 0) {
        result.status = failed_;
        return result;
    }
    while (!bytes.empty()) {
        if (state_ == State::kBody) {
            const std::uint64_t take = bodyLeft_ < bytes.size() ? bodyLeft_ : bytes.size();
            bodyLeft_ -= take;
            bytes.remove_prefix(static_cast<std::size_t>(take));
            if (bodyLeft_ == 0) {
                state_ = State::kHead;
                ++result.completed;
            }
            continue;
        }
        const char c = bytes.front();
        bytes.remove_prefix(1);
        if (head_.empty() && (c == '\r' || c == '\n')) continue;  // empty lines before a request
        if (head_.size() >= kMaxHead) return fail(431);
        head_ += c;
        if (!requestLineChecked_) {
            // The request line byte by byte, so that junk (binary data, a TLS
            // hello) is refused at once rather than after kMaxHead bytes.
            if (c == '\n') {
                if (int status = CheckRequestLine(WithoutLineEnd(head_)); status != 0) return fail(status);
                requestLineChecked_ = true;
                if (WithoutLineEnd(head_).ends_with(" HTTP/1.0")) http10_ = true;
            } else if (IsControl(c) && c != '\r') {
                return fail(400);
            } else if (head_.find(' ') == std::string::npos && (!IsTokenChar(c) || head_.size() > kMaxMethod)) {
                return fail(400);
            }
            continue;
        }
        if (c != '\n') continue;
        const std::size_t n = head_.size();
        const bool headEnded = (n >= 2 && head_[n - 2] == '\n') || (n >= 3 && head_[n - 2] == '\r' && head_[n - 3] == '\n');
        if (!headEnded) continue;
        if (int status = CheckHead(); status != 0) return fail(status);
        head_.clear();
        requestLineChecked_ = false;
        if (bodyLeft_ > 0) {
            state_ = State::kBody;
        } else {
            ++result.completed;
        }
    }
    return result;
}

}  // namespace vorn
