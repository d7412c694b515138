#pragma once
// Framing and bounds of the requests on one HTTP connection, checked on the
// received bytes before the HTTP parser sees them. The parser would take
// headers and bodies of any size and closes on malformed input without an
// answer; the guard turns both into an error status instead:
//   400 a request line or header line that is not HTTP/1.x,
//   431 a request head (request line and headers) above kMaxHead bytes,
//   413 a body above kMaxBody bytes (the pages take none),
//   501 a Transfer-Encoding (bodies are only framed by Content-Length),
//   505 an HTTP version other than 1.x.
// After an error the guard stays failed; the connection is to be answered
// and closed. Plain C++, one connection per guard.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

class HttpRequestGuard {
public:
    static constexpr std::size_t kMaxHead = 8192;
    static constexpr std::size_t kMaxBody = 8192;

    struct Result {
        int status = 0;      // 0: the bytes may go on; else the error status
        int completed = 0;   // requests that ended within these bytes
    };

    // The next bytes received on the connection, in order.
    Result Feed(std::string_view bytes);

    // A request has begun and not yet ended (for a timeout: 408, not a
    // silent close of an idle connection).
    bool InRequest() const { return !head_.empty() || state_ == State::kBody; }
    int failedStatus() const { return failed_; }
    // A request line of this connection said HTTP/1.0 (whose connections
    // end after each answer unless the request asks to keep them).
    bool spokeHttp10() const { return http10_; }

private:
    enum class State { kHead, kBody };
    // Checks the complete head in head_; 0 or an error status. Sets bodyLeft_.
    int CheckHead();
    // Checks the request line (without its line end); 0 or an error status.
    static int CheckRequestLine(std::string_view line);

    State state_ = State::kHead;
    std::string head_;            // the current request's head so far
    bool requestLineChecked_ = false;
    std::uint64_t bodyLeft_ = 0;
    int failed_ = 0;
    bool http10_ = false;
};

}  // namespace vorn
