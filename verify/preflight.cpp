// preflight(): whether mail servers will believe this machine. Port 25
// first, since its connection tells the address the outside sees; then one
// round of DNS questions asked at once (the address's PTR, each blocklist,
// the SPF domain's TXT), and a second for what the first named (the PTR
// names' addresses, the blocklists' TXT reasons). Each step has its own
// deadline. Every finding's words are here.
#include <verimex/preflight.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verify/address.h"
#include "verify/net.h"
#include "verify/net/stream.h"
#include "verify/private_address.h"
#include "verify/stop.h"
#include "verify/texts.h"

namespace verimex {

namespace {

using engine::clock;
using engine::host_name;
using engine::unsafe_for_smtp;
using engine::deadline;
using engine::record_answer;
using engine::record_question;
using engine::record_type;
using rstatus = record_answer::status;

constexpr std::int16_t default_step_seconds = 10;
constexpr std::int16_t max_step_seconds = 600;
// After the greeting a QUIT is sent, as a polite client does; its answer
// is not waited for longer than this.
constexpr auto quit_wait = std::chrono::seconds(2);
// PTR names whose addresses are looked up: an address with more is rare,
// and a peer must not make this ask without end.
constexpr std::size_t max_ptr_names = 4;
// A text from the network (a greeting, a TXT record) in a one-line finding.
constexpr std::size_t max_quoted = 200;

constexpr std::string_view port25 = "port25";
constexpr std::string_view reverse_dns = "reverse_dns";
constexpr std::string_view helo_check = "helo";
constexpr std::string_view blocklist = "blocklist";
constexpr std::string_view spf = "spf";

preflight_finding finding(std::string_view check, preflight_status status, std::string subject, std::string text,
                          std::string advice = {})
{
    return {std::string(check), status, std::move(subject), std::move(text), std::move(advice)};
}

// What a peer sent, fit for one line: its first line, cut at max_quoted
// (between characters, not inside one).
std::string quoted(std::string_view text)
{
    const std::size_t end = text.find_first_of("\r\n");
    if (end != std::string_view::npos)
        text = text.substr(0, end);
    if (text.size() <= max_quoted)
        return std::string(text);
    std::size_t cut = max_quoted;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut)) + "...";
}

