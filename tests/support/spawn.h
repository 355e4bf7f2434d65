// Runs a program as a child process (no shell) and collects its exit
// status, what it printed on standard output and standard error, and how
// long it took: the one spawn helper of the tests. A run can feed it
// standard input, give it a pseudo-terminal as standard error (where
// verimex-check draws its progress bar), and send it a signal once its
// output has reached a given point.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/posix/fd.h"

extern char** environ;

namespace verimex::test {

struct ToolRun {
    int status = -1;  // the exit status; -1 when it did not exit normally
    std::string out;
    std::string err;  // from a pseudo-terminal: with CR LF line ends
    bool signalled = false;  // the signal of ToolInput was sent
    std::chrono::steady_clock::duration took{};  // from the start to the exit
};

struct ToolInput {
    // Standard input; /dev/null when there is none.
    std::optional<std::string> stdin_text;
    // Standard error on a pseudo-terminal instead of a pipe.
    bool stderr_terminal = false;
    // Asked after every piece of output; the first time it says true, the
    // program gets `signal`.
    std::function<bool(const ToolRun&)> signal_when;
    int signal = SIGINT;
    // Called with the child's pid as it starts, for a test that signals it
    // itself (SIGSTOP, then SIGCONT); only until the run returns, which
    // reaps it.
    std::function<void(pid_t)> started;
    // A generous limit: it only keeps a hung child from hanging the suite.
    std::chrono::seconds limit{60};
};

// program is a path; args do not include it.
inline ToolRun run_program(const std::string& program, const std::vector<std::string>& args,
                           const ToolInput& input = {})
{
    using platform::posix::Fd;
    const auto fail = [](const char* what) { throw std::system_error(errno, std::generic_category(), what); };

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        fail("pipe2");
    Fd out_read(ends[0]), out_write(ends[1]);

    Fd err_read, err_write;
    if (input.stderr_terminal) {
        err_read = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!err_read || ::grantpt(err_read.get()) != 0 || ::unlockpt(err_read.get()) != 0)
            fail("posix_openpt");
        const char* name = ::ptsname(err_read.get());
        if (name == nullptr)
            fail("ptsname");
        err_write = Fd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!err_write)
            fail("open pty");
    } else {
        if (::pipe2(ends, O_CLOEXEC) != 0)
            fail("pipe2");
        err_read = Fd(ends[0]);
        err_write = Fd(ends[1]);
    }

    // A socket rather than a pipe for standard input: send() with
    // MSG_NOSIGNAL, so a child that stops reading early cannot end the test
    // with SIGPIPE.
    Fd in_write, in_read;
    if (input.stdin_text) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            fail("socketpair");
        in_write = Fd(ends[0]);
        in_read = Fd(ends[1]);
        ::shutdown(in_read.get(), SHUT_WR);
        ::shutdown(in_write.get(), SHUT_RD);
        if (::fcntl(in_write.get(), F_SETFL, O_NONBLOCK) != 0)
            fail("fcntl");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_read)
        posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);

    std::string name = program;
    std::vector<std::string> words = args;
    std::vector<char*> argv{name.data()};
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawn_error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0)
        throw std::system_error(spawn_error, std::generic_category(), "posix_spawn " + program);
    out_write.reset();
    err_write.reset();
    in_read.reset();
    if (input.started)
        input.started(pid);

    ToolRun run;
    std::string_view to_send = input.stdin_text ? std::string_view(*input.stdin_text) : std::string_view();
    if (in_write && to_send.empty())
        in_write.reset();
    const auto deadline = std::chrono::steady_clock::now() + input.limit;
    pollfd fds[3] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}, {in_write.get(), POLLOUT, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open_streams = 2;
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        fds[2].fd = in_write ? in_write.get() : -1;
        const int n = ::poll(fds, 3, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("poll");
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t sent = ::send(in_write.get(), to_send.data(), to_send.size(), MSG_NOSIGNAL);
            if (sent > 0)
                to_send.remove_prefix(static_cast<std::size_t>(sent));
            if ((sent < 0 && errno != EAGAIN && errno != EINTR) || to_send.empty())
                in_write.reset();  // all sent, or the child no longer reads
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
                if (!run.signalled && input.signal_when && input.signal_when(run)) {
                    ::kill(pid, input.signal);
                    run.signalled = true;
                }
            } else if (got == 0 || errno != EINTR) {
                // A pseudo-terminal reports EIO once the child's end is closed.
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }

    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run.took = std::chrono::steady_clock::now() - start;
    if (WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    return run;
}

#ifdef VERIMEX_BIN_DIR
inline std::string verimex_check_path()
{
    return std::string(VERIMEX_BIN_DIR) + "/verimex-check";
}

inline ToolRun run_verimex_check(const std::vector<std::string>& args, const ToolInput& input = {})
{
    return run_program(verimex_check_path(), args, input);
}
#endif

}  // namespace verimex::test
