// The socket control the probe talks through: a TCP client that never
// blocks. Operations start work and return at once; progress shows in
// State() and GetData() after the thread's event loop has run (yield).
// Member names follow the control the logic was designed against.
#pragma once

#include <string>
#include <string_view>

namespace verimex::platform {

// The control's state codes.
enum SocketState : int {
    sckClosed = 0,
    sckOpen = 1,
    sckListening = 2,
    sckConnectionPending = 3,
    sckResolvingHost = 4,
    sckHostResolved = 5,
    sckConnecting = 6,
    sckConnected = 7,
    sckClosing = 8,  // the peer has closed; buffered data can still be read
    sckError = 9,
};

class SocketControl {
public:
    virtual ~SocketControl() = default;

    // Only an error of our own side raises (std::system_error with the OS
    // error number, e.g. no descriptor left for the socket); whatever the
    // network or the peer does shows in State().

    // Takes effect at the next Connect.
    virtual void RemoteHost(std::string host) = 0;
    // 0 to 65535, else std::out_of_range.
    virtual void RemotePort(int port) = 0;
    // Starts resolving and connecting; an earlier connection, pending or
    // open, and its unread data are dropped first. A literal address needs
    // no lookup; each address of a name (IPv4 and IPv6) is tried in turn. An
    // empty host ends in sckError at once; one that cannot be resolved or
    // reached ends in sckError; the peer's orderly close gives sckClosing
    // and a reset sckError, data received before either still readable.
    virtual void Connect() = 0;
    virtual int State() = 0;
    // Queues text for sending; dropped unless connected (so also once the
    // peer has closed). Never raises SIGPIPE or an error for a dead peer.
    virtual void SendData(std::string_view data) = 0;
    // Replaces data with what has arrived since the last call; empty when
    // nothing has. Never waits.
    virtual void GetData(std::string& data) = 0;
    // Drops the connection, lookup and unread data; the state becomes
    // sckClosed.
    virtual void Close() = 0;
};

}  // namespace verimex::platform
