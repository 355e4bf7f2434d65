// The network seam of the verification engine: finding mail exchangers and
// talking to one of them. The dialog (dialog.cpp) sees only these types, so
// its tests can drive it with a scripted stream; net/ holds the real ones
// (c-ares, TCP, SOCKS5, OpenSSL).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <verimex/verify.h>

namespace verimex::engine {

using clock = std::chrono::steady_clock;
using deadline = clock::time_point;

// ---- resolution -----------------------------------------------------------

struct mx_host {
    std::string name;        // as in the record, without the final dot
    unsigned preference = 0;
};

struct mx_answer {
    enum class status {
        ok,        // hosts: the MX records, in preference order (records of
                   // equal preference in the order the DNS server gave them:
                   // servers rotate them already, and a check stays repeatable)
        implicit,  // no MX record: hosts holds the domain itself (RFC 5321 5.1)
        null_mx,   // "MX 0 ." (RFC 7505): the domain takes no mail
        nxdomain,  // the domain does not exist
        no_host,   // neither MX nor address records
        dns_error, // SERVFAIL, refused, or no answer to any of the tries
                   // made before the deadline
        timeout,   // the deadline ran out before a single try had ended
        cancelled,
    };
    status result = status::dns_error;
    std::vector<mx_host> hosts;
    std::string detail;  // for the transcript: what failed (c-ares's words)
    int error_code = 0;  // errno when this process ran short (EMFILE...), else 0
};

struct host_answer {
    enum class status { ok, none, dns_error, timeout, cancelled };
    status result = status::dns_error;
    std::vector<std::string> addresses;  // numeric, IPv4 first then IPv6
    std::string detail;
    int error_code = 0;  // errno when this process ran short (EMFILE...), else 0
};

struct resolve_settings {
    std::string dns_server;  // "" is the system's resolver; "ADDR" or "ADDR:PORT"
    const cancellation* cancel = nullptr;
};

// Both may be called from any thread; they block until the answer, the
// deadline or a stop request. A lost packet is asked again, until the
// deadline, before a dns_error is given. A numeric address given to
// lookup_host is its own answer.
mx_answer lookup_mx(std::string_view domain, const resolve_settings& settings, deadline until);
host_answer lookup_host(std::string_view host, const resolve_settings& settings, deadline until);

// ---- other records: the preflight's reverse, blocklist and SPF lookups -----

enum class record_type { a, aaaa, ptr, txt };

struct record_question {
    std::string name;
    record_type type = record_type::a;
};

struct record_answer {
    enum class status {
        ok,          // records holds at least one
        nxdomain,    // the name does not exist
        no_records,  // the name exists, without records of the type
        dns_error,   // SERVFAIL, refused, or no answer to any try
        timeout,     // the deadline ran out before a single try had ended
        cancelled,
    };
    status result = status::dns_error;
    // a, aaaa: numeric addresses; ptr: names without the final dot; txt:
    // one entry per record, its strings joined (RFC 7208 section 3.3).
    std::vector<std::string> records;
    std::string detail;
    int error_code = 0;  // errno when this process ran short (EMFILE...), else 0
};

// Asks every question at once through the same resolver as lookup_mx;
// the answers come in the order of the questions. Blocks like lookup_mx.
std::vector<record_answer> lookup_records(std::span<const record_question> questions,
                                          const resolve_settings& settings, deadline until);

// ---- one SMTP connection ---------------------------------------------------

enum class io_status {
    ok,
    timeout,    // the wait's deadline ran out
    closed,     // the peer closed (what it sent before is in the text)
    failed,     // a socket or TLS error (errno in error_code)
    too_long,   // a reply over the bounds (lines, bytes): the rest is not read
    cancelled,
};

// Bounds on what one server reply may be.
inline constexpr std::size_t max_reply_line = 4096;
inline constexpr std::size_t max_reply_bytes = 64 * 1024;
inline constexpr std::size_t max_reply_lines = 200;

struct proxy_settings {
    std::string host;
    std::uint16_t port = 1080;
    std::string user;      // empty: no authentication offered
    std::string password;  // never written anywhere
    // Resolves host when it is a name; "" is the system's resolver.
    std::string dns_server;
};

// "socks5://[USER:PASSWORD@]HOST:PORT", percent-decoded; false for anything else.
bool parse_proxy(std::string_view url, proxy_settings& out);

struct connect_result {
    enum class status { ok, refused, unreachable, timeout, proxy_error, failed, cancelled };
    status result = status::failed;
    // errno; for proxy_error the byte the proxy answered with: its CONNECT
    // reply code (RFC 1928: 2 not allowed by its rules, 5 refused by the
    // mail server, ...), 255 no acceptable authentication method, the
    // RFC 1929 status for a refused user name and password; errno when
    // the proxy itself could not be reached.
    int error_code = 0;
    std::string detail;       // for the transcript; never holds a password
    // Once connected: the address the server sees this end as, as far as
    // this end can tell. Direct, the socket's own address; through a proxy,
    // the address the proxy says it bound (SOCKS5 BND.ADDR), empty when it
    // named none.
    std::string local_address;
};

class smtp_stream {
public:
    virtual ~smtp_stream() = default;

    // Sends bytes (a command with its CR LF).
    virtual io_status send(std::string_view bytes, deadline until) = 0;
    // Reads one whole reply, every line of it as read (line ends included),
    // into text. On closed/timeout/too_long, text holds what did arrive.
    virtual io_status read_reply(std::string& text, deadline until) = 0;
    // The TLS handshake after the server's 220 to STARTTLS. server_name
    // (the MX host's name) goes out as SNI; empty or numeric: none. Bytes
    // the server sent before the handshake are dropped (RFC 3207 section 6).
    virtual io_status start_tls(deadline until, std::string_view server_name = {}) = 0;
    virtual bool encrypted() const = 0;
    virtual std::string tls_version() const = 0;  // "TLSv1.3"; empty when plain
    virtual int error_code() const = 0;           // of the last failed call
    // The last failure in words ("TLS handshake: wrong version number"),
    // for the transcript; empty when none.
    virtual std::string error_text() const = 0;
};

// The address of this machine that traffic to address (numeric) would go
// out from, as the routing table decides; nothing is sent. Empty when
// there is no route or address is not numeric.
std::string source_address_towards(const std::string& address);

// Opens a TCP connection to address:port (numeric), through the proxy when
// one is given (the proxy is handed the address, not a name). Every failure
// to reach or negotiate with the proxy is proxy_error (a proxy that does
// not answer in time: timeout), never refused or unreachable: those would
// speak of the mail server.
std::unique_ptr<smtp_stream> connect_smtp(const std::string& address, std::uint16_t port,
                                          const proxy_settings* proxy, const cancellation* cancel,
                                          deadline until, connect_result& result);

}  // namespace verimex::engine
