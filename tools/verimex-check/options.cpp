// Reading verimex-check's arguments and the help text that documents them.
#include "options.h"

#include "verimex/hosting/records.h"

#include <algorithm>
#include <charconv>
#include <limits>

#if defined(_WIN32)
#  include <cstdlib>
#else
#  include <unistd.h>
#endif

namespace verimex_check {

namespace {

constexpr std::string_view usage_line =
    "usage: verimex-check [-f FROM] [-t SECONDS] [-s DNS-SERVER] [-j JOBS] [-v] [--json]\n"
    "                     [--no-progress] [ADDRESS | -]...\n"
    "       verimex-check --store STORE [--job NAME] [job options] [check options]\n"
    "                     [ADDRESS | -]...\n"
    "       verimex-check --store STORE [--job NAME] --status\n"
    "       verimex-check --store STORE [--job NAME] --export jsonl|csv\n"
    "       verimex-check --help\n";

// The longest delay --retry-after takes: a week.
constexpr unsigned long max_retry_delay = 7UL * 24 * 3600;

// Whole decimal digits only: no sign, no blanks, no suffix, and within
// [low, high]. The component takes a signed 16-bit timeout, and a negative
// one would only be refused by the watchdog later, so ranges are checked
// here.
bool parse_count(std::string_view text, unsigned long low, unsigned long high, unsigned long& out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    if (value < low || value > high)
        return false;
    out = value;
    return true;
}

UsageError error(std::string text)
{
    return UsageError{std::move(text)};
}

}  // namespace

std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args)
{
    Options opts;
    bool options_ended = false;
    // Job options seen, for the check that --store came with them.
    std::vector<std::string> job_options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            opts.addresses.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "--help") {
            opts.help = true;
            continue;
        }
        if (arg == "--json") {
            opts.json = true;
            continue;
        }
        if (arg == "--no-progress") {
            opts.progress = false;
            continue;
        }
        if (arg == "--status") {
            opts.status = true;
            job_options.push_back("--status");
            continue;
        }
        if (arg == "--no-wait") {
            opts.no_wait = true;
            job_options.push_back("--no-wait");
            continue;
        }
        if (arg == "--retry-errors") {
            opts.retry_errors = true;
            job_options.push_back("--retry-errors");
            continue;
        }
        if (arg.starts_with("--")) {
            // The job options that take a value: "--name VALUE" or
            // "--name=VALUE".
            const std::size_t equals = arg.find('=');
            const std::string_view name = arg.substr(0, equals);
            static constexpr std::string_view valued[] = {"--store",    "--job",   "--export",      "--lease",
                                                          "--per-mx",   "--mx-interval", "--retry-after"};
            if (std::find(std::begin(valued), std::end(valued), name) == std::end(valued))
                return error("unknown option '" + std::string(arg) + "'");
            std::string_view value;
            if (equals != std::string_view::npos)
                value = arg.substr(equals + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return error("option '" + std::string(name) + "' needs a value");
            unsigned long number = 0;
            if (name == "--store") {
                if (value.empty())
                    return error("--store needs a file or a postgresql:// URI");
                opts.store = value;
                continue;
            }
            job_options.emplace_back(name);
            if (name == "--job") {
                if (!valid_job_name(value))
                    return error("--job wants a name of " + std::string(job_name_rule));
                opts.job = value;
            } else if (name == "--export") {
                if (value != "jsonl" && value != "csv")
                    return error("--export wants jsonl or csv, not '" + std::string(value) + "'");
                opts.export_format = value;
            } else if (name == "--lease") {
                if (!parse_count(value, 1, 7UL * 24 * 3600, number))
                    return error("--lease wants whole seconds from 1 to 604800, not '" + std::string(value) + "'");
                opts.lease_seconds = static_cast<unsigned>(number);
            } else if (name == "--per-mx") {
                if (!parse_count(value, 1, max_jobs, number))
                    return error("--per-mx wants a number of checks from 1 to " + std::to_string(max_jobs) +
                                 ", not '" + std::string(value) + "'");
                opts.per_mx = static_cast<unsigned>(number);
            } else if (name == "--mx-interval") {
                if (!parse_count(value, 0, 3'600'000, number))
                    return error("--mx-interval wants milliseconds from 0 to 3600000, not '" + std::string(value) +
                                 "'");
                opts.mx_interval_ms = static_cast<unsigned>(number);
            } else if (name == "--retry-after") {
                if (!parse_delays(value, opts.retry_after))
                    return error("--retry-after wants seconds separated by commas (each at most 604800), or none, "
                                 "not '" + std::string(value) + "'");
            }
            continue;
        }

        // A group of short options; one taking a value ends the group.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const char letter = arg[k];
            if (letter == 'v') {
                opts.verbose = true;
                continue;
            }
            if (letter == 'h') {
                opts.help = true;
                continue;
            }
            if (letter != 'f' && letter != 't' && letter != 's' && letter != 'j')
                return error("unknown option '-" + std::string(1, letter) + "'");

            std::string_view value;
            if (k + 1 < arg.size()) {
                value = arg.substr(k + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return error("option '-" + std::string(1, letter) + "' needs a value");
            }
            switch (letter) {
            case 'f':
                if (value.empty())
                    return error("-f needs a non-empty name");
                opts.from = value;
                break;
            case 't': {
                unsigned long seconds = 0;
                if (!parse_count(value, 0, static_cast<unsigned long>(std::numeric_limits<std::int16_t>::max()),
                                 seconds))
                    return error("-t wants whole seconds from 0 to 32767, not '" + std::string(value) + "'");
                opts.timeout = static_cast<std::int16_t>(seconds);
                break;
            }
            case 'j': {
                unsigned long jobs = 0;
                if (!parse_count(value, 1, max_jobs, jobs))
                    return error("-j wants a number of checks at a time from 1 to " + std::to_string(max_jobs) +
                                 ", not '" + std::string(value) + "'");
                opts.jobs = static_cast<unsigned>(jobs);
                break;
            }
            case 's':
                opts.dns_server = value;
                break;
            }
            break;
        }
    }
    if (opts.store.empty() && !job_options.empty())
        return error(job_options.front() + " works on a job: it needs --store");
    if (opts.status && !opts.export_format.empty())
        return error("--status and --export are two runs: give one of them");
    if ((opts.status || !opts.export_format.empty()) && !opts.addresses.empty())
        return error(std::string(opts.status ? "--status" : "--export") + " takes no address");
    if (!opts.store.empty() && opts.lease_seconds != 0 && opts.lease_seconds < effective_timeout(opts.timeout))
        return error("--lease " + std::to_string(opts.lease_seconds) + " is shorter than the time limit of a check (" +
                     std::to_string(effective_timeout(opts.timeout)) + " seconds)");
    return opts;
}

