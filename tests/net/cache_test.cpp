// The resolution cache against the test dnsmasq (tests/net/net.zones and
// cache.zones) behind the counting relay: answers kept for their TTL
// within the floor and the caps, negative answers for what their SOA
// record allows, failures not at all, and identical questions asked at
// once joined into one query.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/dns_relay.h"
#include "verify/net.h"

namespace verimex::engine {
namespace {

using namespace std::chrono_literals;
using test::DnsRelay;

constexpr const char* relayed = "127.0.0.1:5311";

unsigned ask_mx(DnsRelay& relay, const std::string& domain, mx_answer::status expected)
{
    const unsigned before = relay.queries(domain);
    const mx_answer a = lookup_mx(domain, {relayed, nullptr}, clock::now() + 5s);
    EXPECT_EQ(static_cast<int>(a.result), static_cast<int>(expected)) << domain << ": " << a.detail;
    return relay.queries(domain) - before;
}

unsigned ask_host(DnsRelay& relay, const std::string& host, host_answer::status expected)
{
    const unsigned before = relay.queries(host);
    const host_answer a = lookup_host(host, {relayed, nullptr}, clock::now() + 5s);
    EXPECT_EQ(static_cast<int>(a.result), static_cast<int>(expected)) << host << ": " << a.detail;
    return relay.queries(host) - before;
}

TEST(ResolutionCache, AnswersAreKeptForTheirTimeToLive)
{
    DnsRelay relay(5311, DnsRelay::mode::pass);
    using mx = mx_answer::status;
    using host = host_answer::status;
    // Each row: a name, asked, the clock moved on, asked again.
    struct row {
        const char* name;
        bool is_mx;
        int expected;  // mx_answer or host_answer status
        std::chrono::seconds later;
        unsigned first, again;  // queries the relay saw for each ask
    };
    const row rows[] = {
        // MX answers and addresses, again at once: from the cache.
        {"order.net.test", true, int(mx::ok), 0s, 1, 0},
        {"dual.net.test", false, int(host::ok), 0s, 2, 0},
        // A CNAME chain is one answer.
        {"alias.net.test", true, int(mx::ok), 0s, 1, 0},
        // TTL 0 is kept for the floor of 5 s, and no longer.
        {"ttl0.cache.test", false, int(host::ok), 4s, 2, 0},
        {"ttl0.cache.test", false, int(host::ok), 2s, 0, 2},
        // TTL 60: kept for 60 s.
        {"ttl60.cache.test", false, int(host::ok), 59s, 2, 0},
        {"ttl60.cache.test", false, int(host::ok), 2s, 0, 2},
        // TTL 7200 is kept for the cap of an hour.
        {"ttl7200.cache.test", false, int(host::ok), 3599s, 2, 0},
        {"ttl7200.cache.test", false, int(host::ok), 2s, 0, 2},
        // A negative answer without an SOA record is not kept (RFC 2308
        // section 5): the implicit MX's NODATA to MX and AAAA is asked
        // again, its A record is not.
        {"implicit.net.test", true, int(mx::implicit), 0s, 3, 2},
        {"nosuch.net.test", true, int(mx::nxdomain), 0s, 1, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const unsigned first = r.is_mx ? ask_mx(relay, r.name, mx(r.expected))
                                       : ask_host(relay, r.name, host(r.expected));
        advance_resolution_cache_clock(r.later);
        const unsigned again = r.is_mx ? ask_mx(relay, r.name, mx(r.expected))
                                       : ask_host(relay, r.name, host(r.expected));
        EXPECT_EQ(first, r.first);
        EXPECT_EQ(again, r.again);
    }
    // Asked without the cache: every time on the wire.
    const unsigned before = relay.queries("order.net.test");
    resolve_settings uncached{relayed, nullptr, false};
    EXPECT_EQ(lookup_mx("order.net.test", uncached, clock::now() + 5s).result, mx::ok);
    EXPECT_EQ(relay.queries("order.net.test"), before + 1);
    // Forgotten when told.
    clear_resolution_cache();
    EXPECT_EQ(ask_mx(relay, "order.net.test", mx::ok), 1u);
}

TEST(ResolutionCache, NegativeAnswersAsTheirSoaRecordSays)
{
    DnsRelay relay(5311, DnsRelay::mode::pass);
    using mx = mx_answer::status;
    // The lesser of the SOA record's TTL and its MINIMUM: 120 s.
    relay.add_soa(300, 120);
    EXPECT_EQ(ask_mx(relay, "nosuch.net.test", mx::nxdomain), 1u);
    advance_resolution_cache_clock(119s);
    EXPECT_EQ(ask_mx(relay, "nosuch.net.test", mx::nxdomain), 0u);
    advance_resolution_cache_clock(2s);
    EXPECT_EQ(ask_mx(relay, "nosuch.net.test", mx::nxdomain), 1u);
    // NODATA: the MX question of a domain with only addresses.
    EXPECT_EQ(ask_mx(relay, "implicit.net.test", mx::implicit), 3u);
    EXPECT_EQ(ask_mx(relay, "implicit.net.test", mx::implicit), 0u);
    // At most 15 minutes, whatever the zone says.
    relay.add_soa(86400, 86400);
    EXPECT_EQ(ask_mx(relay, "nohost.net.test", mx::no_host), 3u);
    advance_resolution_cache_clock(899s);
    EXPECT_EQ(ask_mx(relay, "nohost.net.test", mx::no_host), 0u);
    advance_resolution_cache_clock(2s);
    EXPECT_EQ(ask_mx(relay, "nohost.net.test", mx::no_host), 3u);
}

TEST(ResolutionCache, FailuresAreNotKept)
{
    // SERVFAIL (asked twice each time): the next ask goes to the wire again.
    DnsRelay relay(5311, DnsRelay::mode::servfail);
    EXPECT_EQ(ask_mx(relay, "order.net.test", mx_answer::status::dns_error), 2u);
    EXPECT_EQ(ask_mx(relay, "order.net.test", mx_answer::status::dns_error), 2u);
    // The cache is per DNS server: the same name through dnsmasq itself
    // is asked there, not answered with the failure.
    EXPECT_EQ(lookup_mx("order.net.test", {"127.0.0.1", nullptr}, clock::now() + 5s).result,
              mx_answer::status::ok);
}

TEST(ResolutionCache, ConcurrentAsksAreJoinedIntoOneQuery)
{
    // The first query is lost, so its answer comes a second later: every
    // thread asks meanwhile, and the one retry answers them all.
    DnsRelay relay(5311, DnsRelay::mode::drop_first);
    constexpr int threads = 100;
    std::vector<mx_answer> answers(threads);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&answers, i] {
            answers[i] = lookup_mx("order.net.test", {relayed, nullptr}, clock::now() + 10s);
        });
    for (std::thread& t : pool)
        t.join();
    for (const mx_answer& a : answers) {
        ASSERT_EQ(a.result, mx_answer::status::ok) << a.detail;
        EXPECT_EQ(a.hosts.size(), 3u);
    }
    EXPECT_EQ(relay.queries("order.net.test"), 2u);
    EXPECT_EQ(relay.dropped(), 1u);
}

TEST(ResolutionCache, AJoinedCallerStopsAtItsOwnDeadline)
{
    // A server that never answers: a caller with a short deadline joined to
    // one with a long one ends at its own, saying the server did not
    // answer once a try has gone unanswered.
    mx_answer longer;
    std::thread patient([&longer] { longer = lookup_mx("x.dead.net.test", {}, clock::now() + 3s); });
    std::this_thread::sleep_for(100ms);
    const auto start = clock::now();
    const mx_answer shorter = lookup_mx("x.dead.net.test", {}, clock::now() + 1500ms);
    const auto took = clock::now() - start;
    patient.join();
    EXPECT_LT(took, 2500ms);
    EXPECT_EQ(shorter.result, mx_answer::status::dns_error) << shorter.detail;
    EXPECT_EQ(longer.result, mx_answer::status::dns_error) << longer.detail;
}

}  // namespace
}  // namespace verimex::engine
