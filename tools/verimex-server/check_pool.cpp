// The single-check threads and their queue.
#include "check_pool.h"

#include <exception>
#include <system_error>
#include <utility>

namespace verimex_server {

CheckPool::CheckPool(unsigned threads, std::size_t queue, CheckFunction check, std::function<void()> on_thread_start)
    : queue_limit_(queue), check_(std::move(check)), on_thread_start_(std::move(on_thread_start))
{
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Fewer threads only mean fewer checks at once; none at all
            // means no checks.
            if (threads_.empty()) {
                throw;
            }
            break;
        }
    }
}

CheckPool::~CheckPool()
{
    stop();
    join();
}

CheckPool::Ticket CheckPool::submit(std::string address, verimex::options settings)
{
    Ticket ticket;
    std::unique_lock lock(mutex_);
    if (stopping_) {
        ticket.refusal = Refusal::stopping;
        return ticket;
    }
    // A free thread takes a check at once, so only the checks beyond the
    // free threads count against the queue's limit.
    const std::size_t free_threads = threads_.size() - running_;
    if (queue_.size() >= free_threads + queue_limit_) {
        ticket.refusal = Refusal::queue_full;
        return ticket;
    }
    Task& task = queue_.emplace_back();
    task.address = std::move(address);
    task.settings = std::move(settings);
    ticket.result = task.promise.get_future();
    lock.unlock();
    ready_.notify_one();
    return ticket;
}

void CheckPool::stop()
{
    std::deque<Task> refused;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        refused.swap(queue_);
    }
    ready_.notify_all();
    for (Task& task : refused)
        task.promise.set_exception(std::make_exception_ptr(Stopped{}));
}

void CheckPool::join()
{
    for (std::thread& t : threads_) {
        if (t.joinable())
            t.join();
    }
}

std::size_t CheckPool::running() const
{
    std::lock_guard lock(mutex_);
    return running_;
}

std::size_t CheckPool::queued() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void CheckPool::work()
{
    if (on_thread_start_)
        on_thread_start_();
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;  // stopping, and nothing was left to take
        Task task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        try {
            task.promise.set_value(verimex::hosting::checked(check_, task.address, task.settings));
        } catch (...) {
            task.promise.set_exception(std::current_exception());
        }
        lock.lock();
        --running_;
    }
}

}  // namespace verimex_server
