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
#include "platform/loop_core.h"
#include "platform/timers.h"

namespace verimex::platform::win32 {

// Something a pass of the loop lets advance: a socket.
class Source {
public:
    // The kernel object signalled when the source has news, for the idle
    // pause to wake on; null when it is waiting for nothing.
    virtual HANDLE event() const = 0;
    // Advances without blocking. Returns whether anything happened.
    virtual bool advance() = 0;
    // Holds news its caller has not taken yet (received bytes), so a wait
    // must not sleep.
    virtual bool pending() const = 0;
    // The loop is going away before the source: forget it.
    virtual void detach() = 0;

protected:
    ~Source() = default;
};

// Winsock stays started for as long as a loop lives (unless kept: then for
// as long as the process).
class WinsockSession {
public:
    WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession();
    void keep() { keep_ = true; }

private:
    bool keep_ = false;
};

class LoopTimer;

class Loop final : public LoopCore<Loop, LoopTimer, Source> {
public:
    // Not copied (LoopCore): timers and sockets point back at it.
    explicit Loop(Clock& clock);
    ~Loop() override;

    void yield() override;
    void wait(const SocketControl& socket) override;
    void thread_exiting() override;

    // The thread is ending (thread_exiting): no calls into user32 or
    // Winsock beyond closing our own handles.
    bool exiting() const { return exiting_; }
    HWND window() const { return window_; }
    // The id a new timer's WM_TIMER messages carry.
    UINT_PTR next_timer_id();

private:
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    // WM_TIMER: delivers what is due of that timer by now.
    void deliver(UINT_PTR id);
    LoopTimer* find(UINT_PTR id) const;
    // One pass: the thread's queue until it is empty, then the sources,
    // then the ticks due by the clock. Returns whether anything happened
    // (the watchdog's own ticks aside).
    bool pump();
    // Posts the WM_QUIT a pass took, on its way back to the caller.
    void hand_back_quit();
    class QuitHandback {
    public:
        explicit QuitHandback(Loop& loop) : loop_(loop) {}
        QuitHandback(const QuitHandback&) = delete;
        QuitHandback& operator=(const QuitHandback&) = delete;
        ~QuitHandback() { loop_.hand_back_quit(); }

    private:
        Loop& loop_;
    };
    // Blocks until a source's event is signalled, a message arrives for the
    // thread, or `timeout` milliseconds (INFINITE: no limit) have passed.
    void block(DWORD timeout);
    // How long a wait may sleep: until the next tick due, however far off.
    DWORD sleep_ms() const;

    WinsockSession winsock_;
    HWND window_ = nullptr;
    UINT_PTR last_timer_id_ = 0;
    // Raised by a handler the window procedure ran: it cannot cross the
    // system's dispatch code, so it waits here for the yield to rethrow it.
    std::exception_ptr pending_;
    // A WM_QUIT the host's own loop must still see, taken by a pass and
    // held until the pass returns to its caller. Posted again inside the
    // pass, it would wake every sleep of the pass at once and spin a core.
    bool quit_held_ = false;
    WPARAM quit_code_ = 0;
    bool exiting_ = false;
};

// A periodic timer on the loop's window: the shared schedule, whose
// deadlines come from the loop's clock; SetTimer is only the alarm for the
// next one, which wakes the thread and, in a host's own message loop,
// delivers the ticks between calls. The loop's passes deliver what is due
// by the clock themselves. When the thread has not pumped for several
// periods, one delivery counts every tick that fell due meanwhile.
class LoopTimer final : public LoopTimerCore<Loop> {
public:
    LoopTimer(Loop& loop, TickHandler on_tick);
    ~LoopTimer() override;

    UINT_PTR id() const { return id_; }
    // Sets the window's alarm for the next deadline, or clears it when the
    // timer is stopped.
    void arm();

private:
    void rescheduled() override { arm(); }

    Clock& clock_;
    UINT_PTR id_;
};

}  // namespace verimex::platform::win32
