// The socket control's rules that do not depend on the platform: the port
// range and which host texts can name a host. Both halves call these, so
// they raise and refuse alike.
#include "platform/socket.h"

#include <stdexcept>
#include <string>

namespace verimex::platform {

int checked_port(int port)
{
    if (port < 0 || port > 65535)
        throw std::out_of_range("verimex: port " + std::to_string(port) + " is out of range");
    return port;
}

bool nameable_host(std::string_view host)
{
    return !host.empty() && host.size() <= longest_host_name && host.find('\0') == std::string_view::npos;
}

}  // namespace verimex::platform
