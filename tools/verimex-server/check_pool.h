// The single checks of /v1/check: a bounded queue in front of the check
// threads.
//
// A request that finds every thread busy waits in the queue; one that finds
// the queue full is turned away at once rather than held: that is what
// keeps a burst of requests from growing the server's memory without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "verimex/hosting/check.h"
#include "verimex/hosting/check_threads.h"

namespace verimex_server {

using verimex::hosting::CheckFunction;

class CheckPool {
public:
    // Why a check was not run.
    enum class Refusal { queue_full, stopping };

    // Called once with the check's result, on the thread that ran it; or
    // with nothing, when stop() refused the check while it was queued.
    using Done = std::function<void(std::optional<verimex::report>)>;

    // threads: checks that run at once; queue: checks that may wait for a
    // thread. on_thread_start runs first on each thread (signals are kept
    // away from them).
    CheckPool(unsigned threads, std::size_t queue, CheckFunction check, std::function<void()> on_thread_start = {});
    CheckPool(const CheckPool&) = delete;
    CheckPool& operator=(const CheckPool&) = delete;
    // Stops and joins.
    ~CheckPool();

    // Takes a check unless the queue is full or the pool is stopping (then
    // why, and done is not called).
    std::optional<Refusal> submit(std::string address, verimex::options settings, Done done);

    // Takes no more checks; the queued ones are refused (done gets
    // nothing), the running ones go on to their end, so that their clients
    // get their answers. Returns at once.
    void stop();
    // Waits for the running checks to end; after stop() only.
    void join();

    std::size_t running() const { return threads_.running(); }
    std::size_t queued() const { return threads_.queued(); }
    unsigned threads() const { return threads_.threads(); }
    std::size_t queue_limit() const { return queue_limit_; }

private:
    void finished(std::uint64_t id, verimex::report&& result);

    const std::size_t queue_limit_;
    std::mutex mutex_;
    std::uint64_t next_id_ = 0;                                   // guarded by mutex_
    std::map<std::uint64_t, Done> waiting_;  // guarded by mutex_
    // Last, so that it goes first: its threads call the callbacks above.
    verimex::hosting::CheckThreads threads_;
};

}  // namespace verimex_server
