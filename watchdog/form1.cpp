// The host window and the watchdog's tick handler.
#include "watchdog/form1.h"

#include <chrono>
#include <stdexcept>
#include <utility>

namespace verimex {

namespace {

// The thread's window, torn down at the thread's exit. That teardown may
// run under the system's loader lock (a thread-exit destructor in a DLL),
// so the loop is told first and keeps to what is safe there.
struct ThreadForm {
    std::unique_ptr<Form1> form;
    ThreadForm() = default;
    ThreadForm(const ThreadForm&) = delete;
    ThreadForm& operator=(const ThreadForm&) = delete;
    ~ThreadForm()
    {
        if (form)
            form->thread_exiting();
    }
};

thread_local ThreadForm this_thread_form;

// The flag rises on the tick after this many.
constexpr std::int64_t ticks_allowed = 10;

}  // namespace

Form1::Form1(platform::Clock& clock)
    : loop_(platform::make_event_loop(clock))
{
    Timer1 = loop_->make_timer([this](std::int64_t elapsed) { Timer1_Timer(elapsed); });
    telnet = loop_->make_socket();
}

Form1::~Form1()
{
    // The socket and timer belong to the loop; let them go first.
    telnet.reset();
    Timer1.reset();
}

Form1& Form1::current()
{
    if (!this_thread_form.form)
        this_thread_form.form = std::make_unique<Form1>();
    return *this_thread_form.form;
}

std::unique_ptr<Form1> Form1::replace(std::unique_ptr<Form1> next)
{
    return std::exchange(this_thread_form.form, std::move(next));
}

void Form1::startwatch(std::int16_t timeout)
{
    if (timeout < 0)
        throw std::invalid_argument("verimex: timer period must not be negative (timeout " +
                                    std::to_string(timeout) + ")");
    ticks = 0;
    timer = false;
    // Computed in 32 bits at least: 600 x 100 does not fit a 16-bit value.
    Timer1->Interval(std::chrono::milliseconds(std::int32_t{timeout} * 100));
    Timer1->Enabled(true);
}

void Form1::Timer1_Timer(std::int64_t elapsed)
{
    // The same as `elapsed` single ticks: the flag rises once the count
    // passes the allowance and stays up.
    ticks += elapsed;
    if (ticks > ticks_allowed)
        timer = true;
}

std::unique_ptr<platform::Timer> Form1::make_timer(platform::TickHandler on_tick)
{
    return loop_->make_timer(std::move(on_tick));
}

void Form1::thread_exiting()
{
    loop_->thread_exiting();
}

void Form1::yield()
{
    loop_->yield();
}

void Form1::wait()
{
    loop_->wait(*telnet);
}

}  // namespace verimex
