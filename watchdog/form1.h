// The thread's hidden host window: the watchdog timer, its tick counter and
// timed-out flag, and the socket the probe talks through. One per thread,
// made on first use and shared by every verifier object on that thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/socket.h"

namespace verimex {

class Form1 {
public:
    explicit Form1(platform::Clock& clock = platform::system_clock());
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;
    ~Form1();

    // The calling thread's window, made on first use. It lives until the
    // thread ends: nothing can reach it after that.
    static Form1& current();
    // Puts another window in place for this thread (tests: a fake clock, a
    // scripted socket). Returns the one it replaces.
    static std::unique_ptr<Form1> replace(std::unique_ptr<Form1> next);

    // Restarts the watchdog: count and flag cleared, the period set to
    // timeout x 100 ms, the timer enabled; the first tick falls due one
    // period from now, and ticks overdue from an earlier start are dropped.
    // A negative timeout throws std::invalid_argument before anything
    // changes.
    //
    // Ticks are delivered only at yields, but every period that elapsed is
    // counted: when the thread has not yielded for a while (a long blocking
    // read of the lookup output), the next yield delivers all the ticks that
    // fell due meanwhile, so the limit follows real time.
    void startwatch(std::int16_t timeout);
    // Delivered ticks: `elapsed` periods, counted at once.
    void Timer1_Timer(std::int64_t elapsed);
    // One pass of the thread's event loop, as the host's own calls make it.
    void yield();
    // One pass of the component's own waits on telnet: when nothing is
    // happening the thread sleeps until the socket has news or the next
    // tick is due.
    void wait();
    // The thread is ending and this window with it (see EventLoop).
    void thread_exiting();

    // Another timer on this thread's loop, for the library's own use beside
    // the watchdog (the engine's stop requests): its ticks are delivered at
    // the same passes, and its deadline also ends the component's sleeps.
    std::unique_ptr<platform::Timer> make_timer(platform::TickHandler on_tick);

    bool timer = false;  // the timed-out flag
    std::unique_ptr<platform::SocketControl> telnet;
    std::int64_t tick_count() const { return ticks; }
    platform::Timer& timer1() { return *Timer1; }

private:
    std::unique_ptr<platform::EventLoop> loop_;
    std::unique_ptr<platform::Timer> Timer1;
    // Ticks since the last start; grows as long as the timer runs.
    std::int64_t ticks = 0;
};

}  // namespace verimex
