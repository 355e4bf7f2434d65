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

    virtual void RemoteHost(std::string host) = 0;
    virtual void RemotePort(int port) = 0;
    // Starts resolving and connecting; an earlier connection, pending or
    // open, is closed first. A host that cannot be resolved or reached ends
    // in sckError.
    virtual void Connect() = 0;
    virtual int State() = 0;
    // Queues text for sending; dropped when the peer has closed.
    virtual void SendData(std::string_view data) = 0;
    // Replaces data with what has arrived since the last call; empty when
    // nothing has. Never waits.
    virtual void GetData(std::string& data) = 0;
    virtual void Close() = 0;
};

}  // namespace verimex::platform
