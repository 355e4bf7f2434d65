// Reading verimex-server's command line with CLI11.
#include "server_options.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include <CLI/CLI.hpp>

#include "verimex/hosting/job_options.h"

namespace verimex_server {

std::optional<std::pair<std::string, std::uint16_t>> parse_listen(std::string_view text)
{
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return std::nullopt;  // a bare IPv6 address needs its brackets
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (host.empty() || port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535)
        return std::nullopt;
    return std::make_pair(std::string(host), static_cast<std::uint16_t>(value));
}

unsigned Options::lease() const
{
    return lease_seconds != 0 ? lease_seconds : verimex::hosting::default_lease(timeout);
}

std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args)
{
    Options opts;
    CLI::App app{"verimex-server: the verifier as an HTTP service, with a web page at /", "verimex-server"};
    app.set_help_flag();  // help is ours, so that parsing has no side effects
    bool help = false;
    app.add_flag("-h,--help", help, "Print this help and exit");
    std::string listen{default_listen};
    app.add_option("--listen", listen, "ADDR:PORT to listen on (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--store", opts.store,
                   "Where jobs are kept: an SQLite file (created when missing) or a postgresql:// URI")
        ->capture_default_str();
    app.add_option("--token", opts.token,
                   "Require \"Authorization: Bearer TOKEN\" on /v1/* and /metrics")
        ->envname("VERIMEX_SERVER_TOKEN");
    app.add_option("-j,--jobs", opts.jobs, "Job checks that run at once")->capture_default_str()
        ->check(CLI::Range(1u, 256u));
    app.add_option("-f,--from", opts.from, "Name sent after \"helo\" (default: this machine's host name)");
    app.add_option("-t,--timeout", opts.timeout, "Time limit of a check in seconds (0: the component's 120)")
        ->capture_default_str()->check(CLI::Range(0, 32767));
    app.add_option("-s,--dns-server", opts.dns_server, "DNS server for the mail-exchanger lookups");
    app.add_option("--check-threads", opts.check_threads, "Single checks (/v1/check) that run at once")
        ->capture_default_str()->check(CLI::Range(1u, 1024u));
    app.add_option("--check-queue", opts.check_queue,
                   "Single checks that may wait for a thread; beyond that: 503 with Retry-After")
        ->capture_default_str()->check(CLI::Range(std::size_t{0}, std::size_t{65536}));
    app.add_option("--max-body", opts.max_body, "Largest request body in bytes; beyond that: 413")
        ->capture_default_str()->check(CLI::Range(std::size_t{1024}, std::size_t{1} << 30));
    app.add_option("--read-timeout", opts.read_timeout,
                   "Seconds a client may keep the server waiting for the next bytes of its request")
        ->capture_default_str()->check(CLI::Range(1u, 3600u));

    app.add_option("--lease", opts.lease_seconds,
                   "Seconds a worker holds an address before another may take it (0: twice the time limit, "
                   "at least 60)")
        ->check(CLI::Range(0u, 604800u));
    app.add_option("--per-mx", opts.per_mx, "Job checks at once per mail server, across every worker of the store")
        ->capture_default_str()->check(CLI::Range(1u, 256u));
    app.add_option("--mx-interval", opts.mx_interval_ms, "Milliseconds between two job checks' starts per mail server")
        ->capture_default_str()->check(CLI::Range(0u, 3600000u));
    std::string retry_after = "300,900,3600,10800";
    app.add_option("--retry-after", retry_after,
                   "Seconds to wait before trying a greylisted (4xx) address again, comma-separated, or none")
        ->capture_default_str();
    app.add_flag("--retry-errors", opts.retry_errors, "Retry timeouts and refused connections too");
    app.add_option("--log-format", opts.log_format,
                   "Log lines on standard error (one per request, one per job event): plain or json")
        ->capture_default_str()->check(CLI::IsMember({"plain", "json"}));

    std::vector<std::string> argv;
    argv.reserve(args.size());
    for (const std::string_view a : args)
        argv.emplace_back(a);
    std::reverse(argv.begin(), argv.end());  // CLI11 takes them last first
    try {
        app.parse(argv);
    } catch (const CLI::ParseError& e) {
        return UsageError{e.what()};
    }
    if (help) {
        opts.help = true;
        opts.help_text = app.help();
        return opts;
    }
    if (!verimex::hosting::parse_delays(retry_after, opts.retry_after))
        return UsageError{"--retry-after wants seconds separated by commas (each at most 604800), or none, not \"" +
                          retry_after + "\""};
    if (opts.lease_seconds != 0 && opts.lease_seconds < verimex::hosting::effective_timeout(opts.timeout))
        return UsageError{"--lease must be at least the time limit of a check (" +
                          std::to_string(verimex::hosting::effective_timeout(opts.timeout)) + " s)"};
    const auto where = parse_listen(listen);
    if (!where)
        return UsageError{"--listen: expected ADDR:PORT, as 127.0.0.1:8025 or [::1]:8025, not \"" + listen + "\""};
    opts.host = where->first;
    opts.port = where->second;
    return opts;
}

}  // namespace verimex_server
