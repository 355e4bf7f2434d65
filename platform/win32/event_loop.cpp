// The Windows event loop: the message-only window Form1 (one per loop, and
// the logic makes one loop per thread), its WM_TIMER alarms, the sockets
// polled at every pass, the idle pause that keeps a host's tight yield loop
// from burning a core, and the sleep of the component's own waits, which
// lasts until there is news, a message, or a tick is due.
#include "platform/win32/event_loop.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "platform/win32/socket.h"
#include "platform/win32/text.h"

namespace verimex::platform {

namespace win32 {

namespace {

constexpr const wchar_t* window_class = L"VerimexForm1";
constexpr const wchar_t* window_name = L"Form1";

// The window class is registered while at least one loop lives, and taken
// away with the last one.
SRWLOCK class_lock = SRWLOCK_INIT;
std::size_t loops = 0;  // guarded by class_lock

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK& lock_;
};

[[noreturn]] void raise_last_error(const char* what)
{
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

// Once a window exists the module stays loaded until the process ends.
// Windows outlive the objects that made them (they belong to their thread),
// and some hosts unload an in-process server as soon as its last object is
// gone, or when the thread leaves its COM apartment; a window or timer left
// pointing into an unloaded module would take the host down at its next
// message. Threads that end take their windows with them; the code stays.
void pin_module()
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&pin_module), &module);
}

}  // namespace

// ---- Winsock -----------------------------------------------------------------

WinsockSession::WinsockSession()
{
    WSADATA data{};
    // WSAStartup reports its error as its result, not through WSAGetLastError.
    if (const int error = ::WSAStartup(MAKEWORD(2, 2), &data); error != 0)
        throw std::system_error(error, std::system_category(), "verimex: WSAStartup");
}

WinsockSession::~WinsockSession()
{
    if (!keep_)
        ::WSACleanup();
}

// ---- timers ------------------------------------------------------------------

LoopTimer::LoopTimer(Loop& loop, TickHandler on_tick)
    : LoopTimerCore(loop, std::move(on_tick)), clock_(loop.clock()), id_(loop.next_timer_id())
{
}

LoopTimer::~LoopTimer()
{
    // At the thread's exit the alarm ends with the thread's window; the
    // timer leaves the loop's list in LoopTimerCore.
    if (loop_ && !loop_->exiting())
        ::KillTimer(loop_->window(), id_);
}

void LoopTimer::arm()
{
    if (!loop_)
        return;
    if (!armed()) {
        // Also when no alarm is set: KillTimer then fails, harmlessly.
        ::KillTimer(loop_->window(), id_);
        return;
    }
    // SetTimer counts from now, so it is given what is left until the
    // deadline, rounded up so the alarm does not ring a sliver early.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline() - clock_.now()).count();
    const UINT ms = static_cast<UINT>(std::clamp<long long>(left, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM));
    // The same id replaces the earlier alarm rather than adding one.
    if (::SetTimer(loop_->window(), id_, ms, nullptr) == 0)
        raise_last_error("verimex: SetTimer");
}

// ---- the loop ----------------------------------------------------------------

Loop::Loop(Clock& clock) : LoopCore(clock)
{
    const HMODULE module = this_module();
    {
        ExclusiveLock lock(class_lock);
        if (loops == 0) {
            pin_module();
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = &Loop::window_proc;
            wc.hInstance = module;
            wc.lpszClassName = window_class;
            // Already there is fine: a loop on another thread that is just
            // going away may not have taken it down yet.
            if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
                raise_last_error("verimex: RegisterClassExW");
        }
        ++loops;
    }
    // HWND_MESSAGE: never shown, not enumerated, receives no broadcasts;
    // it only carries this thread's timer messages.
    window_ = ::CreateWindowExW(0, window_class, window_name, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, this);
    if (window_ == nullptr) {
        const DWORD error = ::GetLastError();
        ExclusiveLock lock(class_lock);
        if (--loops == 0)
            ::UnregisterClassW(window_class, module);
        throw std::system_error(static_cast<int>(error), std::system_category(), "verimex: CreateWindowExW");
    }
}

// Sources and timers are let go in LoopCore, after this: nothing here
// reaches them.
Loop::~Loop()
{
    if (quit_held_ && !exiting_)
        ::PostQuitMessage(static_cast<int>(quit_code_));
    if (exiting_) {
        // Under the loader lock: no DestroyWindow, UnregisterClassW or
        // WSACleanup. The system destroys the thread's window (and its
        // timers) when the thread is gone; the window procedure, in this
        // pinned module, must only no longer find the loop. The class stays
        // registered for the next loop (its code never unloads), and
        // Winsock stays started for the process.
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        winsock_.keep();
        ExclusiveLock lock(class_lock);
        --loops;
        return;
    }
    // Destroying the window ends its timers with it.
    ::DestroyWindow(window_);
    ExclusiveLock lock(class_lock);
    if (--loops == 0)
        ::UnregisterClassW(window_class, this_module());
}

void Loop::thread_exiting()
{
    exiting_ = true;
}

UINT_PTR Loop::next_timer_id()
{
    // Never reused, so a WM_TIMER left over from a destroyed timer cannot
    // be taken for a newer one.
    return ++last_timer_id_;
}

LoopTimer* Loop::find(UINT_PTR id) const
{
    for (ScheduledTimer* timer : timers_.all())
        if (auto* own = static_cast<LoopTimer*>(timer); own->id() == id)
            return own;
    return nullptr;
}

