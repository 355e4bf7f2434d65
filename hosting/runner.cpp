// The runner: one coordinating thread (the caller of run()) that talks to
// the store, and check threads that only run checks. Results go back to
// the coordinator, which writes each one before anyone hears of it: a
// result that was printed or served is in the store.
#include "verimex/hosting/runner.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <span>
#include <mutex>
#include <system_error>
#include <thread>

namespace verimex::hosting {

struct Runner::Shared {
    Shared(CheckFunction fn, const RunnerSettings& settings)
        : check(std::move(fn)), on_worker_start(settings.on_worker_start), check_options(settings.check_options),
          options_for(settings.options_for)
    {
    }

    report run(const Lease& lease) const
    {
        return checked(check, lease.address, options_for ? options_for(lease.job) : check_options);
    }

    const CheckFunction check;
    const std::function<void()> on_worker_start;
    const options check_options;
    const std::function<options(const std::string& job)> options_for;

    std::mutex mutex;
    std::condition_variable work;      // a check thread waits for a lease
    std::condition_variable finished;  // the coordinator waits for a result
    // Guarded by mutex.
    std::deque<Lease> queue;  // taken, not started
    std::vector<std::pair<Lease, report>> results;  // checked, not written
    unsigned idle = 0;        // check threads waiting for a lease
    bool stopping = false;
};

namespace {

std::chrono::milliseconds clamp_ms(std::chrono::milliseconds value, std::chrono::milliseconds low,
                                   std::chrono::milliseconds high)
{
    return std::max(low, std::min(high, value));
}

}  // namespace

std::optional<std::chrono::milliseconds> retry_delay(const report& record, std::uint32_t attempts_before,
                                                     const std::vector<std::chrono::milliseconds>& retry_after,
                                                     bool retry_errors)
{
    const Outcome outcome = outcome_of(record);
    const bool temporary = is_temporary_reply(record) ||
                           (retry_errors && (outcome == Outcome::timed_out || outcome == Outcome::could_not_connect));
    if (!temporary || attempts_before >= retry_after.size())
        return std::nullopt;
    return retry_after[attempts_before];
}

Runner::Runner(Store& store, CheckFunction check, RunnerSettings settings)
    : store_(store), check_(std::move(check)), settings_(std::move(settings))
{
    settings_.in_flight = std::max(settings_.in_flight, 1u);
    shared_ = std::make_shared<Shared>(check_, settings_);
}

Runner::~Runner() = default;

void Runner::stop()
{
    stop_ = true;
    // Taking the lock orders the flag before run()'s next look at it.
    { std::lock_guard lock(shared_->mutex); }
    shared_->finished.notify_all();
}

RunSummary Runner::run(RunnerSink& sink)
{
    using clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;

    const std::shared_ptr<Shared> shared = shared_;
    Shared& s = *shared;
    std::vector<std::thread> threads;
    // Leases of this runner not yet written: queued or being checked.
    std::map<std::string, Lease> mine;
    RunSummary summary;

    const auto start_thread = [&] {
        threads.emplace_back([shared] {
            if (shared->on_worker_start)
                shared->on_worker_start();
            std::unique_lock lock(shared->mutex);
            for (;;) {
                ++shared->idle;
                shared->work.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
                --shared->idle;
                if (shared->stopping)
                    return;
                Lease lease = std::move(shared->queue.front());
                shared->queue.pop_front();
                lock.unlock();
                report record = shared->run(lease);
                lock.lock();
                if (shared->stopping)
                    return;
                shared->results.emplace_back(std::move(lease), std::move(record));
                shared->finished.notify_all();
            }
        });
    };

    // Ends the check threads: joined when none has work (a normal end),
    // else told to stop and left to finish their check by themselves.
    const auto finish_threads = [&](bool abandon) {
        {
            std::lock_guard lock(s.mutex);
            s.stopping = true;
        }
        s.work.notify_all();
        for (std::thread& t : threads) {
            if (abandon)
                t.detach();
            else
                t.join();
        }
        threads.clear();
    };

    const auto give_back = [&] {
        std::vector<Lease> leases;
        for (auto& [token, lease] : mine)
            leases.push_back(lease);
        mine.clear();
        store_.release(leases);
    };

    const milliseconds retake_tick =
        settings_.politeness.interval.count() > 0
            ? clamp_ms(settings_.politeness.interval / 4, milliseconds(20), milliseconds(250))
            : milliseconds(100);
    const milliseconds renew_every = std::max(settings_.lease / 3, milliseconds(10));
    clock::time_point next_take = clock::now();
    clock::time_point next_renew = clock::now() + renew_every;

    try {
        for (;;) {
            if (stop_) {
                summary.stopped = true;
                finish_threads(true);
                give_back();
                return summary;
            }

            // Write what came back, each result in its own transaction.
            std::vector<std::pair<Lease, report>> done;
            {
                std::lock_guard lock(s.mutex);
                done.swap(s.results);
            }
            bool gave_back = false;
            for (auto& [lease, record] : done) {
                mine.erase(lease.token);
                if (record.unusable) {
                    store_.release(std::span(&lease, 1));
                    ++summary.given_back;
                    gave_back = true;
                    continue;
                }
                Attempt attempt;
                const std::optional<milliseconds> delay =
                    retry_delay(record, lease.attempts, settings_.retry_after, settings_.retry_errors);
                std::optional<Millis> retry_at;
                if (delay)
                    retry_at = store_.now() + delay->count();
                if (!store_.record(lease, record, retry_at)) {
                    ++summary.lost_leases;
                    continue;
                }
                attempt.final = !delay;
                attempt.retry_at = retry_at.value_or(0);
                attempt.result = std::move(record);
                attempt.lease = std::move(lease);
                if (attempt.final)
                    ++summary.final_results;
                else
                    ++summary.deferred;
                sink.attempt(attempt);
            }
            // Checks that could not be made wait a moment: what they lacked
            // comes back as the others end.
            if (!done.empty())
                next_take = clock::now() + (gave_back ? retake_tick : milliseconds(0));

            if (clock::now() >= next_renew) {
                std::vector<Lease> live;
                for (auto& [token, lease] : mine)
                    live.push_back(lease);
                store_.renew(live, settings_.lease);
                next_renew = clock::now() + renew_every;
            }

            std::size_t taken = 0;
            const std::size_t room = settings_.in_flight - std::min<std::size_t>(mine.size(), settings_.in_flight);
            if (room > 0 && clock::now() >= next_take && !stop_) {
                TakeRequest request;
                request.job = settings_.job;
                request.count = room;
                request.lease = settings_.lease;
                request.politeness = settings_.politeness;
                request.owner = settings_.owner;
                std::vector<Lease> leases = store_.take(request);
                taken = leases.size();
                if (taken < room)
                    next_take = clock::now() + retake_tick;
                if (taken > 0) {
                    std::size_t want_threads = 0;
                    {
                        std::lock_guard lock(s.mutex);
                        for (Lease& l : leases) {
                            mine.emplace(l.token, l);
                            s.queue.push_back(std::move(l));
                        }
                        if (s.queue.size() > s.idle)
                            want_threads = s.queue.size() - s.idle;
                    }
                    // Threads are started as the work asks for them, up to
                    // in_flight: a small job never starts thousands.
                    for (std::size_t i = 0; i < want_threads && threads.size() < settings_.in_flight; ++i) {
                        try {
                            start_thread();
                        } catch (const std::system_error&) {
                            // Fewer threads only make the run slower; with
                            // none at all it cannot go on.
                            if (threads.empty())
                                throw;
                            break;
                        }
                    }
                    s.work.notify_all();
                }
            }

            clock::duration wait = retake_tick;
            if (mine.empty() && taken == 0) {
                const JobWork w = store_.work(settings_.job);
                const Millis now = store_.now();
                if (settings_.until == Until::job_done && w.unfinished == 0) {
                    finish_threads(false);
                    return summary;
                }
                if (settings_.until == Until::nothing_due && (!w.next_due || *w.next_due > now)) {
                    finish_threads(false);
                    return summary;
                }
                // Idle: look again when the next address gets due, or
                // after idle_poll for work from elsewhere.
                // (Due already but not taken: its key is at its limits,
                // and the take after retake_tick may get it.)
                milliseconds until_due = settings_.idle_poll;
                if (w.next_due)
                    until_due = milliseconds(std::max<Millis>(*w.next_due - now, 0));
                wait = clamp_ms(until_due, retake_tick, std::max(settings_.idle_poll, retake_tick));
                if (w.next_due && *w.next_due > now)
                    next_take = std::max(next_take, clock::now() + wait);
            } else if (room == 0 || taken == room) {
                wait = renew_every;
            }

            sink.waiting();
            std::unique_lock lock(s.mutex);
            s.finished.wait_for(lock, std::min<clock::duration>(wait, milliseconds(100)),
                                [&] { return stop_.load() || !s.results.empty(); });
        }
    } catch (...) {
        finish_threads(true);
        try {
            give_back();
        } catch (const StoreError&) {
            // The store is gone; the leases run out by themselves.
        }
        throw;
    }
}

}  // namespace verimex::hosting
