// The one way the engine's network code waits: for a descriptor, bounded by
// a deadline and ended early by a stop request.
#pragma once

#include <poll.h>

#include "verify/net.h"

namespace verimex::engine::net {

enum class wait_result { ready, timeout, cancelled, failed };

// Waits until fd reports one of events (POLLIN, POLLOUT; errors and hang-ups
// count as ready: the next call on fd tells which), the deadline passes, or
// cancel is requested. On failed, error holds errno.
wait_result wait_for(int fd, short events, const cancellation* cancel, deadline until, int& error);

// Whether cancel (which may be null) has been requested.
bool stop_requested(const cancellation* cancel);

// The descriptor to poll for cancel, or -1 (which poll ignores).
int cancel_fd(const cancellation* cancel);

// Milliseconds until `until` for poll(): rounded up, so a wait never ends
// just before its deadline and spins; 0 once it has passed.
int poll_ms(deadline until);

}  // namespace verimex::engine::net
