// The runner: one coordinating thread (the caller of run()) that talks to
// the store, and the check threads that only run checks. Results go back to
// the coordinator, which writes each one before anyone hears of it: a
// result that was printed or served is in the store.
#include "verimex/hosting/runner.h"

#include <algorithm>
#include <map>
#include <span>
#include <utility>

#include "verimex/hosting/check_threads.h"

namespace verimex::hosting {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds clamp_ms(milliseconds value, milliseconds low, milliseconds high)
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

// What one run() keeps between the turns of its loop.
struct Runner::Run {
    explicit Run(const RunnerSettings& settings)
        : retake_tick(settings.politeness.interval.count() > 0
                          ? clamp_ms(settings.politeness.interval / 4, milliseconds(20), milliseconds(250))
                          : milliseconds(100)),
          renew_every(std::max(settings.lease / 3, milliseconds(10)))
    {
    }

    // How often a take is tried again when the last one found less than it
    // had room for, and how often the leases are renewed.
    const milliseconds retake_tick;
    const milliseconds renew_every;
    clock::time_point next_take = clock::now();
    clock::time_point next_renew = clock::now() + renew_every;

    // Leases of this run not yet written: queued or being checked, by the
    // number their task carries.
    std::map<std::uint64_t, Lease> mine;
    // The sessions among them, by lease token: how many of each session's
    // addresses are not written yet. in_flight counts these.
    std::map<std::string, std::size_t> sessions;
    std::uint64_t next_id = 0;
    // Checked, not written; guarded by the runner's mutex_.
    std::vector<std::pair<std::uint64_t, report>> results;
    RunSummary summary;
    // Last, so that it goes first: its threads hand results to the members
    // above.
    std::unique_ptr<CheckThreads> threads;
};

Runner::Runner(Store& store, CheckFunction check, RunnerSettings settings)
    : store_(store), check_(std::move(check)), settings_(std::move(settings))
{
    settings_.in_flight = std::max(settings_.in_flight, 1u);
}

Runner::~Runner() = default;

void Runner::stop()
{
    stop_ = true;
    // Taking the lock orders the flag before run()'s next look at it.
    { std::lock_guard lock(mutex_); }
    wake_.notify_all();
}

bool Runner::write_results(Run& run, RunnerSink& sink)
{
    std::vector<std::pair<std::uint64_t, report>> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(run.results);
    }
    bool gave_back = false;
    for (auto& [id, result] : done) {
        const auto it = run.mine.find(id);
        if (it == run.mine.end())
            continue;
        Lease lease = std::move(it->second);
        run.mine.erase(it);
        forget_session(run, lease.token);
        if (result.unusable || result.cancelled) {
            store_.release(std::span(&lease, 1));
            ++run.summary.given_back;
            gave_back = true;
            continue;
        }
        // Each result in its own transaction.
        const std::optional<milliseconds> delay =
            retry_delay(result, lease.attempts, settings_.retry_after, settings_.retry_errors);
        std::optional<Millis> retry_at;
        if (delay)
            retry_at = store_.now() + delay->count();
        if (!store_.record(lease, result, retry_at)) {
            ++run.summary.lost_leases;
            continue;
        }
        Attempt attempt;
        attempt.final = !delay;
        attempt.retry_at = retry_at.value_or(0);
        attempt.result = std::move(result);
        attempt.lease = std::move(lease);
        if (attempt.final)
            ++run.summary.final_results;
        else
            ++run.summary.deferred;
        sink.attempt(attempt);
    }
    // Checks that could not be made wait a moment: what they lacked comes
    // back as the others end.
    if (!done.empty())
        run.next_take = clock::now() + (gave_back ? run.retake_tick : milliseconds(0));
    return !done.empty();
}

void Runner::renew_leases(Run& run)
{
    if (clock::now() < run.next_renew)
        return;
    std::vector<Lease> live;
    for (const auto& [id, lease] : run.mine)
        live.push_back(lease);
    store_.renew(live, settings_.lease);
    run.next_renew = clock::now() + run.renew_every;
}

void Runner::forget_session(Run& run, const std::string& token)
{
    const auto it = run.sessions.find(token);
    if (it != run.sessions.end() && --it->second == 0)
        run.sessions.erase(it);
}

