// The in-order hand-out of a bulk run, over the check threads.
#include "verimex/hosting/ordered_run.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "verimex/hosting/check_threads.h"
#include "verimex/hosting/records.h"

namespace verimex::hosting {

namespace {

// The least time between the starts of two checks. Every check starts
// with a lookup, and a name server's queue holds only so many queries:
// thousands of checks started in the same few milliseconds (the first
// round of a big -j, or a crowd of checks that ended together) would have
// some of their queries dropped, each costing a resend a second or more
// later. 4,000 starts a second is more than two CPUs can check.
constexpr auto start_spacing = std::chrono::microseconds(250);

// A check that ran short of descriptors while it was the only one left
// waits this long before it tries again: what it lacked comes back as the
// process's other descriptors are closed.
constexpr auto shortage_pause = std::chrono::milliseconds(200);

// How far checks run ahead of the output unless told. Sharing sessions,
// the fewest addresses a session is given when a list is spread thin over
// many threads, and the most the look-ahead grows to for a big -j (each
// place is a result slot, held until its turn comes).
constexpr std::size_t default_window = 4096;
constexpr std::size_t fewest_shared = 4;
constexpr std::size_t grouped_window_most = 65536;

// What the check threads hand back and the hand-out reads.
struct Results {
    explicit Results(std::size_t window) : slots(window) {}

    std::mutex mutex;
    std::condition_variable ready;
    // Finished results not yet handed out: the one for address i sits at
    // slots[i % slots.size()]; only addresses in [base, base + size) can
    // have one, so no two share a slot.
    std::vector<std::optional<report>> slots;
    std::size_t base = 0;  // the first address whose result is not handed out
    std::size_t done = 0;  // checks finished
    // Addresses whose check ran out of descriptors, to be checked again.
    std::vector<std::size_t> again;
    std::string shortage;  // why the last of them ran short

