// Runs the lookup tool: no shell, standard output on a pipe, standard input
// and error on /dev/null, no other descriptor inherited (spawn.cpp starts
// it), one read, no wait. Finished children are reaped later.
#include "platform/process.h"
#include "platform/posix/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/posix/fd.h"
#include "platform/posix/spawn.h"

#ifndef VERIMEX_LIBEXEC_FROM_LIBDIR
#define VERIMEX_LIBEXEC_FROM_LIBDIR "../libexec/verimex"
#endif

namespace verimex::platform {

namespace posix {

namespace {

constexpr const char* helper_name = "verimex-nslookup";

// A lookup child not reaped yet. Where the kernel has process descriptors
// (Linux 5.3), the child is waited for through one: a host that reaps the
// child itself (waitpid(-1)) and then gets the same number for a child of
// its own cannot lose that child's status to us, as a wait by number could
// make it. Elsewhere the number is all there is.
struct LookupChild {
    pid_t pid;
    Fd pidfd;
};

// Every thread reaps the children it started, at its own lookups and
// passes, without a lock: with thousands of checking threads, one shared
// list scanned by every pass of every thread made reaping cost more than
// the checks. Children still listed when their thread ends go to a shared
// list that any thread's pass empties.
std::atomic<std::size_t> children_count{0};  // all threads' together

std::mutex orphans_mutex;
std::vector<LookupChild> orphans;  // guarded by orphans_mutex
std::atomic<std::size_t> orphans_count{0};

struct ThreadChildren {
    std::vector<LookupChild> list;
    ThreadChildren() = default;
    ThreadChildren(const ThreadChildren&) = delete;
    ThreadChildren& operator=(const ThreadChildren&) = delete;
    ~ThreadChildren()
    {
        if (list.empty())
            return;
        std::lock_guard lock(orphans_mutex);
        for (LookupChild& child : list)
            orphans.push_back(std::move(child));
        orphans_count.store(orphans.size(), std::memory_order_relaxed);
    }
};

thread_local ThreadChildren thread_children;

std::mutex helper_mutex;
std::optional<std::string> helper_override;  // guarded by helper_mutex

void remember_child(Started&& started)
{
    thread_children.list.push_back(LookupChild{started.pid, std::move(started.pidfd)});
    children_count.fetch_add(1, std::memory_order_relaxed);
}

// Reaps one child if it has ended. Returns whether it is done with: reaped
// now, or no longer ours to wait for (the host reaped it itself).
bool reaped(const LookupChild& child)
{
    if (child.pidfd) {
        siginfo_t info{};
        int r;
        do
            r = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child.pidfd.get()), &info,
                         WEXITED | WNOHANG);
        while (r < 0 && errno == EINTR);
        // Still running: waitid succeeds and leaves si_pid 0.
        return r < 0 ? errno == ECHILD : info.si_pid != 0;
    }
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(child.pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    return r == child.pid || (r < 0 && errno == ECHILD);
}

bool executable(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The folder this library was loaded from.
std::string library_dir()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&reap_children), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    // NOTE: linked statically into a program, the name dladdr reports is
    // the program's argv[0], which has no slash when it was found on PATH.
    // Taking that as "." would run whatever helper sits in the current
    // folder; the kernel knows where the program really is.
    if (path.find('/') == std::string::npos) {
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return {};
        path.assign(self, static_cast<std::size_t>(n));
    }
    return path.substr(0, path.rfind('/'));
}

std::string find_helper()
{
    const std::string dir = library_dir();
    if (dir.empty())
        return {};
    for (const std::string& candidate :
         {dir + "/" + helper_name, dir + "/" VERIMEX_LIBEXEC_FROM_LIBDIR "/" + helper_name}) {
        if (executable(candidate))
            return candidate;
    }
    return {};
}

}  // namespace

void reap_children()
{
    if (children_count.load(std::memory_order_relaxed) == 0)
        return;
    std::vector<LookupChild>& own = thread_children.list;
    if (!own.empty()) {
        const std::size_t gone = std::erase_if(own, reaped);
        children_count.fetch_sub(gone, std::memory_order_relaxed);
    }
    if (orphans_count.load(std::memory_order_relaxed) == 0)
        return;
    // Another thread at it already will do.
    std::unique_lock lock(orphans_mutex, std::try_to_lock);
    if (!lock)
        return;
    const std::size_t gone = std::erase_if(orphans, reaped);
    orphans_count.store(orphans.size(), std::memory_order_relaxed);
    children_count.fetch_sub(gone, std::memory_order_relaxed);
}

std::size_t unreaped_children()
{
    return children_count.load(std::memory_order_relaxed);
}

std::string lookup_helper()
{
    {
        std::lock_guard lock(helper_mutex);
        if (helper_override)
            return *helper_override;
    }
    static const std::string found = find_helper();
    return found;
}

void override_lookup_helper(const char* path)
{
    std::lock_guard lock(helper_mutex);
    if (path)
        helper_override = path;
    else
        helper_override.reset();
}

}  // namespace posix

namespace {

std::vector<std::string> split_words(std::string_view line)
{
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", pos);
        if (start == std::string_view::npos)
            break;
        std::size_t end = line.find_first_of(" \t", start);
        if (end == std::string_view::npos)
            end = line.size();
        words.emplace_back(line.substr(start, end - start));
        pos = end;
    }
    return words;
}

ToolOutput failed(ToolOutput::Failure how, int error)
{
    ToolOutput out;
    out.failure = how;
    out.error = error;
    return out;
}

}  // namespace

ToolOutput run_tool(std::string_view command_line, std::size_t limit)
{
    posix::reap_children();
    const ToolFault fault = take_tool_fault();

    std::vector<std::string> words = split_words(command_line);
    if (words.empty())
        return failed(ToolOutput::Failure::start, ENOENT);
    if (words.front() == "nslookup") {
        std::string helper = posix::lookup_helper();
        if (!helper.empty())
            words.front() = std::move(helper);
    }

    if (fault.at(ToolOutput::Failure::pipe))
        return failed(ToolOutput::Failure::pipe, fault.error);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return failed(ToolOutput::Failure::pipe, errno);
    posix::Fd read_end(ends[0]);
    posix::Fd write_end(ends[1]);

    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    if (fault.at(ToolOutput::Failure::start))
        return failed(ToolOutput::Failure::start, fault.error);
    posix::Started started = posix::start_program(argv.data(), write_end.get());
    if (started.error != 0)
        return failed(ToolOutput::Failure::start, started.error);
    posix::remember_child(std::move(started));

    // Our copy of the write end must go before the read, or a child that
    // ends without writing would leave the read waiting for ever.
    write_end.reset();

    if (fault.at(ToolOutput::Failure::read))
        return failed(ToolOutput::Failure::read, fault.error);
    ToolOutput out;
    out.bytes.resize(limit);
    ssize_t n;
    do
        n = ::read(read_end.get(), out.bytes.data(), limit);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return failed(ToolOutput::Failure::read, errno);
    out.bytes.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace verimex::platform
