// The check threads, their queue and their stop.
#include "verimex/hosting/check_threads.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace verimex::hosting {

CheckThreads::CheckThreads(CheckFunction check, Done done, Settings settings)
    : check_(std::move(check)), done_(std::move(done)), settings_(std::move(settings)),
      limit_(std::max(settings_.threads, 1u))
{
    if (!settings_.start_all)
        return;
    std::lock_guard lock(mutex_);
    threads_.reserve(limit_);
    while (threads_.size() < limit_ && start_failure_.empty())
        start_thread();
    if (threads_.empty())
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "cannot start a check thread: " + start_failure_);
}

CheckThreads::~CheckThreads()
{
    stop(true);
    join();
}

void CheckThreads::start_thread()
{
    try {
        threads_.emplace_back([this] { work(); });
        ++alive_;
    } catch (const std::system_error& e) {
        // Fewer threads only make the work slower; none make it impossible.
        start_failure_ = e.code().message();
        limit_ = std::max<unsigned>(static_cast<unsigned>(threads_.size()), 1);
    }
}

CheckThreads::Taken CheckThreads::submit(Task task, bool urgent, std::size_t limit)
{
    std::unique_lock lock(mutex_);
    if (stopping_)
        return Taken::stopping;
    if (limit != SIZE_MAX && queue_.size() >= idle_ + limit)
        return Taken::queue_full;
    task.opts.cancel = &cancel_;
    if (urgent)
        queue_.push_front(std::move(task));
    else
        queue_.push_back(std::move(task));
    if (queue_.size() > idle_ && alive_ < limit_) {
        start_thread();
        if (threads_.empty()) {
            queue_.clear();
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "cannot start a check thread: " + start_failure_);
        }
    }
    lock.unlock();
    ready_.notify_one();
    return Taken::yes;
}

std::vector<CheckThreads::Task> CheckThreads::stop(bool cancel_running)
{
    std::vector<Task> left;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        left.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
        queue_.clear();
    }
    if (cancel_running)
        cancel_.request();
    ready_.notify_all();
    return left;
}

void CheckThreads::join()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (std::thread& t : threads)
        if (t.joinable())
            t.join();
}

std::size_t CheckThreads::queued() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::size_t CheckThreads::running() const
{
    std::lock_guard lock(mutex_);
    return running_;
}

unsigned CheckThreads::threads() const
{
    std::lock_guard lock(mutex_);
    return alive_;
}

unsigned CheckThreads::idle() const
{
    std::lock_guard lock(mutex_);
    return idle_;
}

unsigned CheckThreads::limit() const
{
    std::lock_guard lock(mutex_);
    return limit_;
}

std::string CheckThreads::start_failure() const
{
    std::lock_guard lock(mutex_);
    return start_failure_;
}

void CheckThreads::work()
{
    if (settings_.on_thread_start)
        settings_.on_thread_start();
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (stopping_ && queue_.empty())
            break;
        Task task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        // Every check starts with a lookup, and a name server's queue holds
        // only so many queries: thousands of checks started in the same
        // few milliseconds would have some of their queries dropped.
        std::chrono::steady_clock::time_point start_at{};
        if (settings_.start_spacing.count() > 0) {
            start_at = std::max(std::chrono::steady_clock::now(), last_start_ + settings_.start_spacing);
            last_start_ = start_at;
        }
        lock.unlock();
        if (start_at != std::chrono::steady_clock::time_point{})
            std::this_thread::sleep_until(start_at);
        report result = checked(check_, task.address, task.opts);
        if (cancel_.requested())
            result.cancelled = true;
        bool leave = false;
        if (result.unusable) {
            // Before the result is handed on: whoever learns of the
            // shortage finds one thread fewer already.
            lock.lock();
            leave = limit_ > 1;
            if (leave)
                --limit_;
            lock.unlock();
        }
        if (done_)
            done_(std::move(task), std::move(result));
        lock.lock();
        --running_;
        if (leave)
            break;
    }
    --alive_;
}

}  // namespace verimex::hosting
