// The settings both programs share for work on many addresses: the time
// limit as the component reads it, the lease it implies, the retry delays,
// and the HELO name a check sends when none is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace verimex::hosting {

// The most checks at once a program takes (-j, --per-mx). Each is a thread
// with its own host window and at most one open connection; a waiting check
// costs next to nothing, so the number in flight is bounded by how slow the
// servers are, and by the descriptors and threads the system gives (a run
// says so, and goes on with fewer, when it gets less).
inline constexpr unsigned max_jobs = 10000;

// The longest lease and the longest retry delay: a week.
inline constexpr unsigned max_lease_seconds = 7U * 24 * 3600;
// The longest --mx-interval: an hour.
inline constexpr unsigned max_mx_interval_ms = 3'600'000;

// The time limit a check runs under: the component's own reading of
// timeout (0 is 120 seconds, above 600 is 600).
unsigned effective_timeout(std::int16_t timeout);

// The lease of a job's checks when none is given: twice the time limit of
// a check with this timeout, but at least a minute.
unsigned default_lease(std::int16_t timeout);

// --retry-after: "60,300,3600" (whole seconds, each at most a week, at
// least one), or "none" for no retries.
bool parse_delays(std::string_view text, std::vector<unsigned>& out);

// The name sent after "helo" when none is given: this machine's host name,
// or "localhost" when the system cannot say.
std::string default_from();

}  // namespace verimex::hosting
