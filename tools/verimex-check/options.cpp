// Reading verimex-check's arguments and the help text that documents them.
#include "options.h"

#include "verimex/hosting/records.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>

#if defined(_WIN32)
#  include <cstdlib>
#else
#  include <unistd.h>
#endif

namespace verimex_check {

namespace {

constexpr std::string_view usage_line =
    "usage: verimex-check [-f FROM] [-t SECONDS] [-s DNS-SERVER] [-j JOBS] [-v] [--json]\n"
    "                     [--method vrfy|rcpt|auto] [--mail-from ADDRESS]\n"
    "                     [--tls try|require|off] [--proxy URL] [--no-catch-all]\n"
    "                     [--refuse-private-mx] [--recipients-per-session N]\n"
    "                     [--no-progress] [ADDRESS | -]...\n"
    "       verimex-check --preflight [-f FROM] [--mail-from ADDRESS] [--proxy URL]\n"
    "                     [-t SECONDS] [-s DNS-SERVER]\n"
    "       verimex-check --store STORE [--job NAME] [job options] [check options]\n"
    "                     [ADDRESS | -]...\n"
    "       verimex-check --store STORE [--job NAME] --status\n"
    "       verimex-check --store STORE [--job NAME] --export jsonl|csv\n"
    "       verimex-check --help\n";

UsageError error(std::string text)
{
    return UsageError{std::move(text)};
}

}  // namespace

std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args)
{
    Options opts;
    CLI::App app{"verimex-check", "verimex-check"};
    // The help is this program's own text (help_text), printed by main:
    // reading the arguments has no side effects.
    app.set_help_flag();
    // An option given twice: the last one counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-h,--help", opts.help);
    app.add_flag("-v", opts.verbose);
    app.add_flag("--json", opts.json);
    app.add_flag_callback("--no-progress", [&opts] { opts.progress = false; });
    app.add_option_function<std::string>("-f", [&opts](const std::string& name) {
        if (name.empty())
            throw CLI::ValidationError("-f", "needs a non-empty name");
        opts.from = name;
    });
    // The component takes a signed 16-bit timeout, and a negative one would
    // only be refused by the watchdog later, so the range is checked here.
    add_number(app, "-t", opts.timeout, 0, 32767);
    app.add_option("-s", opts.dns_server);
    add_number(app, "-j", opts.jobs, 1, max_jobs);
    app.add_option_function<std::string>("--method", [&opts](const std::string& word) {
        const auto method = verimex::parse_method(word);
        if (!method)
            throw CLI::ValidationError("--method", "wants vrfy, rcpt or auto, not '" + word + "'");
        opts.method = *method;
    });
    app.add_option_function<std::string>("--tls", [&opts](const std::string& word) {
        const auto mode = verimex::parse_tls_mode(word);
        if (!mode)
            throw CLI::ValidationError("--tls", "wants try, require or off, not '" + word + "'");
        opts.tls = *mode;
    });
    app.add_option_function<std::string>("--mail-from", [&opts](const std::string& sender) {
        if (sender.find_first_of("\r\n<>") != std::string::npos)
            throw CLI::ValidationError("--mail-from", "wants a bare address, without <> or line ends");
        opts.mail_from = sender;
    });
    // The proxy's own error words it without the URL: it may hold a
    // password, and usage errors are printed.
    bool proxy_given = false;
    app.add_option_function<std::string>("--proxy", [&opts, &proxy_given](const std::string& url) {
        opts.proxy = url;
        proxy_given = true;
    });
    app.add_flag_callback("--no-catch-all", [&opts] { opts.catch_all = false; });
    app.add_flag("--refuse-private-mx", opts.refuse_private_mx);
    add_session_option(app, opts.recipients_per_session);
    app.add_flag("--preflight", opts.preflight);
    std::vector<std::string> preflight_given;
    const auto preflight_only = [&preflight_given](std::string name) {
        return [&preflight_given, name] { preflight_given.push_back(name); };
    };
    app.add_option_function<std::string>("--preflight-host", [&opts, preflight_only](const std::string& host) {
        opts.preflight_host = host;
        preflight_only("--preflight-host")();
    });
    app.add_option_function<std::string>("--public-address", [&opts, preflight_only](const std::string& address) {
        opts.public_address = address;
        preflight_only("--public-address")();
    });
    app.add_option_function<std::string>("--blocklists", [&opts, preflight_only](const std::string& list) {
        std::vector<std::string> zones;
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t comma = std::min(list.find(',', start), list.size());
            if (comma > start)
                zones.push_back(list.substr(start, comma - start));
            start = comma + 1;
        }
        opts.blocklists = std::move(zones);
        preflight_only("--blocklists")();
    });

    // Job options, and which of them were given: they need --store.
    std::vector<std::string> given;
    const auto note = [&given](std::string name) {
        return [&given, name](const auto&) { given.push_back(name); };
    };
    app.add_option_function<std::string>("--store", [&opts](const std::string& store) {
        if (store.empty())
            throw CLI::ValidationError("--store", "needs a file or a postgresql:// URI");
        opts.store = store;
    });
    app.add_option_function<std::string>("--job", [&opts, note](const std::string& name) {
        if (!valid_job_name(name))
            throw CLI::ValidationError("--job", "wants a name of " + std::string(job_name_rule));
        opts.job = name;
        note("--job")(name);
    });
    app.add_flag_callback("--status", [&opts, note] {
        opts.status = true;
        note("--status")(0);
    });
    app.add_option_function<std::string>("--export", [&opts, note](const std::string& format) {
        if (format != "jsonl" && format != "csv")
            throw CLI::ValidationError("--export", "wants jsonl or csv, not '" + format + "'");
        opts.export_format = format;
        note("--export")(format);
    });
    app.add_flag_callback("--no-wait", [&opts, note] {
        opts.no_wait = true;
        note("--no-wait")(0);
    });
    add_job_options(app, opts.work, given);
    app.add_option("addresses", opts.addresses)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

    if (const std::optional<std::string> wrong = parse_command_line(app, args))
        return error(*wrong);
    if (!proxy_given)
        if (const char* env = std::getenv("VERIMEX_PROXY"))
            opts.proxy = env;
    if (!opts.proxy.empty() && !opts.proxy.starts_with("socks5://"))
        return error(std::string(proxy_given ? "--proxy" : "VERIMEX_PROXY") +
                     " wants socks5://[USER:PASSWORD@]HOST:PORT");
    if (opts.method == verimex::method::vrfy &&
        (!opts.mail_from.empty() || !opts.proxy.empty() || opts.tls != verimex::tls_mode::opportunistic ||
         !opts.catch_all)) {
        // The component's check takes none of these: saying so beats
        // ignoring them.
        return error("--mail-from, --tls, --proxy and --no-catch-all work with --method rcpt or auto");
    }
    if (!opts.preflight && !preflight_given.empty())
        return error(preflight_given.front() + " belongs to --preflight");
    if (opts.preflight && (!opts.addresses.empty() || !opts.store.empty()))
        return error("--preflight checks this machine: it takes no address and no --store");
    if (opts.store.empty() && !given.empty())
        return error(given.front() + " works on a job: it needs --store");
    if (opts.status && !opts.export_format.empty())
        return error("--status and --export are two runs: give one of them");
    if ((opts.status || !opts.export_format.empty()) && !opts.addresses.empty())
        return error(std::string(opts.status ? "--status" : "--export") + " takes no address");
    if (!opts.store.empty())
        if (const std::string wrong = check_job_options(opts.work, opts.timeout); !wrong.empty())
            return error(wrong);
    return opts;
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
of the address's domain and asks each in turn on TCP port 25 until one
decides. By default (--method auto) each is asked with VRFY and, when that
decides nothing, with RCPT TO inside a mail transaction that is never
completed, with a second RCPT for a random mailbox to tell a domain that
accepts every address apart. --method vrfy is the component's check alone,
with the output this program has always printed.

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
  -j JOBS        check up to JOBS addresses (or sessions of addresses of one
                 domain, see --recipients-per-session) at the same time, 1 to
                 10000 (default 1); each runs on a thread of its own with its
                 own verifier objects. The output is the same as with -j 1.
  --method METHOD
                 vrfy, rcpt or auto (default auto; see above)
  --mail-from ADDRESS
                 the envelope sender of the probe (default: the null sender
                 <>, as mail servers' own address probes use)
  --tls MODE     STARTTLS: try (default: when offered; a failed handshake is
                 asked again without it), require (no TLS, no verdict), off
  --proxy URL    make every SMTP connection through a SOCKS5 proxy,
                 socks5://[USER:PASSWORD@]HOST:PORT (default: the
                 environment variable VERIMEX_PROXY, if set); the password is
                 never printed or stored
  --no-catch-all do not ask for a random mailbox of the domain
  --refuse-private-mx
                 connect to no mail exchanger at a loopback, private
                 (RFC 1918, RFC 4193), link-local, shared (100.64/10),
                 multicast or reserved address: such a check ends unknown
                 refused_address, "ERROR: could not connect to mail server"
                 (default: connect wherever DNS points)
  --recipients-per-session N
                 with rcpt or auto, ask about up to N addresses of one
                 domain in one SMTP session (1 to 100, default 20; 1: a
                 session per address); each address still gets its own
                 transcript and the verdict a session of its own gives
  --preflight    check this machine instead of addresses: whether mail
                 servers will believe it (port 25, reverse DNS, the HELO
                 name, DNS blocklists, SPF); one line per finding with what
                 to do, exit status 1 when something would get a run
                 blocked. With --preflight-host HOST (the port-25 test
                 host), --public-address ADDRESS and --blocklists
                 ZONE,... (empty: none).
  -v             print the SMTP transcript after each result line
  --json         print one JSON object per line instead (below)
  --no-progress  no progress bar
  -h, --help     print this help and exit
  --             end of options: what follows are addresses

