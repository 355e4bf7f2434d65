// Terminal and signal handling of verimex-check, for POSIX and Windows.
#include "terminal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>

#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>
#else
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

namespace {

std::atomic<int> write_failure{0};

void note_write_failure(std::FILE* stream)
{
    if (stream != stdout)
        return;
    int none = 0;
    // A failing stream does not always set errno (a short write); EIO then.
    write_failure.compare_exchange_strong(none, errno != 0 ? errno : EIO);
}

}  // namespace

void put(std::FILE* stream, const std::string& text)
{
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size())
        note_write_failure(stream);
}

void flush(std::FILE* stream)
{
    errno = 0;
    if (std::fflush(stream) != 0)
        note_write_failure(stream);
}

int output_error()
{
    return write_failure.load();
}

bool output_lost()
{
    flush(stdout);
    const int error = output_error();
    if (error == 0)
        return false;
    put(stderr, "verimex-check: cannot write the output: " + std::generic_category().message(error) + " (errno " +
                    std::to_string(error) + ")\n");
    return true;
}

#if defined(_WIN32)

bool is_terminal(std::FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

void ignore_broken_pipe()
{
    // No SIGPIPE on Windows: a write to a closed pipe fails by itself.
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

void ignore_broken_pipe()
{
    // The lookup tools are started with every signal at its default, so
    // they still die of SIGPIPE as they should.
    ::signal(SIGPIPE, SIG_IGN);
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
