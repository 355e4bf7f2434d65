// The threads that run single checks for /v1/check, and the bounded queue
// in front of them.
//
// The component serves one check at a time per thread (each thread has its
// own host window, timer and socket), so each of these threads runs one
// check at a time, start to end. A request that finds every thread busy
// waits in the queue; one that finds the queue full is turned away at once
// rather than held: that is what keeps a burst of requests from growing the
// server's memory without end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "verimex/hosting/check.h"

namespace verimex_server {

using verimex::hosting::CheckFunction;

class CheckPool {
public:
    // Why a check was not run.
    enum class Refusal { queue_full, stopping };

    struct Ticket {
        // Set when the check was taken: its result comes through here.
        std::optional<std::future<verimex::report>> result;
        Refusal refusal = Refusal::queue_full;
    };

    // threads: checks that run at once; queue: checks that may wait for a
    // thread. on_thread_start runs first on each thread (signals are kept
    // away from them).
    CheckPool(unsigned threads, std::size_t queue, CheckFunction check, std::function<void()> on_thread_start = {});
    CheckPool(const CheckPool&) = delete;
    CheckPool& operator=(const CheckPool&) = delete;
    // Stops and joins.
    ~CheckPool();

    // Takes a check unless the queue is full or the pool is stopping.
    Ticket submit(std::string address, verimex::options settings);

    // Takes no more checks; the queued ones are refused (their futures end
    // with CheckPool::Stopped), the running ones go on. Returns at once.
    void stop();
    // Waits for the running checks to end; after stop() only.
    void join();

    std::size_t running() const;
    std::size_t queued() const;
    unsigned threads() const { return static_cast<unsigned>(threads_.size()); }
    std::size_t queue_limit() const { return queue_limit_; }

    // The exception a queued check's future holds when stop() refused it.
    struct Stopped {};

private:
    struct Task {
        std::string address;
        verimex::options settings;
        std::promise<verimex::report> promise;
    };

    void work();

    const std::size_t queue_limit_;
    const CheckFunction check_;
    const std::function<void()> on_thread_start_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> queue_;  // guarded by mutex_
    std::size_t running_ = 0;  // guarded by mutex_
    bool stopping_ = false;    // guarded by mutex_
    std::vector<std::thread> threads_;
};

}  // namespace verimex_server
