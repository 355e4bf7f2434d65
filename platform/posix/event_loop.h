// The POSIX event loop: a list of periodic timers read against an injected
// monotonic clock, and a list of descriptor sources (the sockets it made)
// that one poll() per pass serves. Only the loop and what it makes see this.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"

namespace verimex::platform::posix {

class Loop;

// Something the loop polls and lets advance at every pass.
class Source {
public:
    // Appends the descriptors to poll this pass, with the events wanted.
    virtual void collect(std::vector<pollfd>& fds) = 0;
    // Advances without blocking; polled is what collect() appended, with
    // revents filled in. Returns whether anything happened.
    virtual bool advance(std::span<const pollfd> polled) = 0;
    // The loop is going away before the source: forget it.
    virtual void detach() = 0;

protected:
    ~Source() = default;
};

class LoopTimer;

class Loop final : public EventLoop {
public:
    explicit Loop(Clock& clock);
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    ~Loop() override;

    std::unique_ptr<Timer> make_timer(std::function<void()> on_tick) override;
    std::unique_ptr<SocketControl> make_socket() override;
    void yield() override;

    Clock& clock() { return clock_; }
    // Work was started or queued between passes (a connect, a send): the
    // following passes must not pause before they have looked at it.
    void wake() { idle_passes_ = 0; }

    void add(Source& source);
    void remove(Source& source);
    void add(LoopTimer& timer);
    void remove(LoopTimer& timer);
    // Start order of timers, so equal deadlines fire in the order started.
    std::uint64_t next_start() { return ++starts_; }

private:
    // Delivers every tick due by now, one call per elapsed period, earliest
    // deadline first. Returns whether any was delivered.
    bool run_due_timers(Clock::time_point now);
    // How long this pass may wait in poll(): zero unless the loop has been
    // idle long enough, and never past the next tick due.
    int pause_ms();

    Clock& clock_;
    std::vector<Source*> sources_;
    std::vector<LoopTimer*> timers_;
    std::vector<pollfd> fds_;
    std::vector<std::size_t> ends_;  // where each source's descriptors end in fds_
    int idle_passes_ = 0;
    std::uint64_t starts_ = 0;
};

// The loop's periodic timer. Deadlines advance by whole periods from the
// previous deadline, never from the time a tick happened to be delivered,
// so the schedule does not drift.
class LoopTimer final : public Timer {
public:
    LoopTimer(Loop& loop, std::function<void()> on_tick);
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;
    ~LoopTimer() override;

    void Interval(std::chrono::milliseconds period) override;
    std::chrono::milliseconds Interval() const override { return period_; }
    void Enabled(bool on) override;
    bool Enabled() const override { return enabled_; }

    bool due(Clock::time_point now) const
    {
        return enabled_ && period_.count() > 0 && deadline_ <= now;
    }
    bool armed() const { return enabled_ && period_.count() > 0; }
    Clock::time_point deadline() const { return deadline_; }
    std::uint64_t start_order() const { return start_order_; }
    // Moves the deadline on by one period and runs the handler.
    void fire();
    void detach() { loop_ = nullptr; }

private:
    void restart();

    Loop* loop_;
    Clock& clock_;
    std::function<void()> on_tick_;
    std::chrono::milliseconds period_{0};
    bool enabled_ = true;
    Clock::time_point deadline_{};
    std::uint64_t start_order_ = 0;
};

}  // namespace verimex::platform::posix
