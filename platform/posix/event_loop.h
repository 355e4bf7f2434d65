// The POSIX event loop: a list of periodic timers read against an injected
// monotonic clock, and a list of descriptor sources (the sockets it made)
// that one poll() per pass serves. Only the loop and what it makes see this.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/loop_core.h"
#include "platform/timers.h"

namespace verimex::platform::posix {

// Something the loop polls and lets advance at every pass.
class Source {
public:
    // Appends the descriptors to poll this pass, with the events wanted.
    virtual void collect(std::vector<pollfd>& fds) = 0;
    // Advances without blocking; polled is what collect() appended, with
    // revents filled in. Returns whether anything happened.
    virtual bool advance(std::span<const pollfd> polled) = 0;
    // Holds news its caller has not taken yet (received bytes), so a wait
    // must not sleep.
    virtual bool pending() const = 0;
    // How long a wait may sleep before this source needs a pass of its own
    // even without news on its descriptors (the resolver's resends), in
    // milliseconds; -1 when it needs none.
    virtual int wait_limit_ms() const = 0;
    // The loop is going away before the source: forget it.
    virtual void detach() = 0;

protected:
    ~Source() = default;
};

class Loop;
// The loop's periodic timer: the shared schedule, registered with the loop.
using LoopTimer = LoopTimerCore<Loop>;

class Loop final : public LoopCore<Loop, LoopTimer, Source> {
public:
    // Not copied (LoopCore): timers and sockets point back at it.
    using LoopCore::LoopCore;

    void yield() override;
    void wait(const SocketControl& socket) override;

private:
    enum class Idle { pause, sleep };
    // One pass; `idle` says what it may do when it finds nothing to do.
    void pass(Idle idle);
    // How long a yield may wait in poll(): zero unless the loop has been
    // idle long enough, and never past the next tick due.
    int pause_ms() const;
    // How long a wait may sleep in poll(): until the next tick due or the
    // earliest limit a source set, however far off; -1 for no limit.
    int sleep_ms(bool pending, int source_limit_ms) const;

    std::vector<pollfd> fds_;
    std::vector<std::size_t> ends_;  // where each source's descriptors end in fds_
};

}  // namespace verimex::platform::posix
