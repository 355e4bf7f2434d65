// The preflight self-check: before a bulk run, whether mail servers will
// believe this machine. Four things decide whether they answer a probe at
// all or refuse "our address" instead of saying anything about a mailbox:
//
//   port25      can this machine (or its SOCKS5 proxy) open TCP port 25 to
//               the outside and read a mail server's greeting?
//   reverse_dns does the public address have a PTR name that resolves back
//               to the same address (forward-confirmed reverse DNS)?
//   helo        is the HELO name that PTR name?
//   blocklist   is the address on a DNS blocklist (one finding per zone,
//               asked as RFC 5782 says)?
//   spf         does the mail-from domain publish one SPF record?
//
// Every check is time-limited and ends on the cancellation's stop request.
// The report is a typed value with the shape of its JSON form:
//
//   {"blocked": false, "cancelled": false, "error": "",
//    "address": "192.0.2.7", "address_source": "connection", "address_guess": false,
//    "findings": [{"check": "port25", "status": "ok", "subject": "...",
//                  "text": "...", "advice": "..."}, ...]}
//
// A host prints one line per finding (preflight_text) and exits non-zero
// when the report is blocked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quoverimex.h"
#include "verify.h"

namespace verimex {

enum class preflight_status {
    ok,              // "ok": nothing to do
    warning,         // "warning": some servers will refuse or distrust the probes
    blocking,        // "blocking": a bulk run from here would be refused
    could_not_tell,  // "could_not_tell": the check could not decide (DNS failure, no address, ...)
};

VERIMEX_API std::string_view name(preflight_status value);
VERIMEX_API std::optional<preflight_status> parse_preflight_status(std::string_view word);

// The port-25 test host when none is given: the mail exchanger of the
// largest mailbox provider, which answers every client with its greeting.
inline constexpr std::string_view default_preflight_host = "gmail-smtp-in.l.google.com";
// The blocklists asked when none are given: the three most mail servers
// consult. Spamhaus answers 127.255.255.254 to queries that come through a
// large public resolver (8.8.8.8, 1.1.1.1) and Barracuda answers only
// registered resolvers: those show as could_not_tell, not as listed.
VERIMEX_API std::vector<std::string> default_blocklists();

struct preflight_options {
    // The name sent with EHLO/HELO by the run to come; "" is this machine's
    // name, as verify() uses.
    std::string helo;
    // The run's envelope sender; "" is the null sender, and then SPF is
    // looked up for the HELO name itself (the identity RFC 7208 section
    // 2.3 checks for the null sender).
    std::string mail_from;
    // The address mail servers see this machine as (IPv4 or IPv6). "" is a
    // guess: the local address of the port-25 connection; through a proxy
    // the address the proxy says it connected out from (SOCKS5 BND.ADDR);
    // when port 25 could not be reached directly, the address the routing
    // table would send from. A guessed private address (behind NAT) says
    // nothing of the public one: reverse_dns, helo and blocklist are then
    // could_not_tell, and this option is the way to name it.
    std::string public_address;
    // The host whose port 25 is tried (a name or a numeric address).
    std::string test_host = std::string(default_preflight_host);
    // "" (connect directly) or "socks5://[USER:PASSWORD@]HOST:PORT", as the
    // run will use it. The password is never written anywhere.
    std::string proxy;
    // DNS blocklist zones; empty asks none.
    std::vector<std::string> blocklists = default_blocklists();
    // Seconds each step may take (the connection and greeting, each round
    // of DNS questions): 0 is 10, above 600 is 600.
    std::int16_t timeout = 0;
    // The DNS server to ask ("ADDR" or "ADDR:PORT"); "" is the system's.
    std::string dns_server;
    const cancellation* cancel = nullptr;
    // Try no test host at a loopback, private, link-local, shared or
    // reserved address (the port-25 finding says so instead): a service
    // that runs preflights for others must not probe its own network.
    bool refuse_private_test_host = false;
};

struct preflight_finding {
    std::string check;   // "port25", "reverse_dns", "helo", "blocklist", "spf"
    preflight_status status = preflight_status::could_not_tell;
    std::string subject; // what was checked: "host:25", the address, the HELO name, the zone, the domain
    std::string text;    // one line: what was found
    std::string advice;  // one line: what to do about it; empty when nothing
};

struct preflight_report {
    // Some finding is blocking: a bulk run from here would be refused.
    bool blocked = false;
    // A stop request ended the checks; the findings not made say so.
    bool cancelled = false;
    // An option that cannot be used (not an address, not a proxy URL);
    // nothing was checked and blocked is set. Empty when none.
    std::string error;
    // The address checked for reverse DNS and blocklists; empty when none
    // was known.
    std::string address;
    // Where it came from: "given", "connection" (the port-25 connection's
    // local end), "proxy" (SOCKS5 BND.ADDR), "route" (the routing table's
    // choice); empty when none.
    std::string address_source;
    // The address was not given and is a private, loopback or otherwise
    // non-public one: the outside sees another.
    bool address_guess = false;
    // In the order of the checks above, one blocklist finding per zone.
    std::vector<preflight_finding> findings;
};

// Runs every check; blocks until they are done, each bounded by
// options.timeout. Every outcome is in the report; throws only
// std::bad_alloc.
VERIMEX_API preflight_report preflight(const preflight_options& options = {});

// The report for people: a line per finding, "STATUS  CHECK  SUBJECT: TEXT",
// its advice on the next line indented, then the verdict line ("preflight:
// blocked ..." or "preflight: nothing blocks a run ..."). Each line ends
// with "\n".
VERIMEX_API std::string preflight_text(const preflight_report& report);

}  // namespace verimex
