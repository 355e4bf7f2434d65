// verimex-check's command line: what it asks for, how it is read, and the
// help text. Reading the arguments has no side effects, so it can be tested
// without running a check.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "verimex/hosting/job_options.h"
#include "verimex/preflight.h"
#include "verimex/verify.h"

namespace verimex_check {

// The program is a thin layer over the hosting library: its names are
// this program's names.
using namespace verimex::hosting;
using verimex::report;

using verimex::hosting::max_jobs;

struct Options {
    std::string from;        // empty: the machine's host name is used
    std::int16_t timeout = 0;  // 0: the component's default
    std::string dns_server;  // empty: the system's resolver
    bool verbose = false;
    bool help = false;
    unsigned jobs = 1;       // -j: checks that run at the same time
    bool json = false;       // --json: one JSON object per address
    bool progress = true;    // --no-progress turns the progress bar off
    // How each address is asked about (--method; vrfy is the component's
    // check, and prints what this program always printed).
    verimex::method method = verimex::method::automatic;
    std::string mail_from;   // --mail-from; empty: the null sender <>
    verimex::tls_mode tls = verimex::tls_mode::opportunistic;  // --tls
    // --proxy, or VERIMEX_PROXY from the environment: "socks5://...". It
    // may hold a password, so it is never printed.
    std::string proxy;
    bool catch_all = true;   // --no-catch-all turns the random-mailbox probe off
    bool refuse_private_mx = false;  // --refuse-private-mx
    // --recipients-per-session: addresses of one domain that share an SMTP
    // session in a bulk run (methods rcpt and auto).
    unsigned recipients_per_session = default_recipients_per_session;
    bool preflight = false;  // --preflight: check this machine, not addresses
    // The preflight's own settings: the port-25 test host, the public
    // address when known, the blocklist zones (nothing: the defaults).
    std::string preflight_host;
    std::string public_address;
    std::optional<std::vector<std::string>> blocklists;
    // Jobs (--store): the addresses go into a job kept in the store, and
    // this process works on the job until every address has a final
    // result. Empty: a plain run.
    std::string store;
    std::string job = "default";
    bool status = false;              // --status: print the job's counts
    std::string export_format;        // --export jsonl|csv; empty: none
    bool no_wait = false;             // --no-wait: stop when nothing is due now
    JobOptions work;                  // --lease, --per-mx, --mx-interval, --retry-after, ...

    // The operands as given, in order; "-" stands for the lines of
    // standard input. Empty: standard input is read as well.
    std::vector<std::string> addresses;

    // Whether standard input supplies addresses: no operand at all, or "-".
    bool reads_standard_input() const;
};

struct UsageError {
    std::string message;
};

// args are the arguments after the program name, read with CLI11. Options
// may come before, between or after the addresses; "--" ends them, and a
// lone "-" is an operand (standard input, also after "--"). No operand is
// not an error here: the caller decides whether standard input can stand
// in. Short options take their value attached ("-t5") or as the next
// argument ("-t 5"); flags may be grouped ("-vt 5"); long ones take
// "--name VALUE" or "--name=VALUE".
std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args);

// The text printed for --help.
std::string help_text();

// The one-line hint printed after a usage error.
std::string_view usage_hint();

// Whether results are shown as the engine's verdicts (methods rcpt and
// auto) rather than as the component's returnvar (method vrfy).
bool shows_verdicts(const Options& opts);

// The preflight's settings the options ask for.
verimex::preflight_options preflight_settings(const Options& opts);

// The settings of each check the options ask for.
verimex::options check_settings(const Options& opts);

}  // namespace verimex_check
