// The connection threads and their bounded queue.
#include "connections.h"

#include "head_limit.h"

#include <system_error>
#include <utility>

namespace verimex_server {

ConnectionThreads::ConnectionThreads(unsigned threads, std::size_t pending_limit, std::function<void()> after_each)
    : pending_limit_(pending_limit), after_each_(std::move(after_each))
{
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            if (threads_.empty())
                throw;
            break;
        }
    }
}

ConnectionThreads::~ConnectionThreads()
{
    shutdown();
}

void ConnectionThreads::enqueue(std::function<void()> fn)
{
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return released_ || pending_.size() < pending_limit_; });
    pending_.push_back(std::move(fn));
    lock.unlock();
    work_ready_.notify_one();
}

void ConnectionThreads::shutdown()
{
    {
        std::lock_guard lock(mutex_);
        if (shutting_down_ && threads_.empty())
            return;
        shutting_down_ = true;
        released_ = true;
    }
    work_ready_.notify_all();
    room_.notify_all();
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
}

void ConnectionThreads::release()
{
    // Notified under the lock: the caller is another thread, and once the
    // lock is free the server's loop may end and destroy this object.
    std::lock_guard lock(mutex_);
    released_ = true;
    room_.notify_all();
}

void ConnectionThreads::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return shutting_down_ || !pending_.empty(); });
        if (pending_.empty())
            return;
        // Every accepted connection is served, also while shutting down:
        // that is what closes its socket (the server, stopped, answers no
        // further request on it).
        std::function<void()> fn = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        room_.notify_one();
        begin_head();
        fn();
        end_head();
        fn = nullptr;
        if (after_each_)
            after_each_();
        lock.lock();
    }
}

}  // namespace verimex_server
