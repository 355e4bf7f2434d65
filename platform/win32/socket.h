// The Windows socket control: a non-blocking Winsock TCP client that the
// loop lets advance at every pass.
#pragma once

#include <memory>

#include "platform/socket.h"

namespace verimex::platform::win32 {

class Loop;

std::unique_ptr<SocketControl> make_tcp_socket(Loop& loop);

}  // namespace verimex::platform::win32
