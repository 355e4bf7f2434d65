// The platform seam's conformance suite, compiled natively and into the Windows
// test client; a case that cannot apply to one platform says why with GTEST_SKIP.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <sys/types.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace seam {

using namespace std::chrono_literals;

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif
inline constexpr NativeSocket no_socket = static_cast<NativeSocket>(-1);

// The test's own end of a connection (or a listener).
class PeerSocket {
public:
    explicit PeerSocket(NativeSocket s = no_socket) : s_(s) {}
    PeerSocket(PeerSocket&& other) noexcept : s_(other.s_) { other.s_ = no_socket; }
    PeerSocket& operator=(PeerSocket&& other) noexcept  // ours is closed with `other`
    {
        std::swap(s_, other.s_);
        return *this;
    }
    ~PeerSocket() { reset(); }

    NativeSocket get() const { return s_; }
    explicit operator bool() const { return s_ != no_socket; }
    void reset(bool abortive = false);  // abortive: the close is a reset
    bool send_all(std::string_view data) const;
    // What comes within `wait`; *closed tells whether the stream ended.
    std::string receive(std::chrono::milliseconds wait, bool* closed = nullptr) const;
    void shut_down() const;  // also wakes a thread blocked in send_all

private:
    NativeSocket s_;
};

// A TCP listener on a loopback address (Winsock started for it).
class Listener {
public:
    explicit Listener(const char* address);
    int port() const { return port_; }
    bool has_caller() const;
    PeerSocket accept() const;  // waits up to five seconds

private:
    PeerSocket s_;
    int port_ = 0;
};

// This program sleeping for five seconds, inheriting every inheritable
// descriptor or handle of ours, as a careless host would start a child.
class SleepingChild {
public:
    SleepingChild();
    ~SleepingChild();  // kills it
    bool running();

private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
#else
    pid_t pid_ = -1;
    bool reaped_ = false;
#endif
};

// The command line that runs this program with `arguments`.
std::string self_command(const std::string& arguments);

// Call first in main: the exit code of a child mode, or -1 for none.
//   --child-print [TEXT]  writes TEXT in one write, %XX for the byte XX
//   --child-args ARG...   writes each ARG as it was split, with a line feed
//   --child-flood FILE    writes until a write fails, then creates FILE (whole
//                         when it appears)
//   --child-sleep         sleeps five seconds
int child_main(int argc, char** argv);

std::size_t process_memory();  // private committed memory, in bytes
std::size_t open_handles();    // descriptors (POSIX) or handles (Windows)
bool under_wine();

}  // namespace seam
