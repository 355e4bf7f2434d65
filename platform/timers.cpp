// Timer schedules and the list a loop keeps of them; see timers.h.
#include "platform/timers.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <utility>

namespace verimex::platform {

namespace {

// Process-wide, so it never repeats within a loop however timers come and go.
std::atomic<std::uint64_t> starts{0};

}  // namespace

ScheduledTimer::ScheduledTimer(Clock& clock, TickHandler on_tick) : clock_(clock), on_tick_(std::move(on_tick)) {}

void ScheduledTimer::Interval(std::chrono::milliseconds period)
{
    if (period.count() < 0)
        throw std::invalid_argument("verimex: timer period must not be negative (" +
                                    std::to_string(period.count()) + " ms)");
    period_ = period;
    // Ticks overdue under the old period are dropped: the new schedule
    // starts one full period from now.
    restart();
}

void ScheduledTimer::Enabled(bool on)
{
    // Switching a stopped timer on starts its schedule afresh, as setting
    // the period does; switching on a running one changes nothing.
    if (on && !enabled_) {
        enabled_ = true;
        restart();
        return;
    }
    if (!on && enabled_) {
        enabled_ = false;
        rescheduled();
    }
}

void ScheduledTimer::restart()
{
    deadline_ = clock_.now() + period_;
    start_order_ = ++starts;
    rescheduled();
}

void ScheduledTimer::fire(Clock::time_point now)
{
    const std::int64_t elapsed = elapsed_periods(deadline_, period_, now);
    if (elapsed <= 0)
        return;
    deadline_ += period_ * elapsed;
    rescheduled();
    // Last: the handler may change this timer or even destroy it.
    on_tick_(elapsed);
}

std::int64_t elapsed_periods(Clock::time_point deadline, std::chrono::milliseconds period, Clock::time_point now)
{
    if (now < deadline || period.count() <= 0)
        return 0;
    // One division instead of one delivery per period: after a long time
    // without a pass (a blocking step, a host that did not pump for hours)
    // the count is still exact and costs nothing.
    return static_cast<std::int64_t>((now - deadline) / period) + 1;
}

void TimerList::remove(ScheduledTimer& timer)
{
    std::erase(timers_, &timer);
}

std::optional<Clock::time_point> TimerList::next_deadline() const
{
    std::optional<Clock::time_point> next;
    for (const ScheduledTimer* timer : timers_)
        if (timer->armed() && (!next || timer->deadline() < *next))
            next = timer->deadline();
    return next;
}

ScheduledTimer* TimerList::next_due(Clock::time_point now) const
{
    ScheduledTimer* next = nullptr;
    for (ScheduledTimer* timer : timers_) {
        if (!timer->due(now))
            continue;
        if (!next || timer->deadline() < next->deadline() ||
            (timer->deadline() == next->deadline() && timer->start_order() < next->start_order()))
            next = timer;
    }
    return next;
}

bool TimerList::run_due(Clock::time_point now)
{
    // A delivery moves its timer's deadline past `now`, so each timer is
    // delivered at most once here unless its handler restarts it, and a
    // restart puts the deadline a full period after `now` as well.
    bool fired = false;
    // The handler may add or remove timers; the list is searched afresh.
    while (ScheduledTimer* timer = next_due(now)) {
        fired = true;
        timer->fire(now);
    }
    return fired;
}

std::chrono::milliseconds sleep_until(Clock::time_point deadline, Clock::time_point now,
                                      std::chrono::milliseconds longest)
{
    if (deadline <= now)
        return std::chrono::milliseconds{0};
    return std::min(longest, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
}

}  // namespace verimex::platform