Output: one line per address, in the order given, each as soon as it and
every address before it are done. With --method rcpt or auto:
  ADDRESS: VERDICT REASON[: REPLY]
VERDICT is deliverable, undeliverable, risky or unknown; REASON says why
(accepted, accept_all, no_such_mailbox, mailbox_disabled, mailbox_full,
greylisted, blocked, tls_required, timeout, could_not_connect, proxy_error,
dns_error, no_mail_server, invalid_syntax, server_error, ...); REPLY is the
server's reply that decided, when one did and the verdict is not
deliverable, escaped as below. With --method vrfy:
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
and, with --method rcpt or auto, the engine's
  "method"      "vrfy" or "rcpt": the command whose answer decided, or null
  "verdict", "reason"
  "mx"          the mail exchanger that decided, or null
  "code", "enhanced"
                the deciding reply's code (a number) and its enhanced
                status code ("5.1.1"), or null
  "catch_all"   true or false, null when not probed
  "tls", "tls_version"
                whether the deciding session was encrypted, and how
  "role_account", "disposable"
                a role address (postmaster, info, ...); a throw-away domain
With rcpt and auto, "returnvar" is 000 exactly when the verdict is
deliverable, and "verified" is true exactly then.
Text from servers that is not valid UTF-8 has each bad byte sequence
replaced by U+FFFD; control characters are written as \n, \r, \t, \uXXXX.
-v changes nothing there: the transcript is always included.