std::size_t Runner::take_more(Run& run)
{
    const std::size_t room =
        settings_.in_flight - std::min<std::size_t>(run.sessions.size(), settings_.in_flight);
    if (room == 0 || clock::now() < run.next_take || stop_)
        return 0;
    TakeRequest request;
    request.job = settings_.job;
    request.count = room;
    request.lease = settings_.lease;
    request.politeness = settings_.politeness;
    request.owner = settings_.owner;
    // Without a check for many there is no session to share: one address
    // a lease, each on a thread of its own.
    request.per_session = settings_.check_many ? std::max(settings_.per_session, 1u) : 1;
    std::vector<Lease> leases = store_.take(request);
    // A session's leases come next to each other.
    std::size_t taken = 0;
    for (std::size_t first = 0; first < leases.size();) {
        std::size_t end = first + 1;
        while (end < leases.size() && leases[end].token == leases[first].token)
            ++end;
        const options opts =
            settings_.options_for ? settings_.options_for(leases[first].job) : settings_.check_options;
        std::vector<CheckThreads::Task> group;
        for (std::size_t i = first; i < end; ++i) {
            CheckThreads::Task task;
            task.id = run.next_id++;
            task.address = leases[i].address;
            task.opts = opts;
            ++run.sessions[leases[i].token];
            run.mine.emplace(task.id, std::move(leases[i]));
            group.push_back(std::move(task));
        }
        // The threads are started as the work asks for them, up to
        // in_flight: a small job never starts thousands.
        if (session_size(opts) > 1) {
            run.threads->submit_group(std::move(group));
        } else {
            // Options that check one address at a time: each on its own.
            for (CheckThreads::Task& task : group)
                run.threads->submit(std::move(task));
        }
        ++taken;
        first = end;
    }
    if (taken < room)
        run.next_take = clock::now() + run.retake_tick;
    return taken;
}

std::optional<milliseconds> Runner::when_idle(Run& run)
{
    const JobWork w = store_.work(settings_.job);
    const Millis now = store_.now();
    if (settings_.until == Until::job_done && w.unfinished == 0)
        return std::nullopt;
    if (settings_.until == Until::nothing_due && (!w.next_due || *w.next_due > now))
        return std::nullopt;
    // Look again when the next address gets due, or after idle_poll for
    // work from elsewhere. (Due already but not taken: its key is at its
    // limits, and the take after retake_tick may get it.)
    milliseconds until_due = settings_.idle_poll;
    if (w.next_due)
        until_due = milliseconds(std::max<Millis>(*w.next_due - now, 0));
    const milliseconds wait =
        clamp_ms(until_due, run.retake_tick, std::max(settings_.idle_poll, run.retake_tick));
    if (w.next_due && *w.next_due > now)
        run.next_take = std::max(run.next_take, clock::now() + wait);
    return wait;
}

void Runner::give_back(Run& run)
{
    // The checks under way are cancelled and their threads joined first:
    // none of them can write or hand on anything after this.
    if (run.threads) {
        run.threads->stop(true);
        run.threads->join();
    }
    std::vector<Lease> leases;
    for (auto& [id, lease] : run.mine)
        leases.push_back(std::move(lease));
    run.mine.clear();
    run.sessions.clear();
    store_.release(leases);
}

RunSummary Runner::run(RunnerSink& sink)
{
    Run run(settings_);
    CheckThreads::Settings threads;
    threads.threads = settings_.in_flight;
    threads.on_thread_start = settings_.on_worker_start;
    threads.check_many = settings_.check_many;
    run.threads = std::make_unique<CheckThreads>(
        check_,
        [this, &run](CheckThreads::Task&& task, report&& result) {
            std::lock_guard lock(mutex_);
            run.results.emplace_back(task.id, std::move(result));
            wake_.notify_all();
        },
        threads);

    try {
        for (;;) {
            if (stop_) {
                give_back(run);
                run.summary.stopped = true;
                return run.summary;
            }
            write_results(run, sink);
            renew_leases(run);
            const std::size_t taken = take_more(run);

            clock::duration wait = run.retake_tick;
            if (run.sessions.empty() && taken == 0) {
                const std::optional<milliseconds> idle = when_idle(run);
                if (!idle) {
                    run.threads->stop(false);
                    run.threads->join();
                    return run.summary;
                }
                wait = *idle;
            } else if (run.sessions.size() >= settings_.in_flight) {
                wait = run.renew_every;
            }

            sink.waiting();
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::min<clock::duration>(wait, milliseconds(100)),
                           [&] { return stop_.load() || !run.results.empty(); });
        }
    } catch (...) {
        try {
            give_back(run);
        } catch (const StoreError&) {
            // The store is gone; the leases run out by themselves.
        }
        throw;
    }
}

}  // namespace verimex::hosting
