// The Windows event loop: the thread's hidden message-only window "Form1",
// the periodic timers that post WM_TIMER to it, and the sockets that a pass
// lets advance. Only the loop, what it makes and the COM server see this.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"

namespace verimex::platform::win32 {

// Something a pass of the loop lets advance: a socket.
class Source {
public:
    // The kernel object signalled when the source has news, for the idle
    // pause to wake on; null when it is waiting for nothing.
    virtual HANDLE event() const = 0;
    // Advances without blocking. Returns whether anything happened.
    virtual bool advance() = 0;
    // The loop is going away before the source: forget it.
    virtual void detach() = 0;

protected:
    ~Source() = default;
};

// Winsock stays started for as long as a loop lives.
class WinsockSession {
public:
    WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession();
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
    HWND window() const { return window_; }
    // Work was started between passes (a connect, a send): the following
    // passes must not pause before they have looked at it.
    void wake() { idle_passes_ = 0; }

    void add(Source& source);
    void remove(Source& source);
    // Returns the timer id the window's WM_TIMER messages carry.
    UINT_PTR add(LoopTimer& timer);
    void remove(LoopTimer& timer);

private:
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    // WM_TIMER: runs every tick of that timer due by now.
    void deliver(UINT_PTR id);
    LoopTimer* find(UINT_PTR id) const;
    // One pass: the thread's queue until it is empty, then the sources.
    // Returns whether anything happened.
    bool pump();
    void pause();

    Clock& clock_;
    WinsockSession winsock_;
    HWND window_ = nullptr;
    std::vector<Source*> sources_;
    std::vector<LoopTimer*> timers_;
    UINT_PTR last_timer_id_ = 0;
    int idle_passes_ = 0;
    // Raised by a handler the window procedure ran: it cannot cross the
    // system's dispatch code, so it waits here for the yield to rethrow it.
    std::exception_ptr pending_;
};

// A periodic timer on the loop's window. Deadlines come from the loop's
// clock and advance by whole periods from the previous deadline, so the
// schedule does not drift; SetTimer is only the alarm for the next one.
// When the thread has not pumped for several periods, the one WM_TIMER
// Windows keeps for it delivers every tick that fell due meanwhile.
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

    UINT_PTR id() const { return id_; }
    bool due(Clock::time_point now) const { return armed() && deadline_ <= now; }
    // Moves the deadline on by one period and runs the handler.
    void fire();
    // Sets the window's alarm for the next deadline, or clears it when the
    // timer is stopped.
    void arm();
    void detach() { loop_ = nullptr; }

private:
    bool armed() const { return enabled_ && period_.count() > 0; }
    void restart();

    Loop* loop_;
    Clock& clock_;
    UINT_PTR id_;
    std::function<void()> on_tick_;
    std::chrono::milliseconds period_{0};
    bool enabled_ = true;
    Clock::time_point deadline_{};
};

}  // namespace verimex::platform::win32
