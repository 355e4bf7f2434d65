// The POSIX socket control: a non-blocking TCP client that the event loop
// advances at every pass.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string_view>

#include "platform/socket.h"

namespace verimex::platform::posix {

class Loop;

std::unique_ptr<SocketControl> make_tcp_socket(Loop& loop);

// While one lives, the sockets of this thread connect to no address it
// refuses: such an address is skipped as one that cannot be reached, so a
// connection whose every address is refused ends in sckError and nothing
// goes out. A host puts one around a check whose mail exchangers must not
// be private addresses; the code above the socket (the component) stays
// as it is. One on a thread at a time.
class ConnectFilter {
public:
    // refuses gets the numeric address ("127.0.0.1", "::1").
    using Refuses = bool (*)(std::string_view address);
    explicit ConnectFilter(Refuses judge);
    ~ConnectFilter();
    ConnectFilter(const ConnectFilter&) = delete;
    ConnectFilter& operator=(const ConnectFilter&) = delete;

    // Whether an address was skipped since this filter was made.
    bool refused_any() const { return refused_any_; }

    // For the sockets: whether the filter of this thread, if any, refuses
    // address (noting it when it does).
    static bool refuses(const sockaddr* address);

private:
    Refuses refuses_;
    bool refused_any_ = false;
};

}  // namespace verimex::platform::posix
