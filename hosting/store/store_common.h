// What the SQLite and the PostgreSQL store share besides the interface:
// the clock, lease tokens, the schema check, the status query and its row,
// an export's row, and a take's query and the bookkeeping of its per-key
// limits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "verimex/hosting/store.h"

namespace verimex::hosting {

// Rows in verimex_addresses.state.
enum RowState : int {
    row_waiting = 0,  // due from due_at on
    row_leased = 1,   // leased until due_at; due again after
    row_done = 2,     // final result
};

// How many due rows one take looks at, at most, to find some whose keys
// are not at their limits.
inline constexpr std::size_t max_scan = 20'000;

// The version of the tables this code writes. A store with a higher one
// was made by a newer program and is refused.
inline constexpr int schema_version = 1;

// Throws StoreError for a version this code cannot work with.
void check_schema_version(std::string_view text);

// text in lower case (ASCII letters only: host names).
std::string lowered(std::string_view text);

// Throws StoreError for a name valid_job_name refuses.
void require_job_name(std::string_view job);

// The counts of JobStatus from total to other_errors, in that order, for
// the job whose id is parameter job_param, at the time in now_param.
std::string status_sql(std::string_view job_param, std::string_view now_param);

// The JobStatus of job from the row status_sql selects; count(i) reads
// the row's i-th column.
template <class Count>
JobStatus status_from_row(std::string_view job, Count count)
{
    JobStatus s;
    s.job = job;
    std::uint64_t* fields[] = {&s.total,    &s.done,     &s.due,           &s.running,
                               &s.deferred, &s.verified, &s.rejected,      &s.could_not_connect,
                               &s.no_mail_server, &s.timed_out, &s.other_errors};
    for (int i = 0; i < static_cast<int>(std::size(fields)); ++i)
        *fields[i] = static_cast<std::uint64_t>(count(i));
    return s;
}

// "done", "running", "deferred" or "due".
const char* state_name(int state, Millis due_at, Millis now);

// What an export reads of an address, in the order entry_from_row takes
// it; the caller adds its FROM, WHERE and ORDER.
inline constexpr const char* export_columns =
    "SELECT address, state, due_at, returnvar, transcript, error, attempts, checked_at, outcome";

// One exported address from a row of export_columns, as it stands at now.
// Row reads its columns by number: text, optional_text, integer, is_null.
template <class Row>
Entry entry_from_row(const Row& row, Millis now)
{
    Entry e;
    e.address = row.text(0);
    e.state = state_name(static_cast<int>(row.integer(1)), row.integer(2), now);
    e.returnvar = row.optional_text(3);
    e.transcript = row.optional_text(4);
    e.error = row.optional_text(5);
    e.attempts = static_cast<std::uint32_t>(row.integer(6));
    if (!row.is_null(7))
        e.checked_at = row.integer(7);
    if (!row.is_null(8))
        e.outcome = static_cast<Outcome>(row.integer(8));
    return e;
}

// How many due addresses a take reads per query.
inline constexpr std::size_t take_batch = 256;

// The due addresses of a take, oldest first, a batch at a time: id, job
// name, address, attempts, the politeness key and due_at, due by parameter
// 1, after the (due_at, id) in parameters 2 and 3, and of the job whose id
// is parameter 4 when one_job. mark is the dialect's parameter sign, '?'
// or '$'.
std::string take_sql(char mark, bool one_job);

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

}  // namespace verimex::hosting
