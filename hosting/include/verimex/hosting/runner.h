// Working on a store's jobs in this process: N sessions in flight, each on
// a thread of its own (the verifier serves one check at a time per thread),
// taking due addresses under leases (the addresses of one domain that are
// due together under one lease, to share an SMTP session), renewing the
// leases while the checks run, and writing each result before handing it
// on.
//
// A Runner is driven from one thread (the one calling run()); stop() may
// be called from any thread or a signal-watching loop. A server keeps one
// Runner per job, or one over every job (empty job name), on a thread of
// its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "verimex/hosting/check.h"
#include "verimex/hosting/store.h"

namespace verimex::hosting {

// When run() returns by itself.
enum class Until {
    job_done,     // every address of the job has a final result
    nothing_due,  // nothing is due now and nothing of ours is in flight
    stopped,      // only on stop(): keeps looking for work (a server's jobs)
};

struct RunnerSettings {
    std::string job;             // empty: any job of the store
    unsigned in_flight = 1;      // sessions (checks of one address or of a group) at the same time
    // Due addresses of one job and domain taken together, under one lease,
    // and checked in one SMTP session (check_many); 1: one session each.
    unsigned per_session = 1;
    // Checks a session's addresses in one call; without it per_session is
    // 1, and every address is checked on its own with the runner's check.
    CheckManyFunction check_many;
    std::chrono::milliseconds lease{std::chrono::minutes(5)};
    Politeness politeness;
    // Delays before the attempts after a temporary (4xx) reply: with n
    // delays an address is tried at most n + 1 times; then the last reply
    // is its final result.
    std::vector<std::chrono::milliseconds> retry_after;
    // Retry timeouts and failed connections too, on the same delays.
    bool retry_errors = false;
    Until until = Until::job_done;
    // How long an idle runner waits before it looks for work again (work
    // may come from elsewhere: added addresses, other workers' leases).
    std::chrono::milliseconds idle_poll{500};
    // Run first on every check thread (a program keeps signals away there).
    std::function<void()> on_worker_start;
    // Recorded with each lease.
    std::string owner;
    // What each check runs with: options_for(job) when set (a server keeps
    // settings per job), else check_options.
    options check_options;
    std::function<options(const std::string& job)> options_for;
};

// What becomes of one attempt, handed to the sink after it is written.
struct Attempt {
    report result;
    Lease lease;
    bool final = true;        // false: deferred for a retry
    Millis retry_at = 0;      // when deferred
};

class RunnerSink {
public:
    virtual ~RunnerSink() = default;
    // An attempt, written to the store. Called on run()'s thread.
    virtual void attempt(const Attempt& attempt) = 0;
    // Called while run() waits (about every tick), on run()'s thread.
    virtual void waiting() {}
};

struct RunSummary {
    std::uint64_t final_results = 0;  // written by this runner
    std::uint64_t deferred = 0;        // attempts deferred for a retry
    std::uint64_t lost_leases = 0;     // results dropped: the lease was gone
    std::uint64_t given_back = 0;      // checks that could not be made, given back
    bool stopped = false;              // ended by stop()
};

class Runner {
public:
    Runner(Store& store, CheckFunction check, RunnerSettings settings);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Call once. Works until settings.until is met or stop() is called. On
    // stop the checks under way are cancelled, their threads joined, and
    // their addresses given back, due at once: no check in flight at a
    // stop is recorded. A StoreError is passed on after the same clean-up,
    // as far as the store still allows it; the leases it could not give
    // back run out by themselves.
    RunSummary run(RunnerSink& sink);

    // Asks run() to return soon; safe from any thread. Also before run().
    void stop();

private:
    struct Run;
    // The pieces of one turn of run()'s loop.
    bool write_results(Run& run, RunnerSink& sink);
    void renew_leases(Run& run);
    std::size_t take_more(Run& run);
    void forget_session(Run& run, const std::string& token);
    std::optional<std::chrono::milliseconds> when_idle(Run& run);
    void give_back(Run& run);

    Store& store_;
    CheckFunction check_;
    RunnerSettings settings_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;  // results came back, or stop()
};

// The retry delay for an attempt, or nothing when its result is final.
// attempts_before counts the attempts made before this one.
std::optional<std::chrono::milliseconds> retry_delay(const report& result, std::uint32_t attempts_before,
                                                     const std::vector<std::chrono::milliseconds>& retry_after,
                                                     bool retry_errors);

}  // namespace verimex::hosting
