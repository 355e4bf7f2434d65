// The POSIX event loop: timers against the injected clock, one poll() per
// pass over the descriptors of every socket, the idle pause that keeps a
// host's tight yield loop from burning a core, and the sleep of the
// component's own waits, which lasts until there is news or a tick is due.
#include "platform/posix/event_loop.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "platform/posix/process.h"
#include "platform/posix/socket.h"

namespace verimex::platform {

namespace posix {

// ---- the loop --------------------------------------------------------------

int Loop::pause_ms() const
{
    if (idle_passes_ < idle_passes_before_pause)
        return 0;
    const std::optional<Clock::time_point> next = timers_.next_deadline();
    if (!next)
        return static_cast<int>(longest_pause.count());
    return static_cast<int>(sleep_until(*next, clock_.now(), longest_pause).count());
}

int Loop::sleep_ms(bool pending, int source_limit_ms) const
{
    // The caller looks at its socket after every pass, so news taken in by
    // the pass before (a connection made, a lookup ended, bytes received)
    // or work started since must be looked at before sleeping.
    if (pending || idle_passes_ == 0)
        return 0;
    // poll() takes an int; a deadline further off than that is slept
    // towards in several steps.
    constexpr std::chrono::milliseconds longest{std::numeric_limits<int>::max()};
    int ms = -1;
    if (const std::optional<Clock::time_point> next = timers_.next_deadline())
        ms = static_cast<int>(sleep_until(*next, clock_.now(), longest).count());
    if (source_limit_ms >= 0 && (ms < 0 || source_limit_ms < ms))
        ms = source_limit_ms;
    return ms;
}

void Loop::yield()
{
    pass(Idle::pause);
}

void Loop::wait(const SocketControl& socket)
{
    pass(owns(socket) ? Idle::sleep : Idle::pause);
}

void Loop::pass(Idle idle)
{
    reap_children();

    fds_.clear();
    ends_.clear();
    bool pending = false;
    int source_limit_ms = -1;
    // Sources added by a timer handler further down join the next pass.
    const std::size_t polled_sources = sources_.size();
    for (Source* source : sources_) {
        source->collect(fds_);
        ends_.push_back(fds_.size());
        pending = pending || source->pending();
        if (const int limit = source->wait_limit_ms(); limit >= 0)
            source_limit_ms = source_limit_ms < 0 ? limit : std::min(source_limit_ms, limit);
    }

    int wait_ms = idle == Idle::sleep ? sleep_ms(pending, source_limit_ms) : pause_ms();
    // Nothing to poll and nothing due ever: no sleep could end. Such a wait
    // is a host's business, and it gets the yield's pause.
    if (wait_ms < 0 && fds_.empty())
        wait_ms = pause_ms();
    if (!fds_.empty() || wait_ms != 0) {
        // With nothing to poll this is a plain sleep.
        if (::poll(fds_.data(), fds_.size(), wait_ms) < 0) {
            if (errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "verimex: poll");
            // Interrupted: revents are not to be trusted, look again next pass.
            for (pollfd& p : fds_)
                p.revents = 0;
        }
    }

    bool happened = false;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < polled_sources; ++i) {
        const std::size_t end = ends_[i];
        if (sources_[i]->advance(std::span<const pollfd>(fds_.data() + begin, end - begin)))
            happened = true;
        begin = end;
    }

    // NOTE: ticks do not count as news here. A caller waiting in a tight
    // loop sees a tick at its next watchdog query whether or not the loop
    // spins, and with a 100 ms period the few hundred fast passes after
    // every tick would double what an idle wait costs.
    timers_.run_due(clock_.now());

    // News on a socket puts the loop back to full speed: a caller that just
    // got data usually comes straight back for more.
    idle_passes_ = happened ? 0 : std::min(idle_passes_ + 1, idle_passes_before_pause);
}

}  // namespace posix

std::unique_ptr<EventLoop> make_event_loop(Clock& clock)
{
    return std::make_unique<posix::Loop>(clock);
}

}  // namespace verimex::platform
