// Collects one mail-server reply from the thread's socket.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace verimex {

class quoverimex;

// One reply keeps at most this much; the rest is read and dropped, so a
// server streaming without line feeds cannot grow memory without bound.
inline constexpr std::size_t reply_limit = 64 * 1024;
// Receives made after the first line feed, to collect the rest of a reply.
inline constexpr int reply_extra_turns = 100;

struct Reply {
    // nullopt (distinct from an empty text) when the watchdog fired during
    // the wait; what was collected until then is dropped.
    std::optional<std::string> text;
    // The peer closed or reset the connection before a line feed came:
    // text is everything it sent, and nothing more will ever come.
    bool hung_up = false;
};

// Waits, asking the watchdog at every turn, until a received piece holds a
// line feed, then keeps collecting for reply_extra_turns further turns.
// Once the peer has closed or reset the connection and everything it sent
// has been taken, it stops at once, in the wait or in the further turns.
Reply readreply(quoverimex& self);

}  // namespace verimex
