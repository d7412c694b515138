#pragma once
// TCP on 127.0.0.1 for tests: a listener on a port the kernel picks, a port
// that was free a moment ago for a server started next, and a connection.

namespace vorn::test {

// A TCP socket bound to 127.0.0.1 on a port the kernel picks and listening;
// closed at scope end. Connections wait in the backlog (4) until accepted:
// a listener nobody accepts from is a peer that takes the connection and
// never sends a byte. port() is 0 when the set-up failed.
class LoopbackListener {
public:
    // flags: added to socket()'s type (SOCK_NONBLOCK for a listener that is
    // polled). Options set on fd() before anyone connects are inherited by
    // the accepted sockets.
    explicit LoopbackListener(int flags = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int fd() const { return fd_; }
    int port() const { return port_; }
    // A waiting connection, opened with SOCK_CLOEXEC and flags; -1 when none
    // waits on a non-blocking listener. The caller closes it.
    int Accept(int flags = 0) const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port nobody listened on a moment ago; 0 when none could be had.
int FreeLoopbackPort();

// A blocking TCP connection to 127.0.0.1:port, -1 when it failed. A
// receiveBuffer above 0 is set as SO_RCVBUF before the connect, when it
// still decides the window the peer sees.
int ConnectLoopback(int port, int receiveBuffer = 0);

}  // namespace vorn::test
