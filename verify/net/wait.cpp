// Waiting on one descriptor under a deadline and a stop request.
#include "verify/net/wait.h"

#include <cerrno>
#include <climits>

#include "verify/net/cancellation.h"

namespace verimex::engine::net {

bool stop_requested(const cancellation* cancel)
{
    return cancel != nullptr && cancel->requested();
}

int cancel_fd(const cancellation* cancel)
{
    return cancel != nullptr ? cancel->state().event.get() : -1;
}

int poll_ms(deadline until)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now()).count();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

wait_result wait_for(int fd, short events, const cancellation* cancel, deadline until, int& error)
{
    for (;;) {
        if (stop_requested(cancel))
            return wait_result::cancelled;
        const int ms = poll_ms(until);
        if (ms == 0)
            return wait_result::timeout;
        pollfd fds[2] = {{fd, events, 0}, {cancel_fd(cancel), POLLIN, 0}};
        const int n = ::poll(fds, 2, ms);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return wait_result::failed;
        }
        if (fds[1].revents != 0)
            return wait_result::cancelled;
        if (fds[0].revents != 0)
            return wait_result::ready;
        // poll's own time-out: the loop's deadline check decides.
    }
}

}  // namespace verimex::engine::net