// Findings go to terminals and into JSON: no control bytes, and UTF-8 that
// a JSON writer takes. A peer's bytes that are not UTF-8 show as '?'.
void make_printable(std::string& text)
{
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = '?';
    }
    if (!engine::valid_utf8(text))
        for (char& c : text)
            if (static_cast<unsigned char>(c) >= 0x80)
                c = '?';
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string without_final_dot(std::string_view name)
{
    while (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return std::string(name);
}

std::string joined(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

// The numeric address in its one written form (inet_ntop's); empty for
// anything else.
std::string canonical_address(std::string_view text)
{
    std::string host(text);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN] = "";
    if (::inet_pton(AF_INET, host.c_str(), bytes) == 1 && ::inet_ntop(AF_INET, bytes, out, sizeof out) != nullptr)
        return out;
    if (::inet_pton(AF_INET6, host.c_str(), bytes) == 1 && ::inet_ntop(AF_INET6, bytes, out, sizeof out) != nullptr)
        return out;
    return {};
}

bool is_v6(const std::string& address)
{
    return address.find(':') != std::string::npos;
}

// The address's labels in reverse, as reverse DNS and blocklists name it
// (RFC 5782 section 2.1 for IPv4, 2.4 for IPv6): "7.2.0.192" for
// 192.0.2.7, 32 nibbles for IPv6.
std::string reversed(const std::string& address)
{
    unsigned char bytes[16];
    std::string out;
    if (::inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        for (int i = 3; i >= 0; --i)
            out += std::to_string(bytes[i]) + (i > 0 ? "." : "");
    } else if (::inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        static constexpr char hex[] = "0123456789abcdef";
        for (int i = 15; i >= 0; --i) {
            out += hex[bytes[i] & 0x0f];
            out += '.';
            out += hex[bytes[i] >> 4];
            out += i > 0 ? "." : "";
        }
    }
    return out;
}

// A zone to ask: a DNS name of letters, digits, '-', '_' and dots.
bool zone_name(std::string_view zone)
{
    if (zone.empty() || zone.size() > 200 || zone.front() == '.' || zone.find("..") != std::string_view::npos)
        return false;
    return std::all_of(zone.begin(), zone.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
}

bool failed(rstatus s)
{
    return s == rstatus::dns_error || s == rstatus::timeout || s == rstatus::cancelled;
}

// Words for a lookup that failed.
std::string failure(const record_answer& a)
{
    if (a.result == rstatus::cancelled)
        return "stopped before the answer came";
    return a.detail.empty() ? std::string("the lookup failed") : a.detail;
}

const std::string retry_advice =
    "check that the DNS server answers (the dns_server option names another) and run the preflight again";
const std::string address_advice =
    "give the address mail servers see this machine as (the public_address option)";

// Everything the checks share.
struct run {
    run(const preflight_options& o, preflight_report& into)
        : opts(o), resolve{o.dns_server, o.cancel}, proxied(!o.proxy.empty()), report(into)
    {
    }

    const preflight_options& opts;
    engine::resolve_settings resolve;
    std::chrono::seconds step{default_step_seconds};
    engine::proxy_settings proxy;
    bool proxied = false;
    std::string helo;
    std::string spf_domain;  // empty: no SPF identity to look up
    std::string spf_whose;   // "the mail-from domain", "the HELO name"
    // Why no address is known, when none is.
    std::string no_address = "no address to check: it is learnt from the port-25 connection, which was not made";
    preflight_report& report;

    deadline next_deadline() const { return clock::now() + step; }
    bool stopped() const { return engine::stop_requested(opts.cancel); }
};

// ---- port 25 ---------------------------------------------------------------

preflight_finding check_port25(run& r)
{
    const std::string subject = engine::net::endpoint_text(r.opts.test_host, 25);
    const std::string via = r.proxied ? " through the proxy " + engine::net::endpoint_text(r.proxy.host, r.proxy.port)
                                      : std::string();
    const deadline until = r.next_deadline();
    const engine::host_answer found = engine::lookup_host(r.opts.test_host, r.resolve, until);
    if (found.result == engine::host_answer::status::cancelled)
        return finding(port25, preflight_status::could_not_tell, subject, "stopped before the test host was looked up");
    if (found.result != engine::host_answer::status::ok)
        return finding(port25, preflight_status::could_not_tell, subject,
                       "the test host " + r.opts.test_host + " could not be looked up: " + found.detail,
                       retry_advice + ", or name another test host");

    engine::connect_result connected;
    std::unique_ptr<engine::smtp_stream> stream;
    std::string target;
    std::size_t refused = 0;
    for (const std::string& address : found.addresses) {
        target = address;
        if (r.opts.refuse_private_test_host && engine::refused_mx_address(address)) {
            ++refused;
            continue;
        }
        stream = engine::connect_smtp(address, 25, r.proxied ? &r.proxy : nullptr, r.opts.cancel, until, connected);
        if (stream || connected.result == engine::connect_result::status::timeout ||
            connected.result == engine::connect_result::status::cancelled ||
            connected.result == engine::connect_result::status::proxy_error)
            break;
    }
    const std::string where = engine::net::endpoint_text(target, 25);
    if (!stream && refused > 0 && refused == found.addresses.size())
        return finding(port25, preflight_status::could_not_tell, subject,
                       "the test host " + r.opts.test_host + " is at " + where +
                           ", a loopback, private or reserved address: not tried",
                       "name a test host on the internet");
    if (!stream) {
        // Without a connection the address is still the one traffic would
        // leave from, when nothing stands between: the routing table says.
        if (!r.proxied && !found.addresses.empty()) {
            r.report.address = engine::source_address_towards(found.addresses.front());
            if (!r.report.address.empty())
                r.report.address_source = "route";
        }
        using cs = engine::connect_result::status;
        if (connected.result == cs::cancelled)
            return finding(port25, preflight_status::could_not_tell, subject, "stopped before the connection was made");
        if (connected.result == cs::failed)
            return finding(port25, preflight_status::could_not_tell, subject,
                           "the connection to " + where + via + " could not be tried: " + connected.detail,
                           "this machine could not make the attempt (the error says why), which says nothing of "
                           "the network: run the preflight again");
        // SOCKS5 replies 3 to 6: the proxy tried, and its own network did
        // not get through. Any other failure through a proxy is the proxy's.
        if (connected.result == cs::proxy_error && connected.error_code >= 3 && connected.error_code <= 6)
            return finding(port25, preflight_status::blocking, subject,
                           "the proxy could not reach port 25: " + connected.detail,
                           "the proxy's own network blocks port 25: use a proxy on a host that may send mail");
        if (r.proxied)
            return finding(port25, preflight_status::blocking, subject,
                           "no connection to port 25" + via + ": " + connected.detail,
                           "every check of the run would fail the same way: check the proxy's address, user name "
                           "and password, and that its rules let connections to port 25 out");
        return finding(port25, preflight_status::blocking, subject, "no connection to port 25: " + connected.detail,
                       "outgoing port 25 is blocked here (most cloud networks block it): run from a host that may "
                       "send mail, ask the provider to lift the block, or go out through a SOCKS5 proxy (the proxy "
                       "option)");
    }
    if (!connected.local_address.empty()) {
        r.report.address = canonical_address(connected.local_address);
        r.report.address_source = r.proxied ? "proxy" : "connection";
    } else {
        r.no_address = "no address to check: the proxy did not say which address it connects out from";
    }

    std::string greeting;
    const engine::io_status read = stream->read_reply(greeting, r.next_deadline());
    if (read == engine::io_status::cancelled)
        return finding(port25, preflight_status::could_not_tell, subject, "stopped while waiting for the greeting");
    if (read != engine::io_status::ok || greeting.size() < 3) {
        const std::string what = read == engine::io_status::timeout
                                     ? "no greeting within " + std::to_string(r.step.count()) + " s"
                                     : "the connection ended before a greeting" +
                                           (greeting.empty() ? std::string() : " (\"" + quoted(greeting) + "\")");
        return finding(port25, preflight_status::could_not_tell, subject,
                       "connected to " + where + via + ", but " + what,
                       "something on the way may take port-25 connections and hold them (an intercepting "
                       "firewall): try another test host, or a proxy");
    }
    // Polite to the test host; what it answers changes nothing.
    const deadline quit_until = std::min(clock::now() + quit_wait, r.next_deadline());
    if (stream->send(engine::texts::quit_line, quit_until) == engine::io_status::ok) {
        std::string bye;
        stream->read_reply(bye, quit_until);
    }
    const std::string said = "\"" + quoted(greeting) + "\"";
    if (greeting[0] != '2')
        return finding(port25, preflight_status::warning, subject,
                       "port 25 is open" + via + ", but " + where + " greets this address with " + said,
                       "the test host refuses this address itself: see the blocklist findings, or go out from "
                       "another address");
    return finding(port25, preflight_status::ok, subject,
                   "connected to " + where + via + " and read its greeting " + said);
}

// ---- the DNS checks -----------------------------------------------------

struct listing {
    enum class kind { not_listed, listed, refused, odd, failed } what = kind::failed;
    std::vector<std::string> answers;
    std::string reason;  // the list's TXT record, when listed and it has one
    std::string detail;  // why the lookup failed
};

// RFC 5782: an entry is an A record in 127.0.0.0/8 (127.0.0.2 and up);
// 127.255.255.0/24 is what the large lists answer when they will not
// answer (Spamhaus: .254 a query through a public resolver, .255 too many
// queries, .252 a zone name mistyped); anything outside 127/8 is no
// blocklist answer at all (a resolver that rewrites NXDOMAIN).
listing read_listing(const record_answer& a)
{
    listing l;
    if (a.result == rstatus::nxdomain || a.result == rstatus::no_records) {
        l.what = listing::kind::not_listed;
        return l;
    }
    if (a.result != rstatus::ok) {
        l.detail = failure(a);
        return l;
    }
    l.answers = a.records;
    bool listed = false;
    bool refused = false;
    bool odd = false;
    for (const std::string& address : a.records) {
        if (address.rfind("127.255.255.", 0) == 0)
            refused = true;
        else if (address.rfind("127.", 0) == 0)
            listed = true;
        else
            odd = true;
    }
    l.what = refused ? listing::kind::refused : odd ? listing::kind::odd : listed ? listing::kind::listed
                                                                              : listing::kind::not_listed;
    return l;
}

// Everything the DNS said, from two rounds of questions asked at once: the
// first for the address's PTR, each blocklist and the SPF domain's TXT;
// the second for what the first named (the PTR names' addresses, the TXT
// reasons of the lists that list the address).
struct dns_answers {
    record_answer ptr;
    std::vector<std::string> ptr_names;       // at most max_ptr_names
    std::vector<record_answer> forward;       // per PTR name
    std::vector<listing> listings;            // per blocklist zone
    std::optional<record_answer> spf;         // when there is a domain to ask
};

dns_answers ask_dns(const run& r, bool address_usable)
{
    const std::string& address = r.report.address;
    const std::string reverse = reversed(address);
    std::vector<record_question> first_q;
    if (address_usable) {
        first_q.push_back({reverse + (is_v6(address) ? ".ip6.arpa" : ".in-addr.arpa"), record_type::ptr});
        for (const std::string& zone : r.opts.blocklists)
            first_q.push_back({reverse + "." + without_final_dot(zone), record_type::a});
    }
    if (!r.spf_domain.empty())
        first_q.push_back({r.spf_domain, record_type::txt});
    std::vector<record_answer> first = engine::lookup_records(first_q, r.resolve, r.next_deadline());

    dns_answers d;
    if (!r.spf_domain.empty()) {
        d.spf = std::move(first.back());
        first.pop_back();
    }
    if (!address_usable)
        return d;
    d.ptr = std::move(first.front());
    if (d.ptr.result == rstatus::ok)
        for (const std::string& n : d.ptr.records)
            if (d.ptr_names.size() < max_ptr_names)
                d.ptr_names.push_back(n);

    std::vector<record_question> second_q;
    for (const std::string& n : d.ptr_names)
        second_q.push_back({n, is_v6(address) ? record_type::aaaa : record_type::a});
    std::vector<std::size_t> reason_of;  // per zone: its TXT question, or none
    for (std::size_t i = 0; i < r.opts.blocklists.size(); ++i) {
        d.listings.push_back(read_listing(first[1 + i]));
        reason_of.push_back(second_q.size());
        if (d.listings.back().what == listing::kind::listed)
            second_q.push_back({first_q[1 + i].name, record_type::txt});
    }
    std::vector<record_answer> second = engine::lookup_records(second_q, r.resolve, r.next_deadline());
    d.forward.assign(second.begin(), second.begin() + static_cast<std::ptrdiff_t>(d.ptr_names.size()));
    for (std::size_t i = 0; i < d.listings.size(); ++i) {
        if (d.listings[i].what != listing::kind::listed)
            continue;
        const record_answer& txt = second[reason_of[i]];
        if (txt.result == rstatus::ok && !txt.records.empty())
            d.listings[i].reason = txt.records.front();
    }
    return d;
}

std::string refusal_words(const std::vector<std::string>& answers)
{
    for (const std::string& a : answers) {
        if (a == "127.255.255.254")
            return "it does not answer queries that come through a public or open resolver";
        if (a == "127.255.255.255")
            return "it counts too many queries from this resolver";
        if (a == "127.255.255.252")
            return "it says the zone name is mistyped";
    }
    return "it refused the query";
}

bool is_spf(std::string_view record)
{
    // "v=spf1" alone or followed by a space (RFC 7208 section 4.5), in any case.
    return record.size() >= 6 && lower(record.substr(0, 6)) == "v=spf1" && (record.size() == 6 || record[6] == ' ');
}

preflight_finding check_spf(const run& r, const record_answer* a)
{
    const std::string& domain = r.spf_domain;
    if (domain.empty())
        return finding(spf, preflight_status::could_not_tell, r.helo,
                       r.spf_whose + " is an address literal, which has no SPF record",
                       "use a mail-from address in a domain of yours with an SPF record");
    if (a == nullptr || failed(a->result))
        return finding(spf, preflight_status::could_not_tell, domain,
                       "the SPF lookup for " + domain + " failed: " + (a ? failure(*a) : std::string("not asked")),
                       retry_advice);
    const std::string publish = "publish one TXT record at " + domain + " such as \"v=spf1 " +
                                (r.report.address.empty() || r.report.address_guess
                                     ? std::string("ip4:YOUR.PUBLIC.ADDRESS")
                                     : std::string(is_v6(r.report.address) ? "ip6:" : "ip4:") + r.report.address) +
                                " -all\": receivers distrust mail whose sender domain has none";
    if (a->result == rstatus::nxdomain)
        return finding(spf, preflight_status::warning, domain,
                       r.spf_whose + " " + domain + " does not exist in the DNS",
                       "use a HELO name and mail-from address in a domain of yours, and " + publish);
    std::vector<std::string> records;
    for (const std::string& t : a->records)
        if (is_spf(t))
            records.push_back(t);
    if (records.empty())
        return finding(spf, preflight_status::warning, domain,
                       r.spf_whose + " " + domain + " publishes no SPF record", publish);
    if (records.size() > 1)
        return finding(spf, preflight_status::warning, domain,
                       r.spf_whose + " " + domain + " publishes " + std::to_string(records.size()) +
                           " SPF records, which receivers read as an error (RFC 7208 section 4.5: permerror)",
                       "merge them into one TXT record");
    return finding(spf, preflight_status::ok, domain,
                   r.spf_whose + " " + domain + " publishes SPF: \"" + quoted(records.front()) + "\"");
}

preflight_finding check_reverse_dns(const std::string& address, const dns_answers& d)
{
    if (failed(d.ptr.result))
        return finding(reverse_dns, preflight_status::could_not_tell, address,
                       "the reverse lookup of " + address + " failed: " + failure(d.ptr), retry_advice);
    if (d.ptr_names.empty())
        return finding(
            reverse_dns, preflight_status::blocking, address, address + " has no PTR name (no reverse DNS)",
            "many mail servers refuse clients without reverse DNS: ask the owner of the address (the hosting or "
            "network provider) for a PTR record naming this host, with an address record back to " + address);
    std::vector<std::string> elsewhere;  // "name (its addresses)"
    bool lookups_failed = false;
    for (std::size_t i = 0; i < d.ptr_names.size(); ++i) {
        const record_answer& fwd = d.forward[i];
        if (fwd.result == rstatus::ok &&
            std::find(fwd.records.begin(), fwd.records.end(), address) != fwd.records.end())
            return finding(reverse_dns, preflight_status::ok, address,
                           address + " has the PTR name " + d.ptr_names[i] + ", which resolves back to " + address);
        if (failed(fwd.result))
            lookups_failed = true;
        else
            elsewhere.push_back(d.ptr_names[i] + (fwd.result == rstatus::ok         ? " (" + joined(fwd.records) + ")"
                                                  : fwd.result == rstatus::nxdomain ? " (no such name)"
                                                                                    : " (no address records)"));
    }
    if (lookups_failed)
        return finding(reverse_dns, preflight_status::could_not_tell, address,
                       address + " has the PTR name " + joined(d.ptr_names) + ", whose address lookup failed",
                       retry_advice);
    return finding(reverse_dns, preflight_status::blocking, address,
                   address + " has the PTR name " + joined(elsewhere) + ", which does not resolve back to " + address,
                   "servers that check forward-confirmed reverse DNS refuse or defer this address: give " +
                       d.ptr_names.front() + " an address record for " + address +
                       ", or have the PTR record name a host that has one");
}

preflight_finding check_helo(const run& r, const dns_answers& d)
{
    const std::string& address = r.report.address;
    const std::string helo = lower(without_final_dot(r.helo));
    if (std::any_of(d.ptr_names.begin(), d.ptr_names.end(), [&helo](const std::string& n) { return lower(n) == helo; }))
        return finding(helo_check, preflight_status::ok, r.helo,
                       "the HELO name " + r.helo + " is the PTR name of " + address);
    if (!d.ptr_names.empty())
        return finding(helo_check, preflight_status::warning, r.helo,
                       "the HELO name " + r.helo + " is not the PTR name of " + address + " (" +
                           joined(d.ptr_names) + ")",
                       "servers that compare the two distrust or refuse the probes: use " + d.ptr_names.front() +
                           " as the HELO name, or have the PTR record name " + r.helo);
    if (helo.find('.') == std::string::npos)
        return finding(helo_check, preflight_status::warning, r.helo,
                       "the HELO name " + r.helo + " is not a fully qualified domain name",
                       "many servers refuse such a name: use this host's full DNS name");
    return finding(helo_check, preflight_status::could_not_tell, r.helo,
                   "no PTR name of " + address + " to compare the HELO name " + r.helo + " with",
                   "see the reverse_dns finding");
}

preflight_finding check_blocklist(const std::string& address, const std::string& zone, const listing& l)
{
    switch (l.what) {
    case listing::kind::not_listed:
        return finding(blocklist, preflight_status::ok, zone, address + " is not listed on " + zone);
    case listing::kind::listed:
        return finding(blocklist, preflight_status::blocking, zone,
                       address + " is listed on " + zone + " (" + joined(l.answers) + ")" +
                           (l.reason.empty() ? std::string() : ": \"" + quoted(l.reason) + "\""),
                       "servers that use " + zone + " refuse every probe from here: ask for delisting on the "
                       "list's site (its reason says where), or go out from another address");
    case listing::kind::refused:
        return finding(blocklist, preflight_status::could_not_tell, zone,
                       zone + " answered " + joined(l.answers) + ": " + refusal_words(l.answers) +
                           ", so it says nothing",
                       "ask it through a resolver of your own (a local caching resolver, not a public one such as "
                       "8.8.8.8; the dns_server option), or look the address up on the list's site");
    case listing::kind::odd:
        return finding(blocklist, preflight_status::could_not_tell, zone,
                       zone + " answered " + joined(l.answers) +
                           ", which is no blocklist answer (those are in 127.0.0.0/8): the DNS server may rewrite "
                           "answers",
                       "ask through another resolver (the dns_server option)");
    case listing::kind::failed:
        break;
    }
    return finding(blocklist, preflight_status::could_not_tell, zone, "the lookup on " + zone + " failed: " + l.detail,
                   retry_advice);
}

void check_addresses_and_spf(run& r)
{
    preflight_report& report = r.report;
    const std::string& address = report.address;
    const bool usable = !address.empty() && !report.address_guess;
    const dns_answers d = ask_dns(r, usable);
    if (usable) {
        report.findings.push_back(check_reverse_dns(address, d));
        report.findings.push_back(check_helo(r, d));
        for (std::size_t i = 0; i < r.opts.blocklists.size(); ++i)
            report.findings.push_back(check_blocklist(address, without_final_dot(r.opts.blocklists[i]), d.listings[i]));
    } else {
        // Nothing is asked about a private address: the public DNS and the
        // lists know nothing of it, and it is no business of theirs.
        const std::string why =
            address.empty() ? r.no_address
                            : address + " is not a public address (" +
                                  (report.address_source == "proxy"   ? "the proxy's outside address as it reports it"
                                   : report.address_source == "route" ? "the address this machine would send from"
                                                                      : "the local end of the port-25 connection") +
                                  "): the outside sees another one";
        report.findings.push_back(finding(reverse_dns, preflight_status::could_not_tell, address, why, address_advice));
        report.findings.push_back(finding(helo_check, preflight_status::could_not_tell, r.helo, why, address_advice));
        for (const std::string& zone : r.opts.blocklists) {
            const std::string name = without_final_dot(zone);
            report.findings.push_back(finding(
                blocklist, preflight_status::could_not_tell, name,
                address.empty() ? "no address to look up on " + name
                                : address + " is not a public address: not looked up on " + name,
                address_advice));
        }
    }
    report.findings.push_back(check_spf(r, d.spf ? &*d.spf : nullptr));
}

// Options that cannot be used: the words for report.error, or empty.
std::string check_options(run& r)
{
    const preflight_options& o = r.opts;
    if (unsafe_for_smtp(r.helo))
        return "the HELO name holds a line break or NUL";
    if (!o.public_address.empty() && canonical_address(o.public_address).empty())
        return "the public address is not an IPv4 or IPv6 address: " + quoted(o.public_address);
    if (o.test_host.empty())
        return "no test host to try port 25 on";
    if (!zone_name(without_final_dot(o.test_host)) && canonical_address(o.test_host).empty())
        return "the test host is not a host name or address: \"" + quoted(o.test_host) + "\"";
    if (!engine::valid_utf8(r.helo))
        return "the HELO name is not UTF-8";
    if (r.proxied && !engine::parse_proxy(o.proxy, r.proxy))
        // The URL may hold a password: it is not repeated.
        return "the proxy is not a socks5://[USER:PASSWORD@]HOST:PORT URL";
    for (const std::string& zone : o.blocklists)
        if (!zone_name(without_final_dot(zone)))
            return "not a DNS zone: \"" + quoted(zone) + "\"";
    if (!o.mail_from.empty()) {
        const std::optional<engine::mailbox> sender = engine::parse_mailbox(o.mail_from);
        if (!sender)
            return "the mail-from address is not an address: " + quoted(o.mail_from);
        r.spf_domain = sender->literal.empty() ? sender->domain : std::string();
        r.spf_whose = "the mail-from domain";
    } else {
        const std::string name = without_final_dot(r.helo);
        r.spf_domain = name.empty() || name.front() == '[' || !canonical_address(name).empty() ? std::string() : name;
        r.spf_whose = "the HELO name";
    }
    return {};
}

}  // namespace

std::vector<std::string> default_blocklists()
{
    return {"zen.spamhaus.org", "bl.spamcop.net", "b.barracudacentral.org"};
}

preflight_report preflight(const preflight_options& opts)
{
    preflight_report report;
    run r(opts, report);
    const std::int16_t step = opts.timeout <= 0 ? default_step_seconds : std::min(opts.timeout, max_step_seconds);
    r.step = std::chrono::seconds(step);
    r.proxy.dns_server = opts.dns_server;
    r.helo = opts.helo.empty() ? host_name() : opts.helo;

    report.error = check_options(r);
    make_printable(report.error);
    if (!report.error.empty()) {
        report.blocked = true;
        return report;
    }

    report.findings.push_back(check_port25(r));
    if (!opts.public_address.empty()) {
        report.address = canonical_address(opts.public_address);
        report.address_source = "given";
    } else if (!report.address.empty()) {
        // Named by what is private to this side: the public DNS knows
        // nothing of such an address.
        report.address_guess = engine::refused_mx_address(report.address);
    }
    if (r.stopped()) {
        for (std::string_view check : {reverse_dns, helo_check})
            report.findings.push_back(finding(check, preflight_status::could_not_tell, "", "stopped before this check"));
        for (const std::string& zone : opts.blocklists)
            report.findings.push_back(finding(blocklist, preflight_status::could_not_tell, without_final_dot(zone),
                                              "stopped before this check"));
        report.findings.push_back(finding(spf, preflight_status::could_not_tell, r.spf_domain, "stopped before this check"));
    } else {
        check_addresses_and_spf(r);
    }
    for (preflight_finding& f : report.findings)
        for (std::string* text : {&f.subject, &f.text, &f.advice})
            make_printable(*text);
    report.cancelled = r.stopped();
    report.blocked = std::any_of(report.findings.begin(), report.findings.end(),
                                 [](const preflight_finding& f) { return f.status == preflight_status::blocking; });
    return report;
}

std::string preflight_text(const preflight_report& report)
{
    std::string out;
    if (!report.error.empty())
        return "preflight: " + report.error + "\n";
    if (!report.address.empty()) {
        out += "address: " + report.address;
        if (report.address_source == "given")
            out += " (given)";
        else if (report.address_source == "proxy")
            out += " (the proxy's outside address, as it reports it)";
        else if (report.address_source == "route")
            out += " (the address this machine would send from)";
        else
            out += " (the local end of the port-25 connection)";
        if (report.address_guess)
            out += ", a guess: not a public address";
        out += "\n";
    }
    std::size_t width = 0;
    for (const preflight_finding& f : report.findings)
        width = std::max(width, name(f.status).size());
    std::size_t blocking = 0;
    std::size_t warnings = 0;
    for (const preflight_finding& f : report.findings) {
        const std::string_view status = name(f.status);
        out += std::string(status) + std::string(width - status.size() + 2, ' ') + f.check + ": " + f.text + "\n";
        if (!f.advice.empty() && f.status != preflight_status::ok)
            out += std::string(width + 2, ' ') + "what to do: " + f.advice + "\n";
        blocking += f.status == preflight_status::blocking;
        warnings += f.status == preflight_status::warning;
    }
    if (report.cancelled)
        out += "preflight: stopped before every check was made\n";
    if (report.blocked)
        out += "preflight: blocked: " + std::to_string(blocking) + " finding" + (blocking == 1 ? "" : "s") +
               " would get a bulk run from here refused\n";
    else
        out += "preflight: nothing blocks a run from here" +
               (warnings ? " (" + std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s") + ")"
                         : std::string()) +
               "\n";
    return out;
}

}  // namespace verimex