    std::optional<report>& slot(std::size_t index) { return slots[index % slots.size()]; }
};

// The sessions the first `window` addresses make, `per_session` addresses
// of one domain a session at most.
std::size_t sessions_in(const std::vector<std::string>& addresses, std::size_t window, std::size_t per_session)
{
    std::map<std::string, std::size_t> per_domain;
    for (std::size_t i = 0; i < window; ++i)
        ++per_domain[domain_of(addresses[i])];
    std::size_t sessions = 0;
    for (const auto& [domain, count] : per_domain)
        sessions += (count + per_session - 1) / per_session;
    return sessions;
}

}  // namespace

BulkOutcome run_bulk(std::vector<std::string> addresses, CheckFunction check, const options& opts,
                     BulkSink& sink, const BulkSettings& settings)
{
    BulkOutcome outcome;
    const std::size_t total = addresses.size();
    if (total == 0)
        return outcome;
    const std::size_t jobs = std::min<std::size_t>(std::max(settings.jobs, 1u), total);
    // Grouped only when a group can share its sessions: checked one after
    // another on one thread, it would only take away -j.
    const std::size_t most_per_session = settings.check_many ? session_size(opts) : 1;
    // Sharing sessions, the look-ahead holds a full session for every
    // thread; otherwise a long list would keep most of them idle.
    std::size_t window = settings.window;
    if (window == 0)
        window = std::max(default_window, most_per_session > 1
                                              ? std::min(jobs * most_per_session, grouped_window_most)
                                              : std::size_t{0});
    window = std::min(window, total);
    // A list short for its -j is spread over more, smaller sessions, so that
    // every thread has one: one wave of sessions of a few addresses ends
    // long before fewer, fuller ones would, and a session of four still
    // saves most of what a session per address costs.
    const std::size_t per_session =
        most_per_session > 1
            ? std::clamp((window + jobs - 1) / jobs, std::min(most_per_session, fewest_shared), most_per_session)
            : 1;
    Results r(window);
    const auto stop_asked = [&] { return settings.interrupted && settings.interrupted(); };
    const auto notice = [&](const std::string& text) {
        if (settings.notice)
            settings.notice(text);
    };

    CheckThreads::Settings threads;
    threads.threads = static_cast<unsigned>(jobs);
    threads.start_all = true;
    // Sharing sessions, as many threads at first as the look-ahead has
    // sessions: at -j 5000, starting thousands that would have nothing to
    // do holds up the sessions that wait for them. More start if a later
    // part of the list needs them.
    if (per_session > 1)
        threads.start_first = static_cast<unsigned>(sessions_in(addresses, window, per_session));
    threads.start_spacing = start_spacing;
    threads.on_thread_start = settings.on_worker_start;
    threads.check_many = settings.check_many;
    CheckThreads engine(
        std::move(check),
        [&r](CheckThreads::Task&& task, report&& result) {
            std::lock_guard lock(r.mutex);
            if (result.cancelled)
                return;  // the run is over: nothing of it is handed out
            if (result.unusable) {
                // Nothing is known of this address yet: it is checked again.
                r.again.push_back(task.id);
                r.shortage = result.error.empty() ? result.returnvar : result.error;
            } else {
                r.slot(task.id) = std::move(result);
                ++r.done;
            }
            r.ready.notify_one();
        },
        threads);
    if (const std::string why = engine.start_failure(); !why.empty()) {
        const std::string started = std::to_string(engine.threads());
        notice("could start only " + started + " of " + std::to_string(threads.threads) + " worker threads (" +
               why + "); checking " + started + " at a time");
    }
    const auto task_for = [&](std::size_t index) {
        CheckThreads::Task task;
        task.address = addresses[index];
        task.opts = opts;
        task.id = index;
        return task;
    };
    const auto submit = [&](std::size_t index, bool again) { engine.submit(task_for(index), again); };
    // Checks go out as far ahead of the hand-out as the window allows.
    std::size_t next = 0;
    // With shared sessions the window is refilled a quarter at a time, so
    // that the addresses of one domain in the refill can go together
    // (refilled one at a time, each would be a session of its own).
    const std::size_t refill = per_session > 1 ? std::max<std::size_t>(1, window / 4) : 1;
    const auto fill = [&] {
        const std::size_t end = std::min(total, r.base + window);
        if (next >= end || (end - next < refill && end < total))
            return;
        if (per_session == 1) {
            while (next < end)
                submit(next++, false);
            return;
        }
        // The addresses of each domain, in input order, up to per_session
        // a group; groups go out in the order of their first address.
        std::vector<std::vector<CheckThreads::Task>> groups;
        std::map<std::string, std::size_t> open;  // domain: its group still taking addresses
        for (; next < end; ++next) {
            const std::string domain = domain_of(addresses[next]);
            const auto it = open.find(domain);
            if (it != open.end() && groups[it->second].size() < per_session) {
                groups[it->second].push_back(task_for(next));
                continue;
            }
            // Only the first session of a domain asks DNS; the others need
            // not wait their turn behind it.
            const bool first = it == open.end();
            open.insert_or_assign(domain, groups.size());
            groups.emplace_back().push_back(task_for(next));
            groups.back().front().spaced = first;
        }
        for (std::vector<CheckThreads::Task>& group : groups)
            engine.submit_group(std::move(group));
    };
    const auto finish = [&](bool interrupted) {
        engine.stop(true);
        engine.join();
        outcome.interrupted = interrupted;
        return outcome;
    };

    unsigned told_limit = engine.limit();
    std::unique_lock lock(r.mutex);
    fill();
    while (r.base < total) {
        if (!r.again.empty()) {
            std::vector<std::size_t> again;
            again.swap(r.again);
            const std::string why = r.shortage;
            lock.unlock();
            // Each check that ran short took its thread with it; the last
            // thread stays, and tries again after a pause.
            const unsigned limit = engine.limit();
            if (limit < told_limit) {
                told_limit = limit;
                notice("out of file descriptors (" + why + "); checking at most " + std::to_string(limit) +
                       " at a time from now on, and again the addresses that ran short");
            } else if (limit == 1) {
                std::this_thread::sleep_for(shortage_pause);
            }
            for (const std::size_t index : again)
                submit(index, true);
            lock.lock();
            continue;
        }
        if (std::optional<report>& slot = r.slot(r.base)) {
            report result = std::move(*slot);
            slot.reset();
            ++r.base;
            lock.unlock();
            // Asked right before the result goes out, so nothing follows a
            // yes. (verimex-check notes Ctrl-C in a handler that runs on
            // this thread: a result that comes in after the signal, perhaps
            // spoilt by it, never goes out.)
            if (stop_asked())
                return finish(true);
            sink.result(std::move(result));
            ++outcome.handed_out;
            lock.lock();
            fill();
            continue;
        }
        const std::size_t done = r.done;
        lock.unlock();
        if (stop_asked())
            return finish(true);
        sink.waiting(done, total);
        lock.lock();
        r.ready.wait_for(lock, settings.tick, [&] { return r.slot(r.base).has_value() || !r.again.empty(); });
    }
    lock.unlock();
    return finish(false);
}

}  // namespace verimex::hosting
