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

// Waits, asking the watchdog at every turn, until a received piece holds a
// line feed, then keeps collecting for reply_extra_turns further turns.
// Returns nullopt (distinct from an empty text) when the watchdog fired
// during the wait; what was collected until then is dropped.
std::optional<std::string> readreply(quoverimex& self);

}  // namespace verimex
