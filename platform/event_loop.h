// The thread's event loop: what the hidden host window stands on. It hands
// out the periodic timer and the socket control, and yield() runs one pass
// over everything queued for the thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/socket.h"

namespace verimex::platform {

// Runs for a timer's ticks: `elapsed` (at least 1) is how many periods fell
// due since the last delivery. Periods that passed while the thread did not
// pass through its loop arrive together, counted, in one call.
using TickHandler = std::function<void(std::int64_t elapsed)>;

// A periodic timer whose ticks are delivered only by the owning loop's
// passes (yield, wait). Period 0 means no ticks.
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
    // For yield(): passes that found nothing to do before one may pause,
    // and the longest pause, on every platform. A pause of 1 ms still costs
    // a few per cent of a core in a host's tight loop; 10 ms costs well
    // under one. The count stays above the reply reader's 100 turns after a
    // reply, which must not pause.
    static constexpr int idle_passes_before_pause = 300;
    static constexpr std::chrono::milliseconds longest_pause{10};

    virtual ~EventLoop() = default;

    virtual std::unique_ptr<Timer> make_timer(TickHandler on_tick) = 0;
    virtual std::unique_ptr<SocketControl> make_socket() = 0;

    // One pass over the thread's queue: delivers every tick that fell due
    // (all periods that passed while the thread did not yield are counted),
    // lets sockets advance, and returns. It never waits for news
    // indefinitely; after a long run of passes that found nothing to do it
    // may pause briefly (at most longest_pause) on the sockets instead of
    // spinning, returning as soon as one has news, and never past the next
    // tick due. This is the pass a host's own calls make.
    virtual void yield() = 0;

    // One pass as yield() makes, for a caller that waits on `socket` and
    // looks at it after every pass: when the pass finds nothing to do, and
    // the pass before it found nothing either (nor was work started since),
    // it sleeps until a socket or the resolver of this loop has news, a
    // message arrives for the thread, or the next tick falls due, however
    // far off that is. Then it delivers what came and returns. A socket this
    // loop did not make can have news the loop would never hear of, so for
    // one of those this is a plain yield().
    virtual void wait(const SocketControl& socket) = 0;

    // The owning thread is ending, and the loop goes with it from the
    // thread's exit: for a library on Windows that runs under the system's
    // loader lock, where calls into the window manager or Winsock may
    // deadlock. From here on the loop and what it made release only their
    // own handles and sockets; the system ends the thread's windows and
    // timers with the thread. Nothing to do where threads own no windows.
    virtual void thread_exiting() {}
};

// Implemented once per platform.
std::unique_ptr<EventLoop> make_event_loop(Clock& clock);

}  // namespace verimex::platform
