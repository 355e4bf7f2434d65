// The worker threads and the in-order hand-out of verimex-check's bulk runs.
#include "bulk.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace verimex_check {

namespace {

// What the workers and the handing-out thread share. The workers hold it
// by shared_ptr, so workers abandoned by an interrupted run keep it alive.
struct Shared {
    Shared(std::vector<std::string> list, CheckFunction fn, std::function<void()> start, std::size_t window)
        : addresses(std::move(list)), check(std::move(fn)), on_worker_start(std::move(start)),
          slots(std::max<std::size_t>(1, std::min(window, addresses.size())))
    {
    }

    const std::vector<std::string> addresses;
    const CheckFunction check;
    const std::function<void()> on_worker_start;

    std::mutex mutex;
    std::condition_variable room;   // a worker waits for the window to move on
    std::condition_variable ready;  // the hand-out waits for the result at base
    // Guarded by mutex from here on.
    // Finished results not yet handed out: the one for address i sits at
    // slots[i % slots.size()]; only addresses in [base, base + size) can
    // have one, so no two share a slot.
    std::vector<std::optional<CheckResult>> slots;
    std::size_t next = 0;  // the next address to take
    std::size_t base = 0;  // the first address whose result is not handed out
    std::size_t done = 0;  // checks finished
    bool stopping = false;

    std::optional<CheckResult>& slot(std::size_t index) { return slots[index % slots.size()]; }
};

CheckResult checked(const Shared& shared, const std::string& address)
{
    try {
        return shared.check(address);
    } catch (const std::exception& e) {
        CheckResult failed;
        failed.address = address;
        failed.platform_error = *e.what() ? e.what() : "unknown platform error";
        return failed;
    } catch (...) {
        CheckResult failed;
        failed.address = address;
        failed.platform_error = "unknown platform error";
        return failed;
    }
}

void work(const std::shared_ptr<Shared>& shared)
{
    if (shared->on_worker_start)
        shared->on_worker_start();
    Shared& s = *shared;
    const std::size_t total = s.addresses.size();
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.room.wait(lock, [&] { return s.stopping || s.next >= total || s.next < s.base + s.slots.size(); });
        if (s.stopping || s.next >= total)
            return;
        const std::size_t index = s.next++;
        lock.unlock();
        CheckResult result = checked(s, s.addresses[index]);
        lock.lock();
        s.slot(index) = std::move(result);
        ++s.done;
        // Only the result at base lets the hand-out go on; the others wait
        // in their slots until it gets there.
        if (index == s.base)
            s.ready.notify_one();
    }
}

// The worker threads of one run. Leaving a run early (interrupted, or an
// exception from the sink) stops and detaches them rather than waiting
// for checks that may take minutes.
class Workers {
public:
    explicit Workers(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers()
    {
        if (threads_.empty())
            return;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stopping = true;
        }
        shared_->room.notify_all();
        for (std::thread& t : threads_)
            t.detach();
    }

    void start(unsigned count)
    {
        threads_.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            try {
                threads_.emplace_back([shared = shared_] { work(shared); });
            } catch (const std::system_error&) {
                // Fewer workers only make the run slower; none make it
                // impossible.
                if (threads_.empty())
                    throw;
                break;
            }
        }
    }

    // Every result has been handed out: the workers have nothing left to
    // do, but some may still wait for room in the window.
    void join()
    {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stopping = true;
        }
        shared_->room.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
    }

private:
    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
};

}  // namespace

BulkOutcome run_bulk(std::vector<std::string> addresses, CheckFunction check, BulkSink& sink,
                     const BulkSettings& settings)
{
    BulkOutcome outcome;
    const std::size_t total = addresses.size();
    if (total == 0)
        return outcome;
    const auto shared = std::make_shared<Shared>(std::move(addresses), std::move(check), settings.on_worker_start,
                                                 std::max<std::size_t>(settings.window, 1));
    Shared& s = *shared;
    const auto stop_asked = [&] { return settings.interrupted && settings.interrupted(); };

    Workers workers(shared);
    workers.start(static_cast<unsigned>(std::min<std::size_t>(std::max(settings.jobs, 1u), total)));

    std::unique_lock lock(s.mutex);
    while (s.base < total) {
        if (std::optional<CheckResult>& slot = s.slot(s.base)) {
            CheckResult result = std::move(*slot);
            slot.reset();
            lock.unlock();
            // Asked right before the result goes out, so nothing follows a
            // yes. (verimex-check notes Ctrl-C in a handler that runs on
            // this thread: a result that comes in after the signal, perhaps
            // spoilt by it, never goes out.)
            if (stop_asked()) {
                outcome.interrupted = true;
                return outcome;
            }
            sink.result(std::move(result));
            ++outcome.handed_out;
            lock.lock();
            // The slot just emptied lets one more check start.
            ++s.base;
            s.room.notify_one();
            continue;
        }
        const std::size_t done = s.done;
        lock.unlock();
        if (stop_asked()) {
            outcome.interrupted = true;
            return outcome;
        }
        sink.waiting(done, total);
        lock.lock();
        s.ready.wait_for(lock, settings.tick, [&] { return s.slot(s.base).has_value(); });
    }
    lock.unlock();
    workers.join();
    return outcome;
}

}  // namespace verimex_check
