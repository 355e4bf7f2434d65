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

std::optional<CheckPool::Refusal> CheckPool::submit(std::string address, verimex::options settings, Done done)
{
    std::unique_lock lock(mutex_);
    verimex::hosting::CheckThreads::Task task;
    task.address = std::move(address);
    task.opts = std::move(settings);
    task.id = next_id_++;
    const std::uint64_t id = task.id;
    waiting_.emplace(id, std::move(done));
    // A free thread takes a check at once, so only the checks beyond the
    // free threads count against the queue's limit.
    std::optional<Refusal> refusal;
    switch (threads_.submit(std::move(task), false, queue_limit_)) {
    case verimex::hosting::CheckThreads::Taken::yes: return std::nullopt;
    case verimex::hosting::CheckThreads::Taken::queue_full: refusal = Refusal::queue_full; break;
    case verimex::hosting::CheckThreads::Taken::stopping: refusal = Refusal::stopping; break;
    }
    waiting_.erase(id);
    return refusal;
}

void CheckPool::finished(std::uint64_t id, verimex::report&& result)
{
    Done done;
    {
        std::lock_guard lock(mutex_);
        const auto it = waiting_.find(id);
        if (it == waiting_.end())
            return;
        done = std::move(it->second);
        waiting_.erase(it);
    }
    done(std::move(result));
}

void CheckPool::stop()
{
    std::vector<Done> refused;
    {
        std::lock_guard lock(mutex_);
        for (verimex::hosting::CheckThreads::Task& task : threads_.stop(false)) {
            if (const auto it = waiting_.find(task.id); it != waiting_.end()) {
                refused.push_back(std::move(it->second));
                waiting_.erase(it);
            }
        }
    }
    for (Done& done : refused)
        done(std::nullopt);
}

void CheckPool::join()
{
    threads_.join();
}

}  // namespace verimex_server
