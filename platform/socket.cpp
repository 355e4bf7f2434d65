// The socket control's rules that do not depend on the platform: the port
// range, which host texts can name a host, and the buffers between the
// caller and the connection (SocketCore). Both halves use these, so they
// raise, refuse and buffer alike.
#include "platform/socket.h"
#include "platform/socket_core.h"

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

void SocketCore::SendData(std::string_view data)
{
    if (state_ != sckConnected || send_closed_ || data.empty())
        return;
    outbox_.append(data);
    flush();
    wake();
}

void SocketCore::GetData(std::string& data)
{
    data.clear();
    data.swap(inbox_);
}

void SocketCore::drop_buffers()
{
    inbox_.clear();
    outbox_.clear();
    send_closed_ = false;
}

}  // namespace verimex::platform