void Loop::deliver(UINT_PTR id)
{
    LoopTimer* timer = find(id);
    if (!timer) {
        // A message left over from a timer that is gone.
        ::KillTimer(window_, id);
        return;
    }
    // Every period due by now in one delivery, which sets the next alarm;
    // an alarm that rang a sliver early is simply set again.
    if (const Clock::time_point now = clock_.now(); timer->due(now))
        timer->fire(now);
    else
        timer->arm();
}

LRESULT CALLBACK Loop::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* loop = reinterpret_cast<Loop*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (loop != nullptr && message == WM_TIMER) {
        // No exception may unwind through DispatchMessage.
        try {
            loop->deliver(static_cast<UINT_PTR>(wparam));
        } catch (...) {
            if (!loop->pending_)
                loop->pending_ = std::current_exception();
        }
        return 0;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

bool Loop::pump()
{
    bool happened = false;
    MSG msg;
    // Every message of the thread, the host's own windows' too, as a
    // DoEvents would: the host stays responsive while a check runs. Once
    // the host has asked to quit, only this window's messages: the host's
    // own loop would dispatch nothing more either.
    HWND filter = quit_held_ ? window_ : nullptr;
    while (::PeekMessageW(&msg, filter, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The host's loop must still see it: held until this pass
            // returns (hand_back_quit).
            quit_held_ = true;
            quit_code_ = msg.wParam;
            filter = window_;
            continue;
        }
        // The watchdog's own ticks are not news, as on POSIX: a waiting
        // caller sees a tick at its next query either way, and the fast
        // passes after every tick would double what an idle wait costs.
        if (msg.hwnd != window_ || msg.message != WM_TIMER)
            happened = true;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    // Sources added by a handler further down join the next pass.
    const std::size_t count = sources_.size();
    for (std::size_t i = 0; i < count && i < sources_.size(); ++i)
        if (sources_[i]->advance())
            happened = true;

    // Ticks due by the clock, whether or not their WM_TIMER has come: the
    // alarm's resolution is coarse, and a wait that slept until the
    // deadline must find the tick there.
    timers_.run_due(clock_.now());
    return happened;
}

void Loop::block(DWORD timeout)
{
    HANDLE handles[MAXIMUM_WAIT_OBJECTS - 1];
    DWORD count = 0;
    for (const Source* source : sources_) {
        if (count == std::size(handles))
            break;
        if (HANDLE h = source->event())
            handles[count++] = h;
    }
    // Any message wakes it, the WM_TIMER of the next tick due included.
    // MWMO_INPUTAVAILABLE: messages that arrived before the call count too.
    const DWORD r = ::MsgWaitForMultipleObjectsEx(count, count ? handles : nullptr, timeout, QS_ALLINPUT,
                                                  MWMO_INPUTAVAILABLE);
    if (r == WAIT_FAILED)
        raise_last_error("verimex: MsgWaitForMultipleObjectsEx");
}

DWORD Loop::sleep_ms() const
{
    const std::optional<Clock::time_point> next = timers_.next_deadline();
    if (!next)
        return INFINITE;
    // INFINITE itself is excluded: a deadline further off is slept towards
    // in several steps.
    constexpr std::chrono::milliseconds longest{INFINITE - 1};
    return static_cast<DWORD>(sleep_until(*next, clock_.now(), longest).count());
}

void Loop::hand_back_quit()
{
    if (quit_held_) {
        quit_held_ = false;
        ::PostQuitMessage(static_cast<int>(quit_code_));
    }
}

void Loop::yield()
{
    // However the pass ends, a quit it took goes back to the host's loop.
    const QuitHandback handback(*this);
    bool happened = pump();
    if (!happened && idle_passes_ >= idle_passes_before_pause) {
        // Never past the next tick due.
        DWORD pause = static_cast<DWORD>(longest_pause.count());
        pause = std::min(pause, sleep_ms());
        block(pause);
        happened = pump();
    }
    // News puts the loop back to full speed: a caller that just got data
    // usually comes straight back for more.
    idle_passes_ = happened ? 0 : std::min(idle_passes_ + 1, idle_passes_before_pause);
    if (pending_)
        std::rethrow_exception(std::exchange(pending_, nullptr));
}

void Loop::wait(const SocketControl& socket)
{
    const QuitHandback handback(*this);
    // The caller looks at its socket after every pass, so news taken in by
    // the pass before (a connection made, a lookup ended, bytes received)
    // or work started since must be looked at before sleeping.
    const bool quiet_before = idle_passes_ > 0;
    bool happened = pump();
    const bool pending =
        std::any_of(sources_.begin(), sources_.end(), [](const Source* source) { return source->pending(); });
    if (!happened && quiet_before && !pending && !pending_ && owns(socket)) {
        DWORD timeout = sleep_ms();
        // Nothing due ever and no source to wake it: no sleep could end but
        // by a message. Such a wait is a host's business, and it gets the
        // yield's pause.
        if (timeout == INFINITE &&
            std::none_of(sources_.begin(), sources_.end(), [](const Source* source) { return source->event(); }))
            timeout = static_cast<DWORD>(longest_pause.count());
        block(timeout);
        happened = pump();
    }
    idle_passes_ = happened ? 0 : std::min(idle_passes_ + 1, idle_passes_before_pause);
    if (pending_)
        std::rethrow_exception(std::exchange(pending_, nullptr));
}

}  // namespace win32

std::unique_ptr<EventLoop> make_event_loop(Clock& clock)
{
    return std::make_unique<win32::Loop>(clock);
}

}  // namespace verimex::platform
