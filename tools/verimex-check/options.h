// verimex-check's command line: what it asks for, how it is read, and the
// help text. Reading the arguments has no side effects, so it can be tested
// without running a check.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace verimex_check {

// The most workers -j accepts. Each is a thread with its own host window
// and at most one open connection; a waiting check costs next to nothing,
// so the number in flight is bounded by how slow the servers are, and by
// the descriptors and threads the system gives (the run says so, and goes
// on with fewer, when it gets less).
inline constexpr unsigned max_jobs = 10000;

struct Options {
    std::string from;        // empty: the machine's host name is used
    std::int16_t timeout = 0;  // 0: the component's default
    std::string dns_server;  // empty: the system's resolver
    bool verbose = false;
    bool help = false;
    unsigned jobs = 1;       // -j: checks that run at the same time
    bool json = false;       // --json: one JSON object per address
    bool progress = true;    // --no-progress turns the progress bar off
    // Jobs (--store): the addresses go into a job kept in the store, and
    // this process works on the job until every address has a final
    // result. Empty: a plain run.
    std::string store;
    std::string job = "default";
    bool status = false;              // --status: print the job's counts
    std::string export_format;        // --export jsonl|csv; empty: none
    bool no_wait = false;             // --no-wait: stop when nothing is due now
    unsigned lease_seconds = 0;       // --lease; 0: twice the time limit, at least 60
    unsigned per_mx = 2;              // --per-mx: checks at once per mail server
    unsigned mx_interval_ms = 1000;   // --mx-interval: between two starts there
    // --retry-after: seconds before each further attempt after a 4xx reply.
    std::vector<unsigned> retry_after = {300, 900, 3600, 10800};
    bool retry_errors = false;        // --retry-errors: timeouts and refusals too

    // The operands as given, in order; "-" stands for the lines of
    // standard input. Empty: standard input is read as well.
    std::vector<std::string> addresses;

    // Whether standard input supplies addresses: no operand at all, or "-".
    bool reads_standard_input() const;
};

// The time limit a check runs under: the component's own reading of
// timeout (0 is 120 seconds, above 600 is 600).
unsigned effective_timeout(std::int16_t timeout);

// The lease of a job's checks when none is given: twice the time limit of
// a check with this timeout, but at least a minute.
unsigned default_lease(std::int16_t timeout);

// The lease a job run uses: --lease, or the default.
unsigned lease_for(const Options& opts);

// --retry-after: "60,300,3600" (whole seconds, each at most a week, at
// least one), or "none" for no retries.
bool parse_delays(std::string_view text, std::vector<unsigned>& out);

struct UsageError {
    std::string message;
};

// args are the arguments after the program name. Options may come before,
// between or after the addresses; "--" ends them, and a lone "-" is an
// operand (standard input, also after "--"). No operand is not an error
// here: the caller decides whether standard input can stand in. Short options take their value attached ("-t5") or as the next
// argument ("-t 5"); flags may be grouped ("-vt 5").
std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args);

// The text printed for --help.
std::string help_text();

// The one-line hint printed after a usage error.
std::string_view usage_hint();

// The name sent after "helo" when -f is not given: this machine's host name,
// or "localhost" when the system cannot say.
std::string default_from();

struct CheckSettings;
// The settings of each check the options ask for.
CheckSettings check_settings(const Options& opts);

}  // namespace verimex_check
