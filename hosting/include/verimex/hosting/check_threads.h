// The one engine of check threads: the in-order bulk run, the job runner
// and the server's check pool all run their checks here.
//
// The component serves one check at a time per thread (each thread has its
// own host window, timer and socket), so each thread runs one check at a
// time, start to end, and takes the next task from one queue. Threads are
// started here and nowhere else: all at once or as work asks for them, with
// small stacks, the stop signals kept away, and fewer than asked when the
// system gives fewer (the run goes on with what it has). A stop ends every
// wait at once, gives the queued tasks back, and (when asked to) cancels the
// checks in flight through the engine's verimex::cancellation, so that the
// threads can be joined within moments rather than a time limit.
//
// A group of tasks (addresses of one domain) is checked in one call of the
// check for many, in shared SMTP sessions, on one thread; each of its tasks
// still comes back to Done on its own.
//
// A check that could not be made for want of file descriptors
// (report::unusable) costs its thread: the thread ends once it has handed
// the result on, so fewer checks hold descriptors from then on. The last
// thread stays.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "verimex/hosting/check.h"
#include "verimex/verify.h"

namespace verimex::hosting {

class CheckThreads {
public:
    struct Task {
        std::string address;
        options opts;          // its cancel is the engine's own
        std::uint64_t id = 0;  // the caller's: a list index, a ticket
        // Whether its start waits its turn of start_spacing (a group's
        // first task says it for the group): false for one that shares
        // the lookups of a domain already asked about.
        bool spaced = true;
    };

    // Called on the check's thread once a check is over, without the
    // engine's lock. A check a stop cancelled comes here too, with
    // report::cancelled set: it says nothing of the address, and the
    // caller gives the task back rather than keep its result.
    using Done = std::function<void(Task&& task, report&& result)>;

    struct Settings {
        unsigned threads = 1;  // at most this many
        // All threads at construction, or one more whenever a task finds
        // none idle.
        bool start_all = false;
        // With start_all, only this many at construction (0: all); the
        // rest start as tasks find none idle.
        unsigned start_first = 0;
        // The least time between the starts of two checks.
        std::chrono::microseconds start_spacing{0};
        // Runs first on every thread.
        std::function<void()> on_thread_start;
        // Checks a group in one call; without it a group's addresses are
        // checked one after another with the check for one.
        CheckManyFunction check_many;
    };

    // Throws std::system_error when not a single thread could be started
    // with start_all.
    CheckThreads(CheckFunction check, Done done, Settings settings);
    // Stops (cancelling the checks in flight) and joins.
    ~CheckThreads();
    CheckThreads(const CheckThreads&) = delete;
    CheckThreads& operator=(const CheckThreads&) = delete;

    enum class Taken { yes, queue_full, stopping };
    // Queues a task; first in line when urgent. With a limit, refused when
    // more than `limit` tasks would wait beyond the idle threads. Starts a
    // thread when none is idle and the engine has room for one; throws
    // std::system_error only when no thread at all could be started.
    Taken submit(Task task, bool urgent = false, std::size_t limit = SIZE_MAX);
    // Queues tasks to be checked together, with the first one's options
    // (the same for all of them), as one entry of the queue.
    Taken submit_group(std::vector<Task> group, bool urgent = false);

    // Ends the work: no further check starts, waits end, and the queued
    // tasks are returned. With cancel_running the checks in flight are
    // cancelled and end within moments; without, they run to their end.
    std::vector<Task> stop(bool cancel_running = true);
    // Waits for every thread to end; after stop().
    void join();

    std::size_t queued() const;  // entries: single tasks and groups
    std::size_t running() const;
    unsigned threads() const;  // started and not ended
    unsigned idle() const;     // of them, waiting for a task
    unsigned limit() const;    // at most this many, after the shortages
    // Why fewer threads than asked could be started; empty when all were.
    std::string start_failure() const;

private:
    void start_thread();  // with mutex_ held
    Taken queue(std::vector<Task> group, bool urgent, std::size_t limit);
    std::vector<report> run_checks(const std::vector<Task>& group);
    void work();

    const CheckFunction check_;
    const Done done_;
    const Settings settings_;
    cancellation cancel_;

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    // Guarded by mutex_.
    std::deque<std::vector<Task>> queue_;
    std::size_t running_ = 0;
    unsigned idle_ = 0;
    unsigned alive_ = 0;
    unsigned limit_ = 0;
    bool stopping_ = false;
    std::string start_failure_;
    std::chrono::steady_clock::time_point last_start_{};
    std::vector<std::thread> threads_;
};

}  // namespace verimex::hosting