Jobs: with --store the addresses go into a job kept in a store, each once,
and the program works on the job until every address of it has a final
result. Workers may join a job at any time, on this machine or (with
PostgreSQL) on others: run the same command with no address. A worker that
is killed loses at most the checks it had under way; they are taken again
when their lease runs out. No address is ever given two final results.
A job keeps the settings it was made with (--method, -f, --mail-from, -t,
--tls, --no-catch-all), and every worker checks its addresses with them,
whatever its own options say; --proxy and -s stay each worker's own. Jobs
made before settings were stored are checked with VRFY.
  --store STORE    an SQLite file (made when missing), or a PostgreSQL
                   server: postgresql://USER@HOST/DATABASE (the tables are
                   made on first use)
  --job NAME       the job (default: default)
  --status         print the job's counts as one JSON object and exit
                   (by state, by result, by verdict, and by verdict and
                   reason)
  --export FORMAT  print every address of the job in the order added, with
                   its state, result, attempts and time of the last one:
                   jsonl (the --json members of vrfy and "state",
                   "attempts", "checked_at", then the engine's members,
                   null before a result) or csv (the same columns, a header
                   row, RFC 4180 quoting)
  --no-wait        exit when nothing is due now, leaving addresses that wait
                   for a retry to a later run
  --lease SECONDS  how long an address stays taken by a worker that stops
                   answering (default: twice the time limit, at least 60;
                   never less than the time limit)
  --per-mx K       at most K sessions at once per mail server (default 2; 1
                   to 10000)
  --mx-interval MS at least MS milliseconds between the starts of two
                   sessions on one mail server (default 1000); a session asks
                   about up to --recipients-per-session addresses of one
                   domain that are due together. Both hold across every
                   worker of the store. A mail server is the first mail
                   exchanger of the domain once a check has seen it, so the
                   domains of one provider share its limits.
  --retry-after LIST
                   a 4xx reply (greylisting: "try again later")
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
  0    every address was verified, that is deliverable (or none was
       given); with --preflight: nothing would get a run blocked
  1    some address was not verified; with --preflight: something would
  2    usage error; with --status or --export: no such job
  3    the platform failed for some address (wins over 1), or the output
       could not be written (a full disk, a closed pipe)
  130  interrupted by SIGINT (Ctrl-C); 143 by SIGTERM
)";
    return text;
}

std::string_view usage_hint()
{
    return "Try 'verimex-check --help' for more information.";
}

bool shows_verdicts(const Options& opts)
{
    return opts.method != verimex::method::vrfy;
}

verimex::preflight_options preflight_settings(const Options& opts)
{
    verimex::preflight_options settings;
    settings.helo = opts.from.empty() ? default_from() : opts.from;
    settings.mail_from = opts.mail_from;
    settings.proxy = opts.proxy;
    settings.timeout = opts.timeout;
    settings.dns_server = opts.dns_server;
    settings.public_address = opts.public_address;
    if (!opts.preflight_host.empty())
        settings.test_host = opts.preflight_host;
    if (opts.blocklists)
        settings.blocklists = *opts.blocklists;
    return settings;
}

verimex::options check_settings(const Options& opts)
{
    verimex::options settings;
    settings.method = opts.method;
    settings.helo = opts.from.empty() ? default_from() : opts.from;
    settings.timeout = opts.timeout;
    settings.dns_server = opts.dns_server;
    settings.mail_from = opts.mail_from;
    settings.tls = opts.tls;
    settings.proxy = opts.proxy;
    settings.catch_all = opts.catch_all;
    settings.refuse_private_mx = opts.refuse_private_mx;
    settings.recipients_per_session = opts.recipients_per_session;
    return settings;
}

}  // namespace verimex_check
