#include "support/http_exchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "support/loopback_listener.h"

namespace vorn::test {

std::string HttpReadAnswer(int fd, std::chrono::milliseconds deadline) {
    std::string answer;
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
        const size_t head = answer.find("\r\n\r\n");
        const size_t lengthAt = answer.find("Content-Length: ");
        if (head != std::string::npos && lengthAt != std::string::npos && lengthAt < head &&
            answer.size() >= head + 4 + std::stoul(answer.substr(lengthAt + 16))) {
            break;
        }
    }
    return answer;
}

std::string HttpExchange(int port, const std::string& request, std::chrono::milliseconds deadline) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) return "";
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = HttpReadAnswer(fd, deadline);
    close(fd);
    return answer;
}

std::string HttpGet(int port, const std::string& path, const std::string& headers) {
    return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n");
}

int HttpStatus(const std::string& answer) {
    return answer.rfind("HTTP/1.", 0) == 0 && answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

std::string HttpBody(const std::string& answer) {
    const size_t head = answer.find("\r\n\r\n");
    return head == std::string::npos ? "" : answer.substr(head + 4);
}

}  // namespace vorn::test
