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
    const unsigned first = settings_.start_first == 0 ? limit_ : std::min(settings_.start_first, limit_);
    while (threads_.size() < first && start_failure_.empty())
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
    std::vector<Task> group;
    group.push_back(std::move(task));
    return queue(std::move(group), urgent, limit);
}

CheckThreads::Taken CheckThreads::submit_group(std::vector<Task> group, bool urgent)
{
    if (group.empty())
        return Taken::yes;
    return queue(std::move(group), urgent, SIZE_MAX);
}

CheckThreads::Taken CheckThreads::queue(std::vector<Task> group, bool urgent, std::size_t limit)
{
    std::unique_lock lock(mutex_);
    if (stopping_)
        return Taken::stopping;
    if (limit != SIZE_MAX && queue_.size() >= idle_ + limit)
        return Taken::queue_full;
    for (Task& task : group)
        task.opts.cancel = &cancel_;
    if (urgent)
        queue_.push_front(std::move(group));
    else
        queue_.push_back(std::move(group));
    // A thread that is alive and not running a check is idle, or about to
    // be (just started, not yet waiting): it will take a task too.
    if (queue_.size() > alive_ - running_ && alive_ < limit_) {
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
        for (std::vector<Task>& group : queue_)
            left.insert(left.end(), std::make_move_iterator(group.begin()), std::make_move_iterator(group.end()));
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

std::vector<report> CheckThreads::run_checks(const std::vector<Task>& group)
{
    if (group.size() == 1 || !settings_.check_many) {
        std::vector<report> results;
        results.reserve(group.size());
        for (const Task& task : group)
            results.push_back(checked(check_, task.address, task.opts));
        return results;
    }
    std::vector<std::string> addresses;
    addresses.reserve(group.size());
    for (const Task& task : group)
        addresses.push_back(task.address);
    return checked_many(settings_.check_many, addresses, group.front().opts);
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
        std::vector<Task> group = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        // Every check starts with a lookup, and a name server's queue holds
        // only so many queries: thousands of checks started in the same
        // few milliseconds would have some of their queries dropped. A
        // group of a domain already asked about finds its answers in the
        // resolution cache, or joins the queries under way.
        std::chrono::steady_clock::time_point start_at{};
        if (settings_.start_spacing.count() > 0 && group.front().spaced) {
            start_at = std::max(std::chrono::steady_clock::now(), last_start_ + settings_.start_spacing);
            last_start_ = start_at;
        }
        lock.unlock();
        if (start_at != std::chrono::steady_clock::time_point{})
            std::this_thread::sleep_until(start_at);
        std::vector<report> results = run_checks(group);
        const bool cancelled = cancel_.requested();
        const bool unusable =
            std::any_of(results.begin(), results.end(), [](const report& r) { return r.unusable; });
        bool leave = false;
        if (unusable) {
            // Before the result is handed on: whoever learns of the
            // shortage finds one thread fewer already.
            lock.lock();
            leave = limit_ > 1;
            if (leave)
                --limit_;
            lock.unlock();
        }
        if (done_)
            for (std::size_t i = 0; i < group.size(); ++i) {
                if (cancelled)
                    results[i].cancelled = true;
                done_(std::move(group[i]), std::move(results[i]));
            }
        lock.lock();
        --running_;
        if (leave)
            break;
    }
    --alive_;
}

}  // namespace verimex::hosting
