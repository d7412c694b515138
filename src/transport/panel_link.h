#pragma once
// One panel's line, TCP or serial, behind one interface: open, close, send,
// read, and events raised to one handler on the GUI thread.
//
// Events:
//   kConnected / kConnectFailed  the outcome of a TCP connect started by Open
//                                (a serial line is open when Open returns: no event)
//   kDataWaiting                 bytes can be read with Read; raised again
//                                while some remain after the handler returns
//   kClosed                      the line went away: the peer closed, a reset
//                                or time-out, a hang-up or a read error; error is
//                                the errno value (0 for an orderly close). A TCP
//                                link also raises it from Close() when it had a
//                                connection.
// The handler may call any operation of the link, including Close and Open.
// Threading: GUI thread only.

#include <cstdint>
#include <string>

namespace vorn {

enum class LinkKind : uint8_t { kTcp, kSerial };

enum class LinkEvent : uint8_t { kConnected, kConnectFailed, kDataWaiting, kClosed };

enum class LinkOpen : uint8_t {
    kOpen,       // serial line open
    kPending,    // TCP connect under way: its outcome comes as an event
    kFailed,     // no socket, no device, cannot be set up
    kNoAddress,  // TCP host name not resolvable
    kInUse,      // serial device held by another process or port
};

enum class LinkRead : uint8_t {
    kData,     // *got bytes (at least 1) were read
    kNothing,  // nothing waits now
    kClosed,   // the line is gone (end of input, hang-up); see the error
    kError,    // the read failed; see the error
};

class PanelLink {
public:
    using Handler = void (*)(PanelLink& link, LinkEvent event, int error);

    PanelLink() = default;
    virtual ~PanelLink() = default;
    PanelLink(const PanelLink&) = delete;
    PanelLink& operator=(const PanelLink&) = delete;

    virtual LinkKind Kind() const = 0;
    // Largest block the receive path takes in one read.
    virtual int BlockSize() const = 0;
    virtual LinkOpen Open() = 0;
    virtual void Close() = 0;
    // Writes one whole frame; the bytes written, or -1.
    virtual int Send(const uint8_t* data, int length) = 0;
    // Reads at most size bytes into buffer; *got the count, *error the errno
    // value of kClosed and kError.
    virtual LinkRead Read(uint8_t* buffer, int size, int* got, int* error) = 0;
    // Line error flags of a serial line (framing, parity, overrun...) since
    // the previous call; a TCP link has none.
    virtual uint32_t TakeLineErrors() { return 0; }
    // The TCP address as last given to the connect ("" for serial), and the
    // COM port number (0 for TCP), for log lines.
    virtual std::string Address() const { return {}; }
    virtual int ComPort() const { return 0; }

    void SetHandler(Handler handler) { handler_ = handler != nullptr ? handler : &NoHandler; }

protected:
    void Raise(LinkEvent event, int error) { handler_(*this, event, error); }

private:
    static void NoHandler(PanelLink&, LinkEvent, int) {}
    Handler handler_ = &NoHandler;
};

}  // namespace vorn
