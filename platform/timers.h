// Timer bookkeeping both event loops share: the schedule of a periodic
// timer against the loop's clock, catching up on elapsed periods in one
// step, and the list a loop keeps of its timers (which is due, which comes
// next). A platform half adds only what its platform makes different: how
// it registers the timer with its loop, and on Windows the alarm that wakes
// the thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"

namespace verimex::platform {

// A periodic timer whose deadlines come from a clock and advance by whole
// periods from the previous deadline, never from the time a tick happened
// to be delivered, so the schedule does not drift.
class ScheduledTimer : public Timer {
public:
    ScheduledTimer(Clock& clock, TickHandler on_tick);
    ScheduledTimer(const ScheduledTimer&) = delete;
    ScheduledTimer& operator=(const ScheduledTimer&) = delete;
    ~ScheduledTimer() override = default;

    void Interval(std::chrono::milliseconds period) override;
    std::chrono::milliseconds Interval() const override { return period_; }
    void Enabled(bool on) override;
    bool Enabled() const override { return enabled_; }

    bool armed() const { return enabled_ && period_.count() > 0; }
    bool due(Clock::time_point now) const { return armed() && deadline_ <= now; }
    Clock::time_point deadline() const { return deadline_; }
    // Start order, so equal deadlines fire in the order their timers started.
    std::uint64_t start_order() const { return start_order_; }

    // Delivers every period elapsed by `now` in one call of the handler,
    // however many there are, and moves the deadline past `now` by whole
    // periods. Only for a due timer. The handler may change this timer or
    // destroy it.
    void fire(Clock::time_point now);

protected:
    // The schedule changed: restarted, stopped, or moved on by a delivery.
    // Runs before the handler of a delivery.
    virtual void rescheduled() {}

private:
    void restart();

    Clock& clock_;
    TickHandler on_tick_;
    std::chrono::milliseconds period_{0};
    bool enabled_ = true;
    Clock::time_point deadline_{};
    std::uint64_t start_order_ = 0;
};

// Periods of `period` that have elapsed from `deadline` up to `now`, the
// one falling due at `deadline` included: 0 before it. Period above zero.
std::int64_t elapsed_periods(Clock::time_point deadline, std::chrono::milliseconds period,
                             Clock::time_point now);

// The timers of one loop.
class TimerList {
public:
    void add(ScheduledTimer& timer) { timers_.push_back(&timer); }
    void remove(ScheduledTimer& timer);
    const std::vector<ScheduledTimer*>& all() const { return timers_; }

    // The earliest deadline of an armed timer; nothing when none is armed.
    std::optional<Clock::time_point> next_deadline() const;
    // Delivers what is due by `now` (read once by the caller, so a handler
    // slower than its period cannot keep this going for ever): each due
    // timer once, with all its elapsed periods, earliest deadline first and
    // equal deadlines in start order. Returns whether any was delivered.
    bool run_due(Clock::time_point now);

private:
    ScheduledTimer* next_due(Clock::time_point now) const;

    std::vector<ScheduledTimer*> timers_;
};

// How long a wait may sleep before `deadline`, in whole milliseconds rounded
// up, so the pass after the sleep finds the tick due rather than a sliver
// early; 0 once it has passed. Capped at `longest`.
std::chrono::milliseconds sleep_until(Clock::time_point deadline, Clock::time_point now,
                                      std::chrono::milliseconds longest);

}  // namespace verimex::platform
