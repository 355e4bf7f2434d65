// Which of this machine's addresses would carry traffic to a destination:
// the kernel's route choice, asked without sending anything.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "platform/posix/fd.h"
#include "verify/net.h"
#include "verify/net/stream.h"

namespace verimex::engine {

std::string source_address_towards(const std::string& address)
{
    sockaddr_storage target{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&target);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&target);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(25);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(25);
        length = sizeof *v6;
    } else {
        return {};
    }
    // Connecting a datagram socket only picks the route and binds the
    // source address; no packet leaves.
    const platform::posix::Fd fd(::socket(target.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), length) != 0)
        return {};
    return net::bound_address(fd.get());
}

}  // namespace verimex::engine
