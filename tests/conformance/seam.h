// The platform seam's conformance suite: what every case needs, once for
// both platforms. The cases are compiled natively (conformance_test, inside
// tests/netns/run) and with mingw-w64 into the Windows test client that
// tests/wine/run runs under Wine, so both answer the same list; a case that
// cannot apply to one platform says why with GTEST_SKIP. Names come from
// seam.zones, served on both.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace seam {

using namespace std::chrono_literals;

#ifdef _WIN32
using NativeSocket = SOCKET;
inline constexpr NativeSocket no_socket = INVALID_SOCKET;
#else
using NativeSocket = int;
inline constexpr NativeSocket no_socket = -1;
#endif

// Winsock started for the test's own sockets (a no-op elsewhere).
class NetworkSession {
public:
    NetworkSession();
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;
    ~NetworkSession();
};

// The test's own end of a connection.
class PeerSocket {
public:
    PeerSocket() = default;
    explicit PeerSocket(NativeSocket s) : s_(s) {}
    PeerSocket(PeerSocket&& other) noexcept;
    PeerSocket& operator=(PeerSocket&& other) noexcept;  // no copies
    ~PeerSocket() { reset(); }

    NativeSocket get() const { return s_; }
    explicit operator bool() const { return s_ != no_socket; }
    void reset();

    bool send_all(std::string_view data) const;
    // What comes within `wait` (empty if nothing); *closed tells whether
    // the other side ended the stream (closed or reset).
    std::string receive(std::chrono::milliseconds wait, bool* closed = nullptr) const;
    void reset_connection();
    // Also wakes a thread blocked in send_all.
    void shut_down() const;

private:
    NativeSocket s_ = no_socket;
};

// A TCP listener on a loopback address; the kernel completes connections
// without an accept.
class Listener {
public:
    explicit Listener(const char* address, int port = 0);
    int port() const { return port_; }
    bool has_caller() const;
    // Waits up to five seconds; empty if nobody called.
    PeerSocket accept() const;

private:
    PeerSocket s_;
    int port_ = 0;
};

// This program in a child mode, started with every inheritable descriptor
// or handle of ours inherited, as a careless host would start one.
class Child {
public:
    explicit Child(const std::string& arguments);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();  // kills it if it still runs
    bool running();

private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
#else
    pid_t pid_ = -1;
    bool reaped_ = false;
#endif
};

// The command line that runs this program with `arguments`, as the lookup
// runner takes it.
std::string self_command(const std::string& arguments);

// This program as a child (call first in main): the exit code for a child
// mode, or -1 when the arguments ask for none. Modes:
//   --child-print [TEXT]      writes TEXT in one write, %XX for the byte XX
//   --child-flood BYTES FILE  writes BYTES bytes in small pieces until a
//                             write fails, then creates FILE
//   --child-sleep MS
//   --child-args ARG...       writes each ARG as the command line was split
//                             for it (on Windows by the C run-time, as
//                             Windows tools split it), each with a line feed
int child_main(int argc, char** argv);

// Private committed memory of this process, in bytes.
std::size_t process_memory();
// Open descriptors (POSIX) or handles (Windows) of this process.
std::size_t open_handles();
// Whether this runs under Wine (false natively).
bool under_wine();
// Whether the private network of tests/netns/run is around.
bool in_private_network();

}  // namespace seam
