// The POSIX socket control: a non-blocking TCP client that the event loop
// advances at every pass.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/socket.h"

namespace verimex::platform::posix {

class Loop;

// Received bytes wait in the control until GetData takes them. Past this
// many unread bytes it stops reading from the descriptor, so a flooding
// peer is held back by TCP instead of filling memory; nothing is lost.
inline constexpr std::size_t receive_buffer_cap = std::size_t{1} << 20;
// At most this much is read in one pass, so one pass stays short.
inline constexpr std::size_t read_per_pass = 64 * 1024;

std::unique_ptr<SocketControl> make_tcp_socket(Loop& loop);

}  // namespace verimex::platform::posix
