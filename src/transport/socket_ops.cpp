#include "transport/socket_ops.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <strings.h>

namespace vorn::socket_ops {

namespace {

// Longest host name DNS can carry (RFC 1035: 253 characters of text). A
// longer text cannot name a host, so it fails without a lookup.
constexpr size_t kMaxHostLength = 253;

int SetIntOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

// True for "invalid" and names below it ("panel.invalid", "x.INVALID."):
// RFC 6761 reserves that domain and asks resolvers to fail it locally, so no
// query leaves the machine.
bool IsReservedInvalidName(const char* host, size_t len) {
    if (len > 0 && host[len - 1] == '.') --len;
    static constexpr char kTld[] = "invalid";
    constexpr size_t kTldLen = sizeof kTld - 1;
    if (len < kTldLen) return false;
    if (strncasecmp(host + len - kTldLen, kTld, kTldLen) != 0) return false;
    return len == kTldLen || host[len - kTldLen - 1] == '.';
}

}  // namespace

int OpenStreamSocket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    SetDeadLinkOptions(fd);  // best effort: a socket without them still works
    // Every frame is one small write that the panel should act on at once:
    // without this a frame written right after another waits for the
    // panel's delayed acknowledgement (tens of milliseconds).
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    // A fixed send buffer instead of the kernel's growing one (up to 4 MB):
    // what a panel does not take waits in the link's queue, where a newer
    // frame replaces an older one, not in the kernel, where stale frames
    // would all have to reach a panel that resumes (or sits behind a slow
    // terminal server) before its last state does. 64 KiB is a few panel
    // refreshes, and enough that a panel reading at full speed on a busy
    // host (the bench's harness at a million changes a second) is not
    // thinned for a short hiccup; a panel that pauses still catches up in
    // a fraction of a second on a LAN.
    SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, kSendBufferBytes);
    return fd;
}

int SetDeadLinkOptions(int fd) {
    int first = SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    int e = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
    if (first == 0) first = e;
    e = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
    if (first == 0) first = e;
    e = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    if (first == 0) first = e;
    e = SetIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs);
    if (first == 0) first = e;
    return first;
}

HostKind ClassifyHost(const char* host, in_addr* out) {
    if (host == nullptr || out == nullptr) return HostKind::kNever;
    const size_t len = strnlen(host, kMaxHostLength + 1);
    if (len == 0 || len > kMaxHostLength) return HostKind::kNever;
    if (inet_pton(AF_INET, host, out) == 1) return HostKind::kAddress;
    if (IsReservedInvalidName(host, len)) return HostKind::kNever;
    return HostKind::kName;
}

bool ResolveIPv4(const char* host, in_addr* out) {
    switch (ClassifyHost(host, out)) {
        case HostKind::kAddress: return true;
        case HostKind::kNever: return false;
        case HostKind::kName: break;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    bool found = false;
    // The first IPv4 entry wins; the list is finite (getaddrinfo ends it
    // with a null link).
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
            ai->ai_addrlen >= sizeof(sockaddr_in)) {
            *out = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

int StartConnect(int fd, const sockaddr_in& address) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    // EINPROGRESS: the usual case. EINTR: the connect goes on asynchronously.
    if (errno == EINPROGRESS || errno == EINTR) return 0;
    return errno;
}

int TakeSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

ReadState PeekReadState(int fd, int* error) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return ReadState::kData;
    if (n == 0) return ReadState::kPeerClosed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadState::kNothing;
    if (error != nullptr) *error = errno;
    return ReadState::kError;
}

long SendNoSignal(int fd, const void* data, unsigned long len) {
    return send(fd, data, len, MSG_NOSIGNAL);
}

long ReceiveSome(int fd, void* buffer, unsigned long size) { return recv(fd, buffer, size, 0); }

void CloseSocket(int fd) { close(fd); }

}  // namespace vorn::socket_ops
