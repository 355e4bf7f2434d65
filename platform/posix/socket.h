// The POSIX socket control: a non-blocking TCP client that the event loop
// advances at every pass.
#pragma once

#include <memory>

#include "platform/socket.h"

namespace verimex::platform::posix {

class Loop;

std::unique_ptr<SocketControl> make_tcp_socket(Loop& loop);

}  // namespace verimex::platform::posix
