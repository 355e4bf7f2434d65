// The single checks' queue and their promises.
#include "check_pool.h"

#include <exception>
#include <utility>
#include <vector>

namespace verimex_server {

namespace {

verimex::hosting::CheckThreads::Settings pool_settings(unsigned threads, std::function<void()> on_thread_start)
{
    verimex::hosting::CheckThreads::Settings settings;
    settings.threads = threads;
    settings.start_all = true;
    settings.on_thread_start = std::move(on_thread_start);
    return settings;
}

}  // namespace

CheckPool::CheckPool(unsigned threads, std::size_t queue, CheckFunction check, std::function<void()> on_thread_start)
    : queue_limit_(queue),
      threads_(
          std::move(check),
          [this](verimex::hosting::CheckThreads::Task&& task, verimex::report&& result) {
              finished(task.id, std::move(result));
          },
          pool_settings(threads, std::move(on_thread_start)))
{
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
    verimex::hosting::CheckThreads::Task task;
    task.address = std::move(address);
    task.opts = std::move(settings);
    task.id = next_id_++;
    std::promise<verimex::report>& promise = waiting_[task.id];
    std::future<verimex::report> future = promise.get_future();
    const std::uint64_t id = task.id;
    // A free thread takes a check at once, so only the checks beyond the
    // free threads count against the queue's limit.
    switch (threads_.submit(std::move(task), false, queue_limit_)) {
    case verimex::hosting::CheckThreads::Taken::yes:
        ticket.result = std::move(future);
        return ticket;
    case verimex::hosting::CheckThreads::Taken::queue_full: ticket.refusal = Refusal::queue_full; break;
    case verimex::hosting::CheckThreads::Taken::stopping: ticket.refusal = Refusal::stopping; break;
    }
    waiting_.erase(id);
    return ticket;
}

void CheckPool::finished(std::uint64_t id, verimex::report&& result)
{
    std::promise<verimex::report> promise;
    {
        std::lock_guard lock(mutex_);
        const auto it = waiting_.find(id);
        if (it == waiting_.end())
            return;
        promise = std::move(it->second);
        waiting_.erase(it);
    }
    promise.set_value(std::move(result));
}

void CheckPool::stop()
{
    std::vector<std::promise<verimex::report>> refused;
    {
        std::lock_guard lock(mutex_);
        for (verimex::hosting::CheckThreads::Task& task : threads_.stop(false)) {
            if (const auto it = waiting_.find(task.id); it != waiting_.end()) {
                refused.push_back(std::move(it->second));
                waiting_.erase(it);
            }
        }
    }
    for (std::promise<verimex::report>& promise : refused)
        promise.set_exception(std::make_exception_ptr(Stopped{}));
}

void CheckPool::join()
{
    threads_.join();
}

}  // namespace verimex_server
