// The platform seam's conformance suite: what every case needs, written
// once for both platforms. The cases (socket_cases.cpp, timer_cases.cpp,
// lookup_cases.cpp) are compiled natively on Linux (ctest conformance_test,
// inside tests/netns/run) and with mingw-w64 into the Windows test client
// that tests/wine/run runs under Wine, so both halves answer the same list.
// Names come from seam.zones, served on both.
//
// A case that cannot apply to one platform says so with GTEST_SKIP and the
// reason, so the list stays the same.
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
#include <vector>

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

// An owned socket of the test's own (the peer's side of a connection).
class PeerSocket {
public:
    PeerSocket() = default;
    explicit PeerSocket(NativeSocket s) : s_(s) {}
    PeerSocket(PeerSocket&& other) noexcept;
    PeerSocket& operator=(PeerSocket&& other) noexcept;
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;
    ~PeerSocket() { reset(); }

    NativeSocket get() const { return s_; }
    explicit operator bool() const { return s_ != no_socket; }
    void reset();

    // Sends all of data (blocking); false once the connection refuses.
    bool send_all(std::string_view data) const;
    // Waits up to `wait` for bytes and returns what came; empty when
    // nothing did. *closed tells whether the other side has closed (an
    // orderly end of stream, or a reset).
    std::string receive(std::chrono::milliseconds wait, bool* closed = nullptr) const;
    // Ends the connection with a reset instead of an orderly close.
    void reset_connection();
    // Shuts both directions down, which also wakes a thread blocked in
    // send_all on it.
    void shut_down() const;

private:
    NativeSocket s_ = no_socket;
};

// A TCP listener on a loopback address (IPv4 or IPv6); port 0 picks a free
// one. The kernel completes connections without an accept.
class Listener {
public:
    explicit Listener(const char* address, int port = 0);
    int port() const { return port_; }
    // Whether a connection waits to be accepted.
    bool has_caller() const;
    // Takes the next connection, waiting up to five seconds; empty if none.
    PeerSocket accept() const;

private:
    PeerSocket s_;
    int port_ = 0;
};

// A child process started by the test itself, with every inheritable
// descriptor or handle of ours inherited, as a careless host would start
// one. It runs this test program again in one of the child modes below.
class Child {
public:
    explicit Child(const std::vector<std::string>& arguments);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();  // kills it if it still runs
    // Waits up to `wait` for it to end.
    bool ended(std::chrono::milliseconds wait);

private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
#else
    pid_t pid_ = -1;
    bool reaped_ = false;
#endif
};

// The command line that runs this program in a child mode, as the lookup
// runner takes it (the program's path first, quoted where blanks need it).
std::string self_command(const std::string& arguments);

// This program as a child (call first in main): returns the exit code for a
// child mode, or -1 when the arguments ask for none. Modes:
//   --child-print COUNT HEX   writes COUNT bytes of value HEX in one write
//   --child-print-text TEXT   writes TEXT, %XX standing for the byte XX
//   --child-flood BYTES FILE  writes BYTES bytes in small pieces, stopping
//                             at the first failed write, then creates FILE
//   --child-sleep MS          sleeps, then ends
//   --child-args ARG...       writes each ARG as the command line was split
//                             for it (on Windows by the C run-time, the
//                             rules Windows tools share), each followed by
//                             a line feed
int child_main(int argc, char** argv);

// A fresh path in the temporary folder that does not exist yet.
std::string temp_path(std::string_view name);
bool file_exists(const std::string& path);

// Bytes of memory this process has committed (private, not shared).
std::size_t process_memory();

// Open descriptors (POSIX) or handles (Windows) of this process.
std::size_t open_handles();

// Whether this runs under Wine rather than Windows itself (false natively).
bool under_wine();

// Whether the private network of tests/netns/run is around (natively, or
// Wine started inside it).
bool in_private_network();

}  // namespace seam
