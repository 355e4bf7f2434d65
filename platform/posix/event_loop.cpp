// The POSIX event loop: timers against the injected clock, one poll() per
// pass over the descriptors of every socket, and the idle pause that keeps a
// caller's tight yield loop from burning a core.
#include "platform/posix/event_loop.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "platform/posix/process.h"
#include "platform/posix/socket.h"

namespace verimex::platform {

namespace posix {

// ---- timers ----------------------------------------------------------------

LoopTimer::LoopTimer(Loop& loop, std::function<void()> on_tick)
    : loop_(&loop), clock_(loop.clock()), on_tick_(std::move(on_tick))
{
    loop.add(*this);
}

LoopTimer::~LoopTimer()
{
    if (loop_)
        loop_->remove(*this);
}

void LoopTimer::Interval(std::chrono::milliseconds period)
{
    if (period.count() < 0)
        throw std::invalid_argument("verimex: timer period must not be negative (" +
                                    std::to_string(period.count()) + " ms)");
    period_ = period;
    // Ticks overdue under the old period are dropped: the new schedule
    // starts one full period from now.
    restart();
}

void LoopTimer::Enabled(bool on)
{
    // Switching a stopped timer on starts its schedule afresh, as setting
    // the period does; switching on a running one changes nothing.
    if (on && !enabled_) {
        enabled_ = true;
        restart();
    }
    enabled_ = on;
}

void LoopTimer::restart()
{
    deadline_ = clock_.now() + period_;
    start_order_ = loop_ ? loop_->next_start() : 0;
}

void LoopTimer::fire()
{
    deadline_ += period_;
    // Last: the handler may change this timer or even destroy it.
    on_tick_();
}

// ---- the loop --------------------------------------------------------------

Loop::Loop(Clock& clock) : clock_(clock) {}

Loop::~Loop()
{
    // Whatever outlives the loop must not reach back into it.
    for (Source* source : sources_)
        source->detach();
    for (LoopTimer* timer : timers_)
        timer->detach();
}

std::unique_ptr<Timer> Loop::make_timer(std::function<void()> on_tick)
{
    return std::make_unique<LoopTimer>(*this, std::move(on_tick));
}

std::unique_ptr<SocketControl> Loop::make_socket()
{
    return make_tcp_socket(*this);
}

void Loop::add(Source& source)
{
    sources_.push_back(&source);
}

void Loop::remove(Source& source)
{
    std::erase(sources_, &source);
}

void Loop::add(LoopTimer& timer)
{
    timers_.push_back(&timer);
}

void Loop::remove(LoopTimer& timer)
{
    std::erase(timers_, &timer);
}

int Loop::pause_ms()
{
    if (idle_passes_ < idle_passes_before_pause)
        return 0;
    auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(longest_pause);
    const LoopTimer* next = nullptr;
    for (const LoopTimer* timer : timers_)
        if (timer->armed() && (!next || timer->deadline() < next->deadline()))
            next = timer;
    if (next) {
        const auto until = next->deadline() - clock_.now();
        if (until <= until.zero())
            return 0;
        // Rounded up, so the pass after the pause finds the tick due rather
        // than a sliver early.
        pause = std::min(pause, std::chrono::ceil<std::chrono::milliseconds>(until));
    }
    return static_cast<int>(pause.count());
}

bool Loop::run_due_timers(Clock::time_point now)
{
    // `now` is read once per pass, so a handler slower than its period
    // cannot keep this loop going for ever.
    bool fired = false;
    for (;;) {
        LoopTimer* next = nullptr;
        for (LoopTimer* timer : timers_) {
            if (!timer->due(now))
                continue;
            if (!next || timer->deadline() < next->deadline() ||
                (timer->deadline() == next->deadline() && timer->start_order() < next->start_order()))
                next = timer;
        }
        if (!next)
            return fired;
        fired = true;
        // The handler may add or remove timers; the list is searched afresh.
        next->fire();
    }
}

void Loop::yield()
{
    reap_children();

    fds_.clear();
    ends_.clear();
    // Sources added by a timer handler further down join the next pass.
    const std::size_t polled_sources = sources_.size();
    for (Source* source : sources_) {
        source->collect(fds_);
        ends_.push_back(fds_.size());
    }

    const int wait_ms = pause_ms();
    if (!fds_.empty() || wait_ms > 0) {
        // With nothing to poll this is a plain sleep of the idle pause.
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
    run_due_timers(clock_.now());

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
