// A bound on the bytes a client may send before its request's head (the
// request line and the header fields) is complete.
//
// cpp-httplib 0.11.4 bounds each header line (8 KiB) but not how many
// there are: a client sending header fields without end would grow the
// server's memory without end. The library offers no hook while it reads
// the head, so the bound sits where it reads: recv(), which it calls for
// every read of a connection. This program's recv() counts what a
// connection thread receives between begin_head() and end_head(), and
// past the bound reports the connection reset, which ends it. Threads
// that never call begin_head() (the checks, the lookups) are not counted.
#pragma once

#include <cstddef>

namespace verimex_server {

inline constexpr std::size_t max_head_bytes = 256 * 1024;

// On a connection thread: a request's head is read from now on.
void begin_head() noexcept;
// Its head has been read (the body is bounded by --max-body), or the
// connection is over.
void end_head() noexcept;

}  // namespace verimex_server
