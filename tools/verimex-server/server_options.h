// verimex-server's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "verimex/hosting/job_options.h"

namespace verimex_server {

// The store used when --store is not given: an SQLite file in the folder
// the server is started from.
inline constexpr std::string_view default_store = "verimex-jobs.sqlite";
inline constexpr std::string_view default_listen = "127.0.0.1:8025";

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8025;
    std::string store{default_store};
    std::string token;       // empty: no authentication
    // --no-token: listening beyond loopback without a token is meant.
    bool no_token = false;
    // --allow-host: names a request's Host may give besides the loopback
    // names and addresses and the listen address.
    std::vector<std::string> allow_hosts;
    // --allow-private-mx: checks may connect to mail exchangers at
    // loopback, private and other addresses that are not the internet's.
    bool allow_private_mx = false;
    unsigned jobs = 4;       // -j: job sessions (checks of one address or of a group) at once
    std::string from;        // empty: the machine's host name
    std::int16_t timeout = 0;  // 0: the component's default
    std::string dns_server;
    // "" or socks5://[USER:PASSWORD@]HOST:PORT: every SMTP connection of
    // this server's checks goes through it. Never printed or logged.
    std::string proxy;
    unsigned check_threads = 32;     // single checks at once
    std::size_t check_queue = 256;   // single checks waiting beyond those
    unsigned store_connections = 4;  // store connections of the requests, at most
    std::size_t max_body = 8u << 20; // bytes of a request body
    unsigned read_timeout = 10;      // seconds for a request's head, and for a reply to be taken
    unsigned body_timeout = 60;      // seconds for a request's body
    // Job options, as verimex-check takes them.
    verimex::hosting::JobOptions work;
    // --recipients-per-session: addresses of one domain the job workers
    // ask about in one SMTP session (not stored with a job).
    unsigned recipients_per_session = verimex::hosting::default_recipients_per_session;
    std::string log_format = "plain";  // --log-format: plain or json
    bool help = false;
    std::string help_text;

    // The lease the server's workers take addresses under.
    unsigned lease() const { return work.lease(timeout); }

    // Request threads: one per waiting or running single check, and
    // room for every other request beside them.
    unsigned request_threads() const
    {
        return static_cast<unsigned>(check_threads + check_queue + 64);
    }
};

struct UsageError {
    std::string message;
};

// args are the arguments after the program name.
std::variant<Options, UsageError> parse_args(std::span<const std::string_view> args);

// The token in the first line of the file at path (its line end dropped),
// or why there is none: the file cannot be read (with the OS's error), or
// its first line is empty.
std::optional<std::string> read_token_file(const std::string& path, std::string& token);

// "HOST:PORT" or "[V6]:PORT"; nothing when malformed.
std::optional<std::pair<std::string, std::uint16_t>> parse_listen(std::string_view text);

}  // namespace verimex_server
