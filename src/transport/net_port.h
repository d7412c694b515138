#pragma once
// TCP client port of one panel: a non-blocking stream socket whose connect
// (16), read (1) and close (32) events reach the owner's callback on the GUI
// thread, one at a time and in order, through the seam's descriptor watch.
// Close() and Connect() may call the callback synchronously (see below).

#include <netinet/in.h>

#include <string>

namespace vorn {

class NetPort {
public:
    using Callback = void (*)(NetPort* port);

    static constexpr int kFdRead = 1;
    static constexpr int kFdConnect = 16;
    static constexpr int kFdClose = 32;
    static constexpr int kNoSocket = -1;

    explicit NetPort(void* instance = nullptr);
    virtual ~NetPort();
    NetPort(const NetPort&) = delete;
    NetPort& operator=(const NetPort&) = delete;

    // Starts a connect: 0 under way (outcome arrives as event 16; a host
    // name is looked up first, off the GUI thread, and one that finds no
    // address fails as event 16 with EHOSTUNREACH), -1 no socket could be
    // created, 1 host text that no lookup can find (empty, too long, the
    // "invalid" domain) or no lookup thread to be had. A port that had a
    // socket reports its close (32) first, with `host` already the new text.
    virtual int Connect(const char* host, int port);
    // Requests events (mask | 48); 1 done, 0 no socket. Read events are only
    // reported after this call following a Connect.
    virtual int SetNotify(Callback callback, int events);
    // send() result, or -1 without a socket.
    virtual int Send(const void* data, int len);
    // Bytes read (0 on failure, with error -1 and the buffer cleared, or when
    // the peer closed), or -1 without a socket.
    virtual int Receive(void* buffer, int size);
    // Closes the socket; reports event 32 once unless the last event was a
    // close or carried an error.
    virtual void Close();
    // True while the connection is made and not known to be closed.
    virtual bool IsConnected() const;

    // Live NetPort objects in the process.
    static int InstanceCount();

    Callback callback;
    int event = 0;
    int error = 0;
    int sock = kNoSocket;
    sockaddr_in address{};
    int eventMask = 48;
    std::string host;   // text last given to Connect
    // The object this port's events belong to (its TcpPanelLink); the port
    // itself never uses it.
    void* owner = nullptr;

private:
    struct Impl;
    Impl* impl_ = nullptr;
};

}  // namespace vorn
