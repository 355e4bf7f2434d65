// The thread's event loop: what the hidden host window stands on. It hands
// out the periodic timer and the socket control, and yield() runs one pass
// over everything queued for the thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/socket.h"

namespace verimex::platform {

// A periodic timer whose ticks are delivered only by the owning loop's
// yield(). Period 0 means no ticks.
class Timer {
public:
    virtual ~Timer() = default;
    // Setting the period restarts the schedule: the next tick falls due one
    // full period from now, and ticks overdue under the old period are
    // dropped. Negative periods throw std::invalid_argument.
    virtual void Interval(std::chrono::milliseconds period) = 0;
    virtual std::chrono::milliseconds Interval() const = 0;
    // A new timer is enabled with period 0. Switching a disabled timer on
    // restarts the schedule as setting the period does; switching on one
    // that runs changes nothing.
    virtual void Enabled(bool on) = 0;
    virtual bool Enabled() const = 0;
};

class EventLoop {
public:
    // Passes that found nothing to do before one may pause, and the longest
    // pause, on every platform. A pause of 1 ms still costs a few per cent
    // of a core in a tight caller loop; 10 ms costs well under one. The
    // count stays above the reply reader's 100 turns after a reply, which
    // must not pause.
    static constexpr int idle_passes_before_pause = 300;
    static constexpr std::chrono::milliseconds longest_pause{10};

    virtual ~EventLoop() = default;

    virtual std::unique_ptr<Timer> make_timer(std::function<void()> on_tick) = 0;
    virtual std::unique_ptr<SocketControl> make_socket() = 0;

    // One pass over the thread's queue: delivers every tick that fell due
    // (one call per elapsed period, so periods that passed while the thread
    // did not yield are all counted), lets sockets advance, and returns. It
    // never waits for news indefinitely; after a long run of passes that
    // found nothing to do it may pause briefly (at most longest_pause) on the
    // sockets instead of spinning, returning as soon as one has news, and
    // never past the next tick due.
    virtual void yield() = 0;
};

// Implemented once per platform.
std::unique_ptr<EventLoop> make_event_loop(Clock& clock);

}  // namespace verimex::platform
