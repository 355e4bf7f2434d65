// What the SQLite and the PostgreSQL store share besides the interface:
// the clock, lease tokens, the schema check, the status query, the state
// an export shows, and the bookkeeping of the per-key limits in a take.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "jobs/store.h"

namespace verimex_jobs {

// Rows in verimex_addresses.state.
enum RowState : int {
    row_waiting = 0,  // due from due_at on
    row_leased = 1,   // leased until due_at; due again after
    row_done = 2,     // final result
};

// How many due rows one take looks at, at most, to find some whose keys
// are not at their limits.
inline constexpr std::size_t max_scan = 20'000;

Millis system_millis();

// Throws StoreError for a version this code cannot work with.
void check_schema_version(std::string_view text);

// Throws StoreError for a name valid_job_name refuses.
void require_job_name(std::string_view job);

// The counts of JobStatus from total to other_errors, in that order, for
// the job whose id is parameter job_param, at the time in now_param.
std::string status_sql(std::string_view job_param, std::string_view now_param);

// "done", "running", "deferred" or "due".
const char* state_name(int state, Millis due_at, Millis now);

// Unguessable lease tokens: a worker whose lease ran out cannot write over
// the next worker's.
class TokenSource {
public:
    TokenSource();
    std::string next();

private:
    std::mt19937_64 random_;
};

// The per-key limits during one take: what is live and what started
// recently, plus what this take has admitted so far.
class KeyLimits {
public:
    KeyLimits(const Politeness& politeness, Millis now) : politeness_(politeness), now_(now) {}
    void live(const std::string& key, std::uint64_t count) { live_[key] = count; }
    void started(const std::string& key, Millis at);
    // Whether one more lease of key may start now; if so, counts it.
    bool admit(const std::string& key);

private:
    Politeness politeness_;
    Millis now_;
    std::map<std::string, std::uint64_t> live_;
    std::set<std::string> recent_;
};

}  // namespace verimex_jobs
