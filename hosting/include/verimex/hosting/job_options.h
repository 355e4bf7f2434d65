// The settings both programs share for work on many addresses: the time
// limit as the component reads it, the lease it implies, the retry delays,
// and the HELO name a check sends when none is given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

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

// The addresses of one domain one SMTP session asks about in a bulk run
// (--recipients-per-session): at most, and when not given. 1 is a session
// per address.
inline constexpr unsigned max_recipients_per_session = 100;
inline constexpr unsigned default_recipients_per_session = 20;

// How the workers of a job take and retry its addresses: the options both
// programs take for it, defined once (add_job_options).
struct JobOptions {
    unsigned lease_seconds = 0;      // --lease; 0: twice the time limit, at least 60
    unsigned per_mx = 2;             // --per-mx: checks at once per mail server
    unsigned mx_interval_ms = 1000;  // --mx-interval: between two starts there
    // --retry-after: seconds before each further attempt after a 4xx reply.
    std::vector<unsigned> retry_after = {300, 900, 3600, 10800};
    bool retry_errors = false;       // --retry-errors: timeouts and refusals too

    // The lease the workers take addresses under: --lease, or the default
    // for checks with this timeout.
    unsigned lease(std::int16_t timeout) const;
};

// Adds --lease, --per-mx, --mx-interval, --retry-after and --retry-errors
// to app, read into opts. Each is listed in `given` by its name once it
// was given on the command line (a program may want --store with them).
void add_job_options(CLI::App& app, JobOptions& opts, std::vector<std::string>& given);

// Adds --recipients-per-session, read into target. It holds for plain runs
// and for jobs alike, and is a worker's own: it is not stored with a job.
void add_session_option(CLI::App& app, unsigned& target);

// Reads args (those after the program's name) with app. Returns the usage
// error as both programs word it (lower case, one line); nothing when the
// arguments were read.
std::optional<std::string> parse_command_line(CLI::App& app, std::span<const std::string_view> args);

// What check_job_options finds wrong with a lease for checks of this
// timeout; empty when nothing is.
std::string check_job_options(const JobOptions& opts, std::int16_t timeout);

// Adds an option that takes a whole number from low to high, in decimal
// digits only: no sign, no blanks, no suffix, and a leading 0 is not octal.
// Every number of either program's command line is read this way.
CLI::Option* add_number(CLI::App& app, const std::string& name, unsigned& target, unsigned long low,
                        unsigned long high, const std::string& description = {});
CLI::Option* add_number(CLI::App& app, const std::string& name, std::int16_t& target, unsigned long low,
                        unsigned long high, const std::string& description = {});
CLI::Option* add_number(CLI::App& app, const std::string& name, std::size_t& target, unsigned long low,
                        unsigned long high, const std::string& description = {});

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
