#pragma once
// Thin wrappers around the POSIX socket calls of the TCP client port, so that
// the raw OS calls and their errno handling sit in one place. Every function
// is non-blocking except ResolveIPv4 for host names (getaddrinfo), and none
// of them logs. Errors are returned as errno values (0 = none). Any thread.

#include <netinet/in.h>

namespace vorn::socket_ops {

// New non-blocking, close-on-exec IPv4 stream socket with the dead-link
// options set (SetDeadLinkOptions), TCP_NODELAY and a send buffer of
// kSendBufferBytes. Returns the descriptor, or -1 with errno.
inline constexpr int kSendBufferBytes = 64 * 1024;
int OpenStreamSocket();

// Keepalive after 3 s idle, probes every 1 s, 3 probes, and a 10 s limit on
// unacknowledged data (TCP_USER_TIMEOUT): a peer that vanishes without
// closing ends the connection with ETIMEDOUT in about 10 s. Best effort:
// returns 0, or the errno of the first option that failed.
inline constexpr int kKeepIdleSeconds = 3;
inline constexpr int kKeepIntervalSeconds = 1;
inline constexpr int kKeepCount = 3;
inline constexpr int kUserTimeoutMs = 10000;
int SetDeadLinkOptions(int fd);

// What a host text needs before a connect.
enum class HostKind {
    kAddress,  // a dotted IPv4 address, converted into `out` without a lookup
    kName,     // a name that needs a lookup (ResolveIPv4)
    kNever,    // empty, too long, or under the reserved "invalid" domain:
               // no lookup can find it
};
HostKind ClassifyHost(const char* host, in_addr* out);

// Fills `out` with the IPv4 address of `host`: a dotted address is converted
// without any lookup; anything else is looked up with getaddrinfo (AF_INET,
// first address), which may block: never on the GUI thread (HostResolver).
// kNever texts fail without a lookup. Returns true when an address was found.
bool ResolveIPv4(const char* host, in_addr* out);

// Starts a non-blocking connect. Returns 0 when it is under way or done
// (the outcome shows as write-readiness plus SocketError), otherwise the
// errno of a failure that connect() reported at once.
int StartConnect(int fd, const sockaddr_in& address);

// Pending error of the socket (SO_ERROR, cleared by reading it), or the
// errno of getsockopt itself when that fails.
int TakeSocketError(int fd);

// What a readable socket holds, found without consuming any data.
enum class ReadState { kData, kPeerClosed, kError, kNothing };
// kError sets *error to the errno; kNothing means a spurious wake-up.
ReadState PeekReadState(int fd, int* error);

// send() with MSG_NOSIGNAL (a closed peer gives EPIPE, never SIGPIPE).
long SendNoSignal(int fd, const void* data, unsigned long len);
// One recv() call; returns its result unchanged.
long ReceiveSome(int fd, void* buffer, unsigned long size);

// close(), ignoring the result (the descriptor is gone either way on Linux).
void CloseSocket(int fd);

}  // namespace vorn::socket_ops
