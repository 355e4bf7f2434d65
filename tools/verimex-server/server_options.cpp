// Reading verimex-server's command line with CLI11.
#include "server_options.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "browser_guard.h"
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

std::optional<std::string> read_token_file(const std::string& path, std::string& token)
{
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::string first;
    if (!in || (!std::getline(in, first) && in.bad())) {
        const int error = errno != 0 ? errno : EIO;
        return "--token-file: cannot read " + path + ": " + std::generic_category().message(error) + " (errno " +
               std::to_string(error) + ")";
    }
    // The line end an editor leaves, and a CR before it, are not the token's.
    if (first.ends_with('\r'))
        first.pop_back();
    if (first.empty())
        return "--token-file: " + path + " holds no token on its first line";
    token = first;
    return std::nullopt;
}

std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args)
{
    Options opts;
    CLI::App app{"verimex-server: the verifier as an HTTP service, with a web page at /", "verimex-server"};
    app.set_help_flag();  // help is ours, so that parsing has no side effects
    // An option given twice: the last one counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    bool help = false;
    app.add_flag("-h,--help", help, "Print this help and exit");
    std::string listen{default_listen};
    app.add_option("--listen", listen, "ADDR:PORT to listen on (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--store", opts.store,
                   "Where jobs are kept: an SQLite file (created when missing) or a postgresql:// URI")
        ->capture_default_str();
    auto* token = app.add_option("--token", opts.token,
                                 "Require \"Authorization: Bearer TOKEN\" on /v1/* and /metrics")
                      ->envname("VERIMEX_SERVER_TOKEN");
    // A token on the command line is seen by every user of the machine
    // (ps, /proc); a file readable by the service alone is not.
    std::string token_file;
    app.add_option("--token-file", token_file,
                   "Read the token from FILE (its first line), instead of --token or VERIMEX_SERVER_TOKEN")
        ->excludes(token);
    app.add_flag("--no-token", opts.no_token,
                 "Listen on an address other than loopback without a token (anyone who reaches it may use it)")
        ->excludes(token)
        ->excludes("--token-file");
    app.add_option("--allow-host", opts.allow_hosts,
                   "A name the Host field of requests may give (repeatable); loopback and the listen address "
                   "always may")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--allow-private-mx", opts.allow_private_mx,
                 "Let checks connect to mail exchangers at loopback, private, link-local and other "
                 "non-public addresses");
    verimex::hosting::add_number(app, "-j,--jobs", opts.jobs, 1, verimex::hosting::max_jobs,
                                 "Job sessions that run at once (each checks one address, or up to --recipients-per-session of one domain)");
    app.add_option("-f,--from", opts.from, "Name sent after \"helo\" (default: this machine's host name)");
    verimex::hosting::add_number(app, "-t,--timeout", opts.timeout, 0, 32767,
                                 "Time limit of a check in seconds (0: the component's 120)");
    app.add_option("-s,--dns-server", opts.dns_server, "DNS server for the mail-exchanger lookups");
    // Taken by a function, so that no message and no --help repeats the
    // URL: it may hold a password.
    bool proxy_given = false;
    app.add_option_function<std::string>("--proxy", [&opts, &proxy_given](const std::string& url) {
        opts.proxy = url;
        proxy_given = true;
    }, "SOCKS5 proxy for every SMTP connection: socks5://[USER:PASSWORD@]HOST:PORT (or VERIMEX_PROXY)");
    verimex::hosting::add_number(app, "--check-threads", opts.check_threads, 1, 1024,
                                 "Single checks (/v1/check) that run at once");
    verimex::hosting::add_number(app, "--check-queue", opts.check_queue, 0, 65536,
                                 "Single checks that may wait for a thread; beyond that: 503 with Retry-After");
    verimex::hosting::add_number(app, "--store-connections", opts.store_connections, 1, 64,
                                 "Store connections the requests share, at most; a request that finds none "
                                 "free within 2 s: 503 with Retry-After");
    verimex::hosting::add_number(app, "--max-body", opts.max_body, 1024, 1UL << 30,
                                 "Largest request body in bytes; beyond that: 413");
    verimex::hosting::add_number(app, "--read-timeout", opts.read_timeout, 1, 3600,
                                 "Seconds a client may take to send a request's head, and to take in a reply "
                                 "(or each piece of an export)");
    verimex::hosting::add_number(app, "--body-timeout", opts.body_timeout, 1, 3600,
                                 "Seconds a client may take to send a request's body");
    std::vector<std::string> given;
    verimex::hosting::add_job_options(app, opts.work, given);
    verimex::hosting::add_session_option(app, opts.recipients_per_session);
    app.add_option("--log-format", opts.log_format,
                   "Log lines on standard error (one per request, one per job event): plain or json")
        ->capture_default_str()->check(CLI::IsMember({"plain", "json"}));

    if (const std::optional<std::string> wrong = verimex::hosting::parse_command_line(app, args))
        return UsageError{*wrong};
    if (help) {
        opts.help = true;
        opts.help_text = app.help();
        return opts;
    }
    if (!token_file.empty()) {
        std::string read;
        if (const std::optional<std::string> wrong = read_token_file(token_file, read))
            return UsageError{*wrong};
        opts.token = read;
    }
    if (!proxy_given)
        if (const char* env = std::getenv("VERIMEX_PROXY"))
            opts.proxy = env;
    if (!opts.proxy.empty() && !opts.proxy.starts_with("socks5://"))
        return UsageError{std::string(proxy_given ? "--proxy" : "VERIMEX_PROXY") +
                          " wants socks5://[USER:PASSWORD@]HOST:PORT"};
    if (const std::string wrong = verimex::hosting::check_job_options(opts.work, opts.timeout); !wrong.empty())
        return UsageError{wrong};
    const auto where = parse_listen(listen);
    if (!where)
        return UsageError{"--listen: expected ADDR:PORT, as 127.0.0.1:8025 or [::1]:8025, not \"" + listen + "\""};
    opts.host = where->first;
    opts.port = where->second;
    // Beyond loopback, every machine that reaches the address could use
    // the server (and its store); that takes a token, or saying so.
    if (opts.token.empty() && !opts.no_token && !is_loopback(opts.host))
        return UsageError{"listening on " + (opts.host.find(':') != std::string::npos ? "[" + opts.host + "]"
                                                                                       : opts.host) +
                          " without a token would let anyone who reaches it use this server: give --token or "
                          "--token-file, or --no-token if that is meant"};
    return opts;
}

}  // namespace verimex_server
