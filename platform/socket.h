// The socket control the probe talks through: a TCP client that never
// blocks. Operations start work and return at once; progress shows in
// State() and GetData() after the thread's event loop has run (yield).
// Member names follow the control the logic was designed against.
#pragma once

#include <cstddef>
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

// Received bytes wait in the control until GetData takes them. Past this
// many unread bytes it stops reading from the connection, so a flooding
// peer is held back by TCP instead of filling memory; nothing is lost.
inline constexpr std::size_t receive_buffer_cap = std::size_t{1} << 20;
// At most this much is taken from the connection in one pass of the loop,
// so one pass stays short whatever the peer sends.
inline constexpr std::size_t read_per_pass = 64 * 1024;
// No DNS name is longer: 253 characters in its ASCII form, and no character
// of an international name takes more than four bytes of UTF-8 or less than
// one of ASCII. A longer host cannot be reached; no resolver is asked.
inline constexpr std::size_t longest_host_name = 4 * 253;

// The checks every implementation makes, so that both platforms raise and
// refuse alike.
// Returns port when it is 0 to 65535, else throws std::out_of_range.
int checked_port(int port);
// Whether host can name a host at all: not empty, no NUL (C and the
// system's resolvers would read only what comes before it), and no longer
// than longest_host_name.
bool nameable_host(std::string_view host);

class SocketControl {
public:
    virtual ~SocketControl() = default;

    // Only an error of our own side raises (std::system_error with the OS
    // error number, e.g. no descriptor left for the socket); whatever the
    // network or the peer does shows in State(): a failed receive or send
    // never raises.

    // Takes effect at the next Connect.
    virtual void RemoteHost(std::string host) = 0;
    // 0 to 65535, else std::out_of_range (checked_port).
    virtual void RemotePort(int port) = 0;
    // Starts resolving and connecting; an earlier connection, pending or
    // open, and its unread data are dropped first. A literal address (IPv4,
    // or IPv6 without brackets) needs no lookup; each address of a name
    // (IPv4 and IPv6) is tried in turn. A host that nameable_host() refuses
    // (empty, holding a NUL, too long) ends in sckError at once, without a
    // yield; one that cannot be resolved or reached ends in sckError; the
    // peer's orderly close gives sckClosing and a reset or a failed receive
    // sckError, data received before either still readable.
    virtual void Connect() = 0;
    virtual int State() = 0;
    // Queues text for sending; dropped unless connected: before the
    // connection is up (nothing is kept for later), once the peer has
    // closed, and after a send failed. Never raises SIGPIPE or an error for
    // a dead peer.
    virtual void SendData(std::string_view data) = 0;
    // Replaces data with what has arrived since the last call; empty when
    // nothing has. Never waits. At most receive_buffer_cap bytes (plus one
    // pass's read_per_pass) are ever held unread.
    virtual void GetData(std::string& data) = 0;
    // Drops the connection, lookup and unread data; the state becomes
    // sckClosed.
    virtual void Close() = 0;
};

}  // namespace verimex::platform
