// Reading verimex-check's arguments and the help text that documents them.
#include "options.h"

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
    "       verimex-check --help\n";

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
        if (arg.starts_with("--"))
            return error("unknown option '" + std::string(arg) + "'");

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
abandoned: they could take up to the time limit, and a Ctrl-C at a terminal
also stops their lookup tool, so their results could not be trusted. The
output is thus always the beginning of a full run's, and a run can be
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

std::string default_from()
{
#if defined(_WIN32)
    if (const char* name = std::getenv("COMPUTERNAME"); name && *name)
        return name;
#else
    // POSIX leaves a cut-off name without a terminator; the extra byte and
    // the zeroed buffer keep it terminated.
    char name[256 + 1] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        return name;
#endif
    return "localhost";
}

}  // namespace verimex_check
