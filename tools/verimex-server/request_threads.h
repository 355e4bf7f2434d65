// The threads that run request handlers. A handler may block (a single
// check waits for its result, an export for a slow client), so handlers
// run here, never on the threads that read and write connections; a
// request beyond the threads waits in a queue of bounded length, and one
// beyond that is refused at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace verimex_server {

class RequestThreads final {
public:
    RequestThreads(unsigned threads, std::size_t pending_limit);
    ~RequestThreads();
    RequestThreads(const RequestThreads&) = delete;
    RequestThreads& operator=(const RequestThreads&) = delete;

    // False when every thread is busy and the queue is full (or the
    // threads are stopping): fn is not run.
    bool submit(std::function<void()> fn);
    // Runs what is queued, then joins the threads.
    void shutdown();

private:
    void work();

    const std::size_t pending_limit_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<std::function<void()>> pending_;  // guarded by mutex_
    unsigned idle_ = 0;                           // guarded by mutex_
    bool shutting_down_ = false;                  // guarded by mutex_
    std::vector<std::thread> threads_;
};

}  // namespace verimex_server
