// The request threads and their bounded queue.
#include "request_threads.h"

#include <system_error>
#include <utility>

namespace verimex_server {

RequestThreads::RequestThreads(unsigned threads, std::size_t pending_limit) : pending_limit_(pending_limit)
{
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Fewer threads than asked for (a low limit on processes)
            // still serve; none at all cannot.
            if (threads_.empty())
                throw;
            break;
        }
    }
}

RequestThreads::~RequestThreads()
{
    shutdown();
}

bool RequestThreads::submit(std::function<void()> fn)
{
    {
        std::lock_guard lock(mutex_);
        if (shutting_down_ || pending_.size() >= idle_ + pending_limit_)
            return false;
        pending_.push_back(std::move(fn));
    }
    work_ready_.notify_one();
    return true;
}

void RequestThreads::shutdown()
{
    {
        std::lock_guard lock(mutex_);
        shutting_down_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
    threads_.clear();
}

void RequestThreads::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        work_ready_.wait(lock, [&] { return shutting_down_ || !pending_.empty(); });
        --idle_;
        if (pending_.empty())
            return;
        std::function<void()> fn = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        fn();
        fn = nullptr;
        lock.lock();
    }
}

}  // namespace verimex_server
