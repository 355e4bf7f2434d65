// Runs the built verimex-check as a child process and collects its exit
// status and what it printed on standard output and standard error.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/fd.h"

extern char** environ;

namespace verimex::test {

struct ToolRun {
    int status = -1;  // the exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
    bool timed_out = false;
};

inline std::string verimex_check_path()
{
    return std::string(VERIMEX_BIN_DIR) + "/verimex-check";
}

// A generous limit: it only keeps a hung child from hanging the suite.
inline ToolRun run_verimex_check(const std::vector<std::string>& args,
                                 std::chrono::seconds limit = std::chrono::seconds(60))
{
    using platform::posix::Fd;
    int out_ends[2];
    int err_ends[2];
    if (::pipe2(out_ends, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    Fd out_read(out_ends[0]), out_write(out_ends[1]);
    if (::pipe2(err_ends, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    Fd err_read(err_ends[0]), err_write(err_ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);

    std::string program = verimex_check_path();
    std::vector<std::string> words = args;
    std::vector<char*> argv{program.data()};
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawn_error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0)
        throw std::system_error(spawn_error, std::generic_category(), "posix_spawn " + program);
    out_write.reset();
    err_write.reset();

    ToolRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open_streams = 2;
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        const int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::system_error(errno, std::generic_category(), "poll");
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }

    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    return run;
}

}  // namespace verimex::test
