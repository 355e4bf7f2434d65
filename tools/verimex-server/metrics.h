// What /metrics reports: counters kept as the server runs, and the
// Prometheus text format they are written in.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "verimex/hosting/store.h"
#include "verimex/verify.h"

namespace verimex_server {

using verimex::hosting::Outcome;

// Every outcome, in the order of the enumeration; and its label, as the
// job status object names it ("verified", ..., "other_errors").
inline constexpr std::array<Outcome, 6> all_outcomes = {
    Outcome::verified,       Outcome::rejected,  Outcome::could_not_connect,
    Outcome::no_mail_server, Outcome::timed_out, Outcome::other_error,
};
std::string_view outcome_name(Outcome outcome);

// Upper bounds of the check-latency histogram's buckets, in seconds: from
// a scripted server on loopback (milliseconds) to the component's longest
// time limit (600 s).
// Every verdict, and every reason, in the order of their enumerations.
inline constexpr std::array<verimex::verdict, 4> all_verdicts = {
    verimex::verdict::deliverable, verimex::verdict::undeliverable, verimex::verdict::risky,
    verimex::verdict::unknown};
inline constexpr std::size_t reason_count = static_cast<std::size_t>(verimex::reason::server_error) + 1;

inline constexpr std::array<double, 14> latency_buckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                          1,     2.5,  5,     10,   30,  120, 600};

class Metrics {
public:
    // A finished single check (from /v1/check) or job check.
    enum class Source { single, job };
    void check_done(Source source, const verimex::report& result, std::chrono::nanoseconds took);
    void check_refused() { refused_.fetch_add(1, std::memory_order_relaxed); }
    void request_done(int status);

    // Figures taken when the text is written.
    struct Gauges {
        std::size_t checks_running = 0;
        std::size_t checks_queued = 0;
        std::size_t check_threads = 0;
        std::size_t queue_limit = 0;
        std::size_t job_checks_running = 0;
        std::size_t posting = 0;  // connections sending a list now
        // Per job state ("done", "due", ...): addresses over every job;
        // jobs: how many jobs the store holds. Empty without a store.
        std::map<std::string, std::uint64_t> job_addresses;
        std::uint64_t jobs = 0;
        bool have_jobs = false;
    };
    std::string text(const Gauges& gauges) const;

private:
    static constexpr std::size_t sources = 2;
    std::array<std::array<std::atomic<std::uint64_t>, all_outcomes.size()>, sources> checks_{};
    // By source, verdict and reason.
    std::array<std::array<std::array<std::atomic<std::uint64_t>, reason_count>, all_verdicts.size()>, sources>
        verdicts_{};
    std::array<std::array<std::atomic<std::uint64_t>, latency_buckets.size()>, sources> buckets_{};
    std::array<std::atomic<std::uint64_t>, sources> count_{};
    std::array<std::atomic<std::uint64_t>, sources> sum_us_{};  // microseconds
    std::atomic<std::uint64_t> refused_{0};
    mutable std::mutex mutex_;
    std::map<int, std::uint64_t> requests_;  // by status; guarded by mutex_
};

}  // namespace verimex_server
