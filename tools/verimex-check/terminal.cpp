// Terminal and signal handling of verimex-check, for POSIX and Windows.
#include "terminal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <system_error>

#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>
#else
#  include <cerrno>
#  include <pthread.h>
#  include <signal.h>
#  include <unistd.h>
#endif

namespace verimex_check {

namespace {

// Written from a signal handler: a lock-free atomic is the one kind of
// object (besides volatile sig_atomic_t) a handler may touch.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

void note(int signal_number)
{
    int none = 0;
    caught.compare_exchange_strong(none, signal_number);
}

#if !defined(_WIN32)
extern "C" void on_interrupt(int signal_number)
{
    note(signal_number);
}
#endif

}  // namespace

void put(std::FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}

#if defined(_WIN32)

bool is_terminal(std::FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

namespace {

BOOL WINAPI on_console_event(DWORD event)
{
    // Windows runs this on a thread of its own; Ctrl-Break and closing the
    // console count as SIGTERM would.
    note(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
    return TRUE;
}

}  // namespace

void catch_interrupts()
{
    if (!SetConsoleCtrlHandler(on_console_event, TRUE))
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "SetConsoleCtrlHandler");
}

#else

bool is_terminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

void catch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: a write of results that the signal lands in goes on
    // rather than failing with EINTR and losing output.
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGINT, SIGTERM}) {
        if (::sigaction(signal_number, &action, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(), "sigaction");
    }
}

#endif

int interrupt_signal()
{
    return caught.load();
}

}  // namespace verimex_check
