#include "panel_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::sim {

PanelLink::WriteEnd PanelLink::WriteAll(int fd, bool socket, std::span<const uint8_t> bytes, std::string& error) {
    std::size_t done = 0;
    // Each turn writes at least one byte or leaves the loop.
    while (done < bytes.size()) {
        const ssize_t n = socket ? send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                                 : write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            error = "driver not reading: " + std::to_string(bytes.size() - done) + " byte(s) dropped";
            return WriteEnd::kDriverNotReading;
        } else {
            error = std::string("write error: ") + std::strerror(errno);
            return WriteEnd::kFailed;
        }
    }
    return WriteEnd::kAll;
}

}  // namespace vorn::sim
