// The verification engine: one address to a verdict, with the evidence
// behind it.
//
// It stands beside the component (quoverimex.h) and leaves it as it is.
// Method vrfy runs exactly the component's check; methods rcpt and auto ask
// inside a mail transaction that is never completed (MAIL FROM, RCPT TO, no
// DATA), tell catch-all domains apart with a second RCPT for a random
// mailbox, use STARTTLS when offered, and may go out through a SOCKS5
// proxy. Mail exchangers are found in process (c-ares), without a child
// process.
//
// verify() may be called from many threads at once; each call blocks its
// caller until the check is over, bounded by options::total_timeout.
// verify_many() checks a list, and the addresses of one domain share their
// SMTP sessions (see there).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quoverimex.h"

namespace verimex {

// How an address is asked about.
enum class method {
    vrfy,       // the component's check, unchanged: "vrfy"
    rcpt,       // RCPT TO inside a mail transaction: "rcpt"
    automatic,  // VRFY first, RCPT in the same session when VRFY decides nothing: "auto"
};

// STARTTLS.
enum class tls_mode {
    opportunistic,  // "try": used when offered; a failed handshake reconnects without it
    require,        // "require": no STARTTLS, no verdict (unknown/tls_required)
    off,            // "off": never
};

enum class verdict { deliverable, undeliverable, risky, unknown };

// Why: the words of the report's "reason" member.
enum class reason {
    accepted,           // the server accepted the address, and refused a random mailbox
    accept_all,         // the server accepts any mailbox of the domain (catch-all)
    cannot_verify,      // VRFY answered 252 and nothing else was asked (method vrfy)
    invalid_syntax,     // not an address; nothing was looked up
    no_mail_server,     // NXDOMAIN, a null MX, or no address to deliver to
    no_such_mailbox,    // 550/551/553 with 5.1.x, or a user-unknown text
    mailbox_disabled,   // x.2.1
    mailbox_full,       // 452/552 or x.2.2
    greylisted,         // 450/451 with 4.7.x or a greylisting text: try again later
    blocked,            // our address is refused (blocklist, policy), not the mailbox
    tls_required,       // the server wants STARTTLS and it could not be had
    timeout,            // a time limit ran out
    could_not_connect,  // no mail exchanger took the connection
    proxy_error,        // the SOCKS5 proxy refused or failed
    dns_error,          // the lookup failed (SERVFAIL, no answer): says nothing of the domain
    refused_address,    // a mail exchanger's address is one this host will not connect to
    server_error,       // anything else the server said
};

// The names used in reports, options and on command lines.
VERIMEX_API std::string_view name(method value);
VERIMEX_API std::string_view name(tls_mode value);
VERIMEX_API std::string_view name(verdict value);
VERIMEX_API std::string_view name(reason value);
// The reverse; nothing for a word that names none.
VERIMEX_API std::optional<method> parse_method(std::string_view word);
VERIMEX_API std::optional<tls_mode> parse_tls_mode(std::string_view word);
VERIMEX_API std::optional<verdict> parse_verdict(std::string_view word);
VERIMEX_API std::optional<reason> parse_reason(std::string_view word);

// Lets a host end checks in flight: once requested, every check that was
// given this object ends its waits at once and comes back with
// report::cancelled set. One object may serve any number of checks on any
// number of threads.
class VERIMEX_API cancellation {
public:
    cancellation();
    ~cancellation();
    cancellation(const cancellation&) = delete;
    cancellation& operator=(const cancellation&) = delete;

    void request();
    bool requested() const;

    struct impl;
    const impl& state() const { return *impl_; }

private:
    std::unique_ptr<impl> impl_;
};

struct options {
    verimex::method method = verimex::method::automatic;
    // The name sent with EHLO/HELO (the component's `from` with method vrfy).
    std::string helo;
    // The envelope sender of the probe; empty is the null sender <>.
    std::string mail_from;
    // Seconds each wait may take, read as the component reads `timeout`:
    // 0 is 120, above 600 is 600.
    std::int16_t timeout = 0;
    // Seconds the whole check may take; 0 is four times the time limit.
    unsigned total_timeout = 0;
    tls_mode tls = tls_mode::opportunistic;
    // "" (connect directly) or "socks5://[USER:PASSWORD@]HOST:PORT".
    std::string proxy;
    // Ask for a random mailbox of the domain as well, to tell catch-all
    // domains apart.
    bool catch_all = true;
    // The DNS server to ask (an address, optionally ":port"); "" is the
    // system's resolver.
    std::string dns_server;
    // Refuse mail exchangers on loopback, private, link-local and other
    // reserved addresses (reason refused_address).
    bool refuse_private_mx = false;
    // A file of disposable-address domains, one a line; "" is the list
    // shipped with the library.
    std::string disposable_list;
    // When not null: a stop request ends the check (see cancellation).
    const cancellation* cancel = nullptr;
    // verify_many(): addresses of one domain asked in one SMTP session
    // (one transaction, an RCPT TO each); 0 is 20.
    unsigned recipients_per_session = 20;
};

// What a check found. The members are those of the JSON report.
struct report {
    std::string address;
    // With method vrfy the component's returnvar; otherwise "000" exactly
    // when the verdict is deliverable, else the deciding reply as read, or
    // the component's text for the same case (time-out, could not connect,
    // no mail server).
    std::string returnvar;
    bool verified = false;  // verdict deliverable
    // Every line sent and received, in the component's form (CR LF ends).
    std::string transcript;
    // A platform failure's message (the check could not run as it should);
    // empty when none.
    std::string error;
    // The command whose answer decided; nothing when none did.
    std::optional<verimex::method> method;  // only vrfy or rcpt
    verimex::verdict verdict = verimex::verdict::unknown;
    verimex::reason reason = verimex::reason::server_error;
    std::optional<std::string> mx;        // the host that decided
    std::optional<int> code;              // the deciding reply's code
    std::optional<std::string> enhanced;  // its enhanced status code, "5.1.1"
    std::optional<bool> catch_all;        // nothing when not probed
    bool tls = false;                     // the deciding session was encrypted
    std::string tls_version;              // "TLSv1.3", or empty
    bool role_account = false;            // postmaster, abuse, info, ...
    bool disposable = false;              // the domain is a disposable-address one
    // Not results: the check was ended by a stop request, or could not be
    // made at all (the process ran short of file descriptors). Either way
    // it says nothing about the address, and a host checks it again.
    bool cancelled = false;
    bool unusable = false;
};

// Checks one address. Every outcome is in the report; it throws only
// std::bad_alloc.
VERIMEX_API report verify(std::string_view address, const options& opts = {});

// Checks a list: one report per address, in the order given, each what
// verify() would give it alone, with its own transcript (the session's
// shared lines, then its own VRFY/RCPT and reply, then the session's
// goodbye). With methods rcpt and auto the addresses of one domain share
// one lookup and SMTP sessions with its mail exchanger: banner, EHLO,
// STARTTLS and MAIL FROM once per session, then an RCPT TO for each of up
// to options::recipients_per_session addresses, and the catch-all probe
// once per domain. A session ends early, and the addresses left go on in a
// new one, after three refused recipients in a row (before a server's
// error limits make it slow or hang up), on a 421, or on "452 too many
// recipients" (later sessions with that server then take as many as it
// accepted). options::total_timeout bounds each address from the start of
// the first session it is part of. Domains are checked one after another:
// call it from several threads to check several at once. With method vrfy
// each address is the component's check of its own. Throws only
// std::bad_alloc.
VERIMEX_API std::vector<report> verify_many(std::span<const std::string> addresses, const options& opts = {});

}  // namespace verimex
