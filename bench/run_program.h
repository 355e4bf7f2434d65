// Runs a program as a child process and measures it from outside: wall
// time and CPU time as the kernel reports them when the child is reaped
// (wait4), what it printed, and on request its own peak resident memory.
//
// The peak the kernel hands to wait4 (ru_maxrss) is the larger of the
// process's own and that of any child it reaped, and verimex-check reaps
// its lookup tools, whose peak can be the larger. So for memory the child
// runs under ptrace, stopped on its way out (PTRACE_EVENT_EXIT) while its
// memory still exists, and its own high-water mark is read from
// /proc/PID/status.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "platform/posix/fd.h"

extern char** environ;

namespace verimex::bench {

struct ProgramRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
    double wall_ms = 0;
    double cpu_ms = 0;            // user + system, its reaped children included
    long own_peak_rss_kib = -1;   // VmHWM at exit; only with own_peak
    bool timed_out = false;
};

struct ProgramPlan {
    std::vector<std::string> argv;       // argv[0] is the program's path
    std::vector<std::string> env;        // NAME=VALUE, replacing or adding
    std::string stdin_path = "/dev/null";
    std::chrono::seconds limit{600};     // only so a hang cannot stall the run
    bool own_peak = false;               // trace it to read its own VmHWM
};

inline std::vector<std::string> environment_with(const std::vector<std::string>& changes)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& c : changes)
            replaced = replaced || c.substr(0, c.find('=')) == name;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

// The "VmHWM:" line of /proc/PID/status, in KiB.
inline long high_water_mark_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Everything the child writes, taken from its two pipes until both end; a
// child still running at the deadline is killed.
inline void drain(int out_fd, int err_fd, ProgramRun& run, pid_t pid, Clock::time_point deadline)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open_streams = 2;
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 && !run.timed_out) {
            run.timed_out = true;
            ::kill(pid, SIGKILL);
        }
        if (::poll(fds, 2, run.timed_out ? 100 : static_cast<int>(left.count())) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
}

inline ProgramRun run_program(const ProgramPlan& plan)
{
    using platform::posix::Fd;
    int out_ends[2];
    int err_ends[2];
    if (::pipe2(out_ends, O_CLOEXEC) != 0 || ::pipe2(err_ends, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    Fd out_read(out_ends[0]), out_write(out_ends[1]);
    Fd err_read(err_ends[0]), err_write(err_ends[1]);
    Fd input(::open(plan.stdin_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input)
        throw std::system_error(errno, std::generic_category(), "open " + plan.stdin_path);

    // Everything the child needs is built before it exists: after fork in a
    // threaded program it may only make system calls.
    std::vector<std::string> words = plan.argv;
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = environment_with(plan.env);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    ProgramRun run;
    const auto start = Clock::now();
    pid_t pid = 0;
    if (plan.own_peak) {
        pid = ::fork();
        if (pid < 0)
            throw std::system_error(errno, std::generic_category(), "fork");
        if (pid == 0) {
            ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
            ::dup2(input.get(), 0);
            ::dup2(out_write.get(), 1);
            ::dup2(err_write.get(), 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input.get(), 0);
        posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
        const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::system_error(error, std::generic_category(), "posix_spawn " + plan.argv[0]);
    }
    out_write.reset();
    err_write.reset();
    input.reset();

    std::thread reader([&] { drain(out_read.get(), err_read.get(), run, pid, start + plan.limit); });

    int status = 0;
    rusage usage{};
    bool traced_started = false;
    for (;;) {
        const pid_t r = ::wait4(pid, &status, 0, &usage);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (!WIFSTOPPED(status))
            break;
        // Only a traced child stops. The first stop is its exec; the exit
        // event is the moment to read the peak; any other stop is a signal
        // on its way to the child, handed on.
        int pass_on = 0;
        if (!traced_started && WSTOPSIG(status) == SIGTRAP) {
            traced_started = true;
            ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
        } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            run.own_peak_rss_kib = high_water_mark_kib(pid);
        } else {
            pass_on = WSTOPSIG(status);
        }
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(pass_on)));
    }
    reader.join();
    run.wall_ms = ms_between(start, Clock::now());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpu_ms = timeval_ms(usage.ru_utime) + timeval_ms(usage.ru_stime);
    return run;
}

}  // namespace verimex::bench
