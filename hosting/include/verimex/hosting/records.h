// What the job stores hand out and take in: job names, counts, exported
// entries, leases and their requests, and the per-mail-server limits. The
// result of a check itself is the engine's verimex::report.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "verimex/verify.h"

namespace verimex::hosting {

// Milliseconds since the Unix epoch, by the store's clock (PostgreSQL's
// own clock for a fleet, so the workers' clocks need not agree).
using Millis = std::int64_t;

// The store cannot be opened, created, reached or used. The message says
// what and why, without the password of a URI.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a final result says, as --status counts them.
enum class Outcome : int {
    verified = 0,           // "000"
    rejected = 1,           // any other server reply to VRFY
    could_not_connect = 2,  // no mail exchanger took the connection
    no_mail_server = 3,     // the domain lists none
    timed_out = 4,          // the time limit ran out
    other_error = 5,        // lookup failures, refused input, platform errors
};

Outcome outcome_of(const report& result);

// True for a reply of class 4 ("4xx", try again later).
bool is_temporary_reply(const report& result);

// The domain of an address (after its first '@'), lower-cased; empty
// without one.
std::string domain_of(std::string_view address);

// Job names, in a store, on a command line and in a URL path alike: 1 to
// 200 bytes, no control characters and no "/" (a name is one path segment
// of the HTTP API). Anything else is refused with StoreError by the
// methods that take a name.
bool valid_job_name(std::string_view name);
inline constexpr std::string_view job_name_rule = "1 to 200 bytes, without control characters or \"/\"";

// The settings that decide a job's results, stored with the job when it is
// made, so that every worker on every machine, after every restart, checks
// its addresses the same way. A worker's proxy and DNS server stay its own:
// they say how it reaches the servers, not what it asks them.
struct JobSettings {
    verimex::method method = verimex::method::automatic;
    std::string helo;       // empty: each worker's own name
    std::string mail_from;  // empty: the null sender
    std::optional<std::int16_t> timeout;  // none: each worker's own -t
    verimex::tls_mode tls = verimex::tls_mode::opportunistic;
    bool catch_all = true;
};

// The settings of a job made before they were stored with jobs: those
// jobs were VRFY jobs, each worker with its own HELO name and time limit.
JobSettings settings_of_older_jobs();

// worker's options with the job's settings in place of its own.
verimex::options with_job_settings(verimex::options worker, const JobSettings& job);

struct AddResult {
    std::uint64_t added = 0;
    std::uint64_t duplicates = 0;  // already in the job, or repeated in the list
};

struct JobStatus {
    std::string job;
    std::uint64_t total = 0;
    std::uint64_t done = 0;      // with a final result
    std::uint64_t due = 0;       // may be taken now (new, retry due, or lease run out)
    std::uint64_t running = 0;   // under a live lease
    std::uint64_t deferred = 0;  // waiting for its retry time
    // The final results, by outcome.
    std::uint64_t verified = 0;
    std::uint64_t rejected = 0;
    std::uint64_t could_not_connect = 0;
    std::uint64_t no_mail_server = 0;
    std::uint64_t timed_out = 0;
    std::uint64_t other_errors = 0;
    // The final results by verdict (deliverable, undeliverable, risky,
    // unknown), and by verdict and reason; results recorded before verdicts
    // were stored are in neither.
    std::uint64_t by_verdict[4] = {0, 0, 0, 0};
    std::vector<std::pair<std::string, std::uint64_t>> by_reason;  // "verdict reason", count; sorted
};

// An address as the export shows it.
struct Entry {
    std::string address;
    std::string state;  // "done", "due", "running" or "deferred"
    // The last attempt's result (the final one when done); none before
    // the first attempt.
    std::optional<std::string> returnvar;
    std::optional<std::string> transcript;
    std::optional<std::string> error;  // set only when the platform failed
    std::optional<Outcome> outcome;    // of the final result; none before it
    std::uint32_t attempts = 0;
    std::optional<Millis> checked_at;  // the time of the last attempt
    // The last attempt's engine members (method ... disposable) as a JSON
    // object's text; none before it, or for results recorded before they
    // were stored.
    std::optional<std::string> members;
};

// The limits per mail-server key.
struct Politeness {
    unsigned per_key = 2;                      // sessions (lease tokens) live at once
    std::chrono::milliseconds interval{1000};  // between two starts
};

// An address taken for checking.
struct Lease {
    std::int64_t id = 0;   // the address's row
    std::string job;
    std::string address;
    std::string key;       // the mail-server key it counts against
    std::string token;     // proves the lease is still this worker's; shared by a session's addresses
    std::uint32_t attempts = 0;  // made before this one
};

struct TakeRequest {
    std::string job;          // empty: any job of the store
    std::size_t count = 1;    // at most this many
    std::chrono::milliseconds lease{std::chrono::minutes(5)};
    Politeness politeness;
    std::string owner;        // recorded with the lease, for people reading the tables
    // Addresses of one job and domain one session (one lease token) may
    // take together; count and the politeness limits count sessions.
    std::size_t per_session = 1;
};

// The whole store at a glance, for the server's metrics.
struct StoreTotals {
    std::uint64_t jobs = 0;
    std::uint64_t done = 0, due = 0, running = 0, deferred = 0;  // addresses of every job, as in JobStatus
};

struct JobWork {
    std::uint64_t unfinished = 0;     // addresses of the job (or store) without a final result
    std::optional<Millis> next_due;   // the earliest time one of them is or gets due
};

}  // namespace verimex::hosting
