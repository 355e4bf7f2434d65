// The worker threads and the in-order hand-out of verimex-check's bulk runs.
#include "verimex/hosting/ordered_run.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace verimex::hosting {

namespace {

// The least time between the starts of two checks. Every check starts
// with a lookup, and a name server's queue holds only so many queries:
// thousands of checks started in the same few milliseconds (the first
// round of a big -j, or a crowd of checks that ended together) would have
// some of their queries dropped, each costing a resend a second or more
// later. 4,000 starts a second is more than two CPUs can check.
constexpr auto start_spacing = std::chrono::microseconds(250);

// What the workers and the handing-out thread share. The workers hold it
// by shared_ptr, so workers abandoned by an interrupted run keep it alive.
struct Shared {
    Shared(std::vector<std::string> list, CheckFunction fn, const options& o, std::function<void()> start,
           std::size_t window)
        : addresses(std::move(list)), check(std::move(fn)), opts(o), on_worker_start(std::move(start)),
          slots(std::max<std::size_t>(1, std::min(window, addresses.size())))
    {
    }

    const std::vector<std::string> addresses;
    const CheckFunction check;
    const options opts;
    const std::function<void()> on_worker_start;

    std::mutex mutex;
    std::condition_variable room;   // a worker waits for the window to move on
    std::condition_variable ready;  // the hand-out waits for the result at base
    // Guarded by mutex from here on.
    // Finished results not yet handed out: the one for address i sits at
    // slots[i % slots.size()]; only addresses in [base, base + size) can
    // have one, so no two share a slot.
    std::vector<std::optional<report>> slots;
    std::size_t next = 0;  // the next address to take
    std::size_t base = 0;  // the first address whose result is not handed out
    std::size_t done = 0;  // checks finished
    bool stopping = false;
    // Addresses whose check ran out of descriptors, to be checked again;
    // they lie in the window already, so they go before `next`.
    std::deque<std::size_t> again;
    unsigned workers = 0;  // worker threads still taking addresses
    unsigned retired = 0;  // of them, those that stopped for want of descriptors
    // Why the last worker to retire did so, and how many were left taking
    // addresses then, for the hand-out to tell.
    std::string shortage;
    unsigned left_after_shortage = 0;

    std::optional<report>& slot(std::size_t index) { return slots[index % slots.size()]; }

    // When the last check was let start (guarded by mutex).
    std::chrono::steady_clock::time_point last_start{};
    // The time the next check may start, taken for the caller.
    std::chrono::steady_clock::time_point take_start()
    {
        last_start = std::max(std::chrono::steady_clock::now(), last_start + start_spacing);
        return last_start;
    }
};

void work(const std::shared_ptr<Shared>& shared)
{
    if (shared->on_worker_start)
        shared->on_worker_start();
    Shared& s = *shared;
    const std::size_t total = s.addresses.size();
    std::unique_lock lock(s.mutex);
    // However this worker ends, it no longer counts (under the lock).
    struct Leaving {
        Shared& s;
        ~Leaving() { --s.workers; }
    } leaving{s};
    for (;;) {
        s.room.wait(lock, [&] {
            return s.stopping || !s.again.empty() || s.next >= total || s.next < s.base + s.slots.size();
        });
        if (s.stopping)
            return;
        std::size_t index = 0;
        if (!s.again.empty()) {
            index = s.again.front();
            s.again.pop_front();
        } else if (s.next < total) {
            index = s.next++;
        } else {
            return;
        }
        const auto start_at = s.take_start();
        lock.unlock();
        std::this_thread::sleep_until(start_at);
        report result = checked(s.check, s.addresses[index], s.opts);
        lock.lock();
        if (result.unusable) {
            // Nothing is known of this address yet: it is checked again,
            // and this worker retires, so fewer checks hold descriptors.
            // The last worker stays and tries again after a pause.
            s.again.push_back(index);
            if (s.workers > 1) {
                ++s.retired;
                s.left_after_shortage = s.workers - 1;
                s.shortage = result.error.empty() ? result.returnvar : result.error;
                s.ready.notify_one();
                s.room.notify_one();
                return;
            }
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            lock.lock();
            continue;
        }
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

    // Returns why fewer than `count` could be started; empty when all were.
    std::string start(unsigned count)
    {
        threads_.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            try {
                // Counted first: a worker that runs out of descriptors at
                // once must see itself among the workers.
                {
                    std::lock_guard lock(shared_->mutex);
                    ++shared_->workers;
                }
                threads_.emplace_back([shared = shared_] { work(shared); });
            } catch (const std::system_error& e) {
                {
                    std::lock_guard lock(shared_->mutex);
                    --shared_->workers;
                }
                // Fewer workers only make the run slower; none make it
                // impossible.
                if (threads_.empty())
                    throw;
                return e.code().message();
            }
        }
        return {};
    }

    unsigned started() const { return static_cast<unsigned>(threads_.size()); }

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

BulkOutcome run_bulk(std::vector<std::string> addresses, CheckFunction check, const options& opts,
                     BulkSink& sink, const BulkSettings& settings)
{
    BulkOutcome outcome;
    const std::size_t total = addresses.size();
    if (total == 0)
        return outcome;
    const auto shared = std::make_shared<Shared>(std::move(addresses), std::move(check), opts, settings.on_worker_start,
                                                 std::max<std::size_t>(settings.window, 1));
    Shared& s = *shared;
    const auto stop_asked = [&] { return settings.interrupted && settings.interrupted(); };

    const auto notice = [&](const std::string& text) {
        if (settings.notice)
            settings.notice(text);
    };
    Workers workers(shared);
    const auto asked = static_cast<unsigned>(std::min<std::size_t>(std::max(settings.jobs, 1u), total));
    if (const std::string why = workers.start(asked); !why.empty()) {
        const std::string started = std::to_string(workers.started());
        notice("could start only " + started + " of " + std::to_string(asked) + " worker threads (" + why +
               "); checking " + started + " at a time");
    }

    std::unique_lock lock(s.mutex);
    unsigned told_retired = 0;
    while (s.base < total) {
        if (s.retired > told_retired) {
            told_retired = s.retired;
            const std::string text = "out of file descriptors (" + s.shortage + "); checking at most " +
                                     std::to_string(s.left_after_shortage) + " at a time from now on, and again the " +
                                     "addresses that ran short";
            lock.unlock();
            notice(text);
            lock.lock();
            continue;
        }
        if (std::optional<report>& slot = s.slot(s.base)) {
            report result = std::move(*slot);
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

}  // namespace verimex::hosting
