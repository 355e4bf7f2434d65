// The helpers of seam.h, once per platform where the system calls differ.
#include "seam.h"

#ifdef _WIN32
#include <psapi.h>
#else
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace seam {

namespace {

bool readable(NativeSocket s, int ms)
{
#ifdef _WIN32
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, ms) == 1;
#else
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
#endif
}

std::string self_path()
{
#ifdef _WIN32
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
#else
    return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
}

// Writes to standard output in one write; false if it failed.
bool write_out(const std::string& bytes)
{
#ifdef _WIN32
    DWORD written = 0;
    return ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) && written == bytes.size();
#else
    return ::write(1, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
#endif
}

}  // namespace

void PeerSocket::reset(bool abortive)
{
    if (s_ == no_socket)
        return;
    if (abortive) {  // lingering for zero seconds makes the close a reset
        const linger no_linger{1, 0};
        ::setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&no_linger), sizeof no_linger);
    }
#ifdef _WIN32
    ::closesocket(s_);
#else
    ::close(s_);
#endif
    s_ = no_socket;
}

bool PeerSocket::send_all(std::string_view data) const
{
    while (!data.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 16));
#ifdef _WIN32
        const int n = ::send(s_, data.data(), chunk, 0);
#else
        const auto n = ::send(s_, data.data(), static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
#endif
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string PeerSocket::receive(std::chrono::milliseconds wait, bool* closed) const
{
    if (closed)
        *closed = false;
    std::string got;
    const auto give_up = std::chrono::steady_clock::now() + wait;
    while (got.empty()) {  // looked at once at least, however short the wait
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
        if (!readable(s_, static_cast<int>(std::max<long long>(left.count(), 0))))
            break;
        char buffer[4096];
        const auto n = ::recv(s_, buffer, static_cast<int>(sizeof buffer), 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void PeerSocket::shut_down() const
{
    ::shutdown(s_, 2);  // SD_BOTH, SHUT_RDWR
}

Listener::Listener(const char* address)
{
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof *v6;
    }
#ifdef _WIN32
    // Not inheritable: only the sockets under test are at issue.
    s_ = PeerSocket(::WSASocketW(storage.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
#else
    s_ = PeerSocket(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
#endif
    if (length == 0 || !s_ || ::bind(s_.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(s_.get(), 8) != 0 || ::getsockname(s_.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        throw std::runtime_error(std::string("Listener: cannot listen on ") + address);
    port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
}

bool Listener::has_caller() const
{
    return readable(s_.get(), 0);
}

PeerSocket Listener::accept() const
{
    if (!readable(s_.get(), 5000))
        return PeerSocket();
#ifdef _WIN32
    PeerSocket peer(::accept(s_.get(), nullptr, nullptr));
    if (peer)
        ::SetHandleInformation(reinterpret_cast<HANDLE>(peer.get()), HANDLE_FLAG_INHERIT, 0);
    return peer;
#else
    return PeerSocket(::accept4(s_.get(), nullptr, nullptr, SOCK_CLOEXEC));
#endif
}

std::string self_command(const std::string& arguments)
{
#ifdef _WIN32
    // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on a chain of +.
    std::string command = "\"";
    command += self_path();
    command += "\" ";
#else
    // The runner splits at blanks with no quoting: the build folder has none.
    std::string command = self_path();
    command += ' ';
#endif
    command += arguments;
    return command;
}

#ifdef _WIN32
SleepingChild::SleepingChild()
{
    std::string command = self_command("--child-sleep");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        throw std::runtime_error("CreateProcessA failed: " + std::to_string(::GetLastError()));
    ::CloseHandle(pi.hThread);
    process_ = pi.hProcess;
}

SleepingChild::~SleepingChild()
{
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 5000);
    ::CloseHandle(process_);
}

bool SleepingChild::running()
{
    return ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}
#else
SleepingChild::SleepingChild()
{
    std::string path = self_path(), mode = "--child-sleep";
    char* argv[] = {path.data(), mode.data(), nullptr};
    // No file actions: the child gets every descriptor not marked close-on-exec.
    if (const int error = ::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, environ))
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(error));
}

SleepingChild::~SleepingChild()
{
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool SleepingChild::running()
{
    reaped_ = reaped_ || ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    return !reaped_;
}
#endif

int child_main(int argc, char** argv)
{
    if (argc < 2 || std::strncmp(argv[1], "--child-", 8) != 0)
        return -1;
    const std::string mode = argv[1];
    std::string bytes;
    if (mode == "--child-print" && argc <= 3) {
        for (const char* p = argc == 3 ? argv[2] : ""; *p; ++p) {
            if (p[0] == '%' && p[1] && p[2]) {
                const char hex[3] = {p[1], p[2], 0};
                bytes += static_cast<char>(std::strtoul(hex, nullptr, 16));
                p += 2;
            } else {
                bytes += *p;
            }
        }
    } else if (mode == "--child-args") {
        for (int i = 2; i < argc; ++i)
            bytes += std::string(argv[i]) + "\n";
    } else if (mode == "--child-flood" && argc == 3) {
#ifndef _WIN32
        std::signal(SIGPIPE, SIG_IGN);  // a failed write is what it waits for
#endif
        const std::string piece(512, 'x');
        while (write_out(piece)) {
        }
        // Written under another name and renamed once closed: the test
        // removes FILE as soon as it sees it, and Windows refuses to remove
        // a file still open.
        const std::string part = std::string(argv[2]) + ".part";
        std::ofstream(part) << "a write failed\n";
        std::filesystem::rename(part, argv[2]);
        return 0;
    } else if (mode == "--child-sleep") {
        std::this_thread::sleep_for(5s);
    } else {
        return 2;
    }
    return bytes.empty() || write_out(bytes) ? 0 : 1;
}

std::size_t process_memory()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters);
    return counters.PrivateUsage;
#else
    // Resident pages that are the process's own (resident minus shared).
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0, shared = 0;
    statm >> size >> resident >> shared;
    return (resident - shared) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
#endif
}

std::size_t open_handles()
{
#ifdef _WIN32
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
#else
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
#endif
}

bool under_wine()
{
#ifdef _WIN32
    // Wine's ntdll exports its version; Windows' has no such function.
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace seam
