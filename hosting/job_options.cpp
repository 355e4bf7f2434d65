// The shared settings of work on many addresses.
#include "verimex/hosting/job_options.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>

#include <CLI/CLI.hpp>

namespace verimex::hosting {

unsigned effective_timeout(std::int16_t timeout)
{
    if (timeout <= 0)
        return 120;
    return timeout > 600 ? 600u : static_cast<unsigned>(timeout);
}

unsigned default_lease(std::int16_t timeout)
{
    return std::max(60u, 2 * effective_timeout(timeout));
}

namespace {

bool parse_number(std::string_view text, unsigned long low, unsigned long high, unsigned long& out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return false;
    out = value;
    return true;
}

template <class T>
CLI::Option* add_whole_number(CLI::App& app, const std::string& name, T& target, unsigned long low,
                              unsigned long high, const std::string& description)
{
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    CLI::Option* option = app.add_option_function<std::string>(
        name,
        [&target, low, high, range, name](const std::string& text) {
            unsigned long value = 0;
            if (!parse_number(text, low, high, value))
                throw CLI::ValidationError(name, "wants a whole number from " + range + ", not '" + text + "'");
            target = static_cast<T>(value);
        },
        description);
    option->type_name("NUMBER");
    option->default_str(std::to_string(target));
    return option;
}

}  // namespace

CLI::Option* add_number(CLI::App& app, const std::string& name, unsigned& target, unsigned long low,
                        unsigned long high, const std::string& description)
{
    return add_whole_number(app, name, target, low, high, description);
}

CLI::Option* add_number(CLI::App& app, const std::string& name, std::int16_t& target, unsigned long low,
                        unsigned long high, const std::string& description)
{
    return add_whole_number(app, name, target, low, high, description);
}

CLI::Option* add_number(CLI::App& app, const std::string& name, std::size_t& target, unsigned long low,
                        unsigned long high, const std::string& description)
{
    return add_whole_number(app, name, target, low, high, description);
}

unsigned JobOptions::lease(std::int16_t timeout) const
{
    return lease_seconds != 0 ? lease_seconds : default_lease(timeout);
}

void add_job_options(CLI::App& app, JobOptions& opts, std::vector<std::string>& given)
{
    const auto note = [&given](std::string name) {
        return [&given, name](const auto&) {
            if (std::find(given.begin(), given.end(), name) == given.end())
                given.push_back(name);
        };
    };
    add_number(app, "--lease", opts.lease_seconds, 0, max_lease_seconds,
               "Seconds a worker holds an address before another may take it (0: twice the time limit, "
               "at least 60; never less than the time limit)")
        ->each(note("--lease"));
    add_number(app, "--per-mx", opts.per_mx, 1, max_jobs,
               "Sessions (checks of one address, or of several of one domain) at once per mail server, across "
               "every worker of the store")
        ->each(note("--per-mx"));
    add_number(app, "--mx-interval", opts.mx_interval_ms, 0, max_mx_interval_ms,
               "Milliseconds between the starts of two sessions on one mail server, across every worker")
        ->each(note("--mx-interval"));
    app.add_option_function<std::string>(
           "--retry-after",
           [&opts, note](const std::string& text) {
               if (!parse_delays(text, opts.retry_after))
                   throw CLI::ValidationError("--retry-after",
                                              "wants seconds separated by commas (each at most 604800), or "
                                              "none, not '" + text + "'");
               note("--retry-after")(text);
           },
           "Seconds to wait before each further try of a greylisted (4xx) address, comma-separated, or none "
           "(default 300,900,3600,10800)");
    app.add_flag_callback(
        "--retry-errors",
        [&opts, note] {
            opts.retry_errors = true;
            note("--retry-errors")(0);
        },
        "Retry timeouts and refused connections too");
}

void add_session_option(CLI::App& app, unsigned& target)
{
    add_number(app, "--recipients-per-session", target, 1, max_recipients_per_session,
               "Addresses of one domain asked about in one SMTP session with --method rcpt or auto "
               "(default 20; 1: a session each)");
}

std::optional<std::string> parse_command_line(CLI::App& app, std::span<const std::string_view> args)
{
    std::vector<std::string> argv(args.begin(), args.end());
    std::reverse(argv.begin(), argv.end());  // CLI11 takes them last first
    try {
        app.parse(argv);
    } catch (const CLI::ParseError& e) {
        std::string text = e.what();
        if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z')
            text.front() = static_cast<char>(text.front() - 'A' + 'a');
        std::replace(text.begin(), text.end(), '\n', ' ');
        return text;
    }
    return std::nullopt;
}

std::string check_job_options(const JobOptions& opts, std::int16_t timeout)
{
    if (opts.lease_seconds != 0 && opts.lease_seconds < effective_timeout(timeout))
        return "--lease " + std::to_string(opts.lease_seconds) + " is shorter than the time limit of a check (" +
               std::to_string(effective_timeout(timeout)) + " seconds)";
    return {};
}

bool parse_delays(std::string_view text, std::vector<unsigned>& out)
{
    out.clear();
    if (text == "none")
        return true;
    for (;;) {
        const std::size_t comma = text.find(',');
        unsigned long seconds = 0;
        if (!parse_number(text.substr(0, comma), 0, max_lease_seconds, seconds))
            return false;
        out.push_back(static_cast<unsigned>(seconds));
        if (comma == std::string_view::npos)
            return true;
        text.remove_prefix(comma + 1);
    }
}

std::string default_from()
{
    // POSIX leaves a cut-off name without a terminator; the extra byte and
    // the zeroed buffer keep it terminated.
    char name[256 + 1] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        return name;
    return "localhost";
}

}  // namespace verimex::hosting