unsigned lease_for(const Options& opts)
{
    return opts.lease_seconds != 0 ? opts.lease_seconds : default_lease(opts.timeout);
}

bool Options::reads_standard_input() const
{
    return addresses.empty() || std::find(addresses.begin(), addresses.end(), "-") != addresses.end();
}

std::string help_text()
{
    std::string text(usage_line);
    text += R"(
Verifies each e-mail address with libverimex: looks up the mail exchangers
of the address's domain and asks each in turn, on TCP port 25, with the SMTP
command VRFY, until one answers 250.

Addresses come from the command line and from standard input: "-" stands for
the lines of standard input at that place, and with no address given at all
standard input is read (unless it is a terminal). One address per line;
surrounding blanks and a CR are dropped, and blank lines and lines whose
first other character is "#" are skipped. Standard input is read to its end
before the first check starts.

Options:
  -f FROM        the name sent after "helo" (default: this machine's host
                 name; many servers refuse a bare "helo")
  -t SECONDS     time limit, 0 to 32767, for the connection and for the first
                 line of each server reply; 0 means 120, above 600 means 600
                 (default 0)
  -s DNS-SERVER  DNS server for the mail-exchanger lookup (default: the
                 system's resolver)
  -j JOBS        check up to JOBS addresses at the same time, 1 to 10000
                 (default 1); each runs on a thread of its own with its own
                 verifier objects. The output is the same as with -j 1.
  -v             print the SMTP transcript after each result line
  --json         print one JSON object per line instead (below)
  --no-progress  no progress bar
  -h, --help     print this help and exit
  --             end of options: what follows are addresses

Output: one line per address, in the order given, each as soon as it and
every address before it are done:
  ADDRESS: RESULT
RESULT is 000 when the address was verified; otherwise the component's
message (for example "ERROR: could not connect to mail server") or the
server's reply to VRFY (for example "550 5.1.1 <x@example.org>: Recipient
address rejected"). The final line end is dropped; any other line end or
control character is shown escaped (\r, \n, \t, \xNN) and a backslash as \\,
so each result stays on one line.

With -v the transcript of the address follows its result line: every line
the component sent or received, indented by four spaces, one line per CR LF,
exactly as received apart from the escaping of control characters.

With --json each address gives one line on standard output, a JSON object
(RFC 8259) with the members
  "address"     the address as given
  "returnvar"   the component's result, exactly (line ends included)
  "verified"    true when the result is 000, else false
  "transcript"  the SMTP transcript, exactly (CR LF line ends)
  "error"       null, or the message of a platform failure (below)
Text from servers that is not valid UTF-8 has each bad byte sequence
replaced by U+FFFD; control characters are written as \n, \r, \t, \uXXXX.
-v changes nothing there: the transcript is always included.

Jobs: with --store the addresses go into a job kept in a store, each once,
and the program works on the job until every address of it has a final
result. Workers may join a job at any time, on this machine or (with
PostgreSQL) on others: run the same command with no address. A worker that
is killed loses at most the checks it had under way; they are taken again
when their lease runs out. No address is ever given two final results.
  --store STORE    an SQLite file (made when missing), or a PostgreSQL
                   server: postgresql://USER@HOST/DATABASE (the tables are
                   made on first use)
  --job NAME       the job (default: default)
  --status         print the job's counts as one JSON object and exit
  --export FORMAT  print every address of the job in the order added, with
                   its state, result, attempts and time of the last one:
                   jsonl (the --json members and "state", "attempts",
                   "checked_at") or csv (a header row, RFC 4180 quoting)
  --no-wait        exit when nothing is due now, leaving addresses that wait
                   for a retry to a later run
  --lease SECONDS  how long an address stays taken by a worker that stops
                   answering (default: twice the time limit, at least 60;
                   never less than the time limit)
  --per-mx K       at most K checks at once per mail server (default 2)
  --mx-interval MS at least MS milliseconds between the starts of two checks
                   on one mail server (default 1000). Both hold across every
                   worker of the store. A mail server is the first mail
                   exchanger of the domain once a check has seen it, so the
                   domains of one provider share its limits.
  --retry-after LIST
                   a 4xx reply to VRFY (greylisting: "try again later")
                   puts the address back; it is tried again after each of
                   these delays in seconds in turn, and then the last reply
                   stands (default 300,900,3600,10800; none: no retries)
  --retry-errors   retry timeouts and refused connections the same way
In a job run the results are printed as they are written, in the order
they finish; -v, --json and the exit status are as above, over the
addresses this process checked. A store that cannot be opened, made or
reached ends the program with a message and exit status 3, before any
check or when it happens.

When the platform itself fails during a check (for example a socket call),
the error is printed on standard error as
  verimex-check: ADDRESS: MESSAGE
in place of the result line, followed with -v by the transcript so far
(with --json it is the "error" member instead); the remaining addresses are
still checked.

When standard error is a terminal and more than one address is checked, a
progress bar there shows the addresses done and in all, the rate and the
time taken; it is cleared at the end.

Ctrl-C (SIGINT) or SIGTERM stops the run at once: the results of the
addresses done so far are printed, in order, up to the first one not done,
and the program exits with 130 (SIGTERM: 143). Checks under way are
cancelled and their results dropped: a Ctrl-C at a terminal also stops
their lookup tool, so they could not be trusted. The output is thus always the beginning of a full run's, and a run can be
resumed after the last address printed.

Exit status:
  0    every address was verified (or none was given)
  1    some address was not verified
  2    usage error
  3    the platform failed for some address (wins over 1)
  130  interrupted by SIGINT (Ctrl-C); 143 by SIGTERM
)";
    return text;
}

std::string_view usage_hint()
{
    return "Try 'verimex-check --help' for more information.";
}

verimex::options check_settings(const Options& opts)
{
    verimex::options settings;
    // The component's own check, as this program has always run it.
    settings.method = verimex::method::vrfy;
    settings.helo = opts.from.empty() ? default_from() : opts.from;
    settings.timeout = opts.timeout;
    settings.dns_server = opts.dns_server;
    return settings;
}

}  // namespace verimex_check
