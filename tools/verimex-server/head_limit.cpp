// The counting recv() behind head_limit.h.
#include "head_limit.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace verimex_server {

namespace {

thread_local bool reading_head = false;
thread_local std::size_t head_bytes = 0;

}  // namespace

void begin_head() noexcept
{
    reading_head = true;
    head_bytes = 0;
}

void end_head() noexcept
{
    reading_head = false;
}

}  // namespace verimex_server

// Takes the place of the C library's recv() for the whole program (the
// executable's definition comes first in symbol lookup, also for the calls
// from libcpp-httplib.so); the system call itself is made directly.
extern "C" __attribute__((visibility("default"))) ssize_t recv(int fd, void* buffer, size_t length, int flags)
{
    const long got = ::syscall(SYS_recvfrom, fd, buffer, length, flags, nullptr, nullptr);
    if (got > 0 && verimex_server::reading_head) {
        verimex_server::head_bytes += static_cast<std::size_t>(got);
        if (verimex_server::head_bytes > verimex_server::max_head_bytes) {
            errno = ECONNRESET;
            return -1;
        }
    }
    return static_cast<ssize_t>(got);
}
