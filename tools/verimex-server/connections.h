// The threads that serve HTTP connections, in place of cpp-httplib's own
// pool, whose queue of accepted connections has no limit.
//
// Each connection is served by one thread from its first byte to its
// close. Accepted connections wait for a thread in a queue of bounded
// length; when that is full the accepting thread waits too, so further
// clients wait in the kernel's listen queue instead of in our memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace verimex_server {

class ConnectionThreads final : public httplib::TaskQueue {
public:
    // after_each runs on the connection's thread once it is closed.
    ConnectionThreads(unsigned threads, std::size_t pending_limit, std::function<void()> after_each = {});
    ~ConnectionThreads() override;

    void enqueue(std::function<void()> fn) override;
    // Serves what is queued, then joins the threads (cpp-httplib calls it
    // once its accepting loop has ended).
    void shutdown() override;

    // Lets an enqueue that waits for room go on at once: called when the
    // server stops, so that its accepting loop can see that.
    void release();

private:
    void work();

    const std::size_t pending_limit_;
    const std::function<void()> after_each_;
    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable room_;
    std::deque<std::function<void()>> pending_;  // guarded by mutex_
    bool released_ = false;                       // guarded by mutex_
    bool shutting_down_ = false;                  // guarded by mutex_
    std::vector<std::thread> threads_;
};

}  // namespace verimex_server
