#pragma once
// Plain HTTP/1.1 over loopback for tests of a server in another process:
// a request as raw bytes, one answer read with a deadline (poll, no busy
// loop). Not for a server in this thread: the calls block.

#include <chrono>
#include <string>

namespace vorn::test {

// Reads from fd until a whole answer has come (its head and Content-Length
// bytes), the peer closes, or the deadline passes; what came.
std::string HttpReadAnswer(int fd, std::chrono::milliseconds deadline);

// Sends request on a new connection to 127.0.0.1:port and reads one answer;
// "" when nothing could be connected.
std::string HttpExchange(int port, const std::string& request,
                         std::chrono::milliseconds deadline = std::chrono::seconds(5));

// GET path with "Host: localhost" and headers (each ending in "\r\n").
std::string HttpGet(int port, const std::string& path, const std::string& headers = "");

// The status code of an answer, 0 when it does not start with a status line.
int HttpStatus(const std::string& answer);
// What follows the head of an answer, "" when there is no whole head.
std::string HttpBody(const std::string& answer);

}  // namespace vorn::test
