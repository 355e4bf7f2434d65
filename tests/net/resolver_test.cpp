// The engine's resolver against the test dnsmasq (tests/net/net.zones) and
// a relay in front of it that loses packets or answers SERVFAIL: record
// order, implicit and null MX, NXDOMAIN, failures that must not read as
// "no such domain", retries, deadlines and stop requests, many threads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/processes.h"
#include "net/dns_relay.h"
#include "verify/net.h"

namespace verimex::engine {
namespace {

using namespace std::chrono_literals;
using test::DnsRelay;
using status = mx_answer::status;

const char* name_of(status s)
{
    switch (s) {
    case status::ok: return "ok";
    case status::implicit: return "implicit";
    case status::null_mx: return "null_mx";
    case status::nxdomain: return "nxdomain";
    case status::no_host: return "no_host";
    case status::dns_error: return "dns_error";
    case status::timeout: return "timeout";
    case status::cancelled: return "cancelled";
    }
    return "?";
}

std::vector<std::string> names(const mx_answer& a)
{
    std::vector<std::string> out;
    for (const mx_host& h : a.hosts)
        out.push_back(h.name + "/" + std::to_string(h.preference));
    return out;
}

TEST(Resolver, MailExchangersOfEachKindOfDomain)
{
    struct row {
        const char* domain;
        const char* dns_server;
        status expected;
        std::vector<std::string> hosts;  // empty: not compared
    };
    const std::vector<std::string> order = {"mx-a.order.net.test/10", "mx-b.order.net.test/20",
                                            "mx-c.order.net.test/20"};
    const row rows[] = {
        {"order.net.test", "", status::ok, order},
        {"order.net.test.", "127.0.0.1", status::ok, order},
        {"ORDER.net.test", "127.0.0.1:53", status::ok, order},
        {"alias.net.test", "", status::ok, order},  // CNAME to a domain with MX
        {"implicit.net.test", "", status::implicit, {"implicit.net.test/0"}},
        {"alias2.net.test", "", status::implicit, {"alias2.net.test/0"}},  // CNAME to an A only
        {"many.net.test", "", status::ok, {}},  // over TCP after a truncated answer
        {"null.net.test", "", status::null_mx, {}},
        {"nohost.net.test", "", status::no_host, {}},
        {"gone.net.test", "", status::nxdomain, {}},
        // dnsmasq forwards nothing outside .test and says REFUSED.
        {"example.invalid", "", status::dns_error, {}},
        // Forwarded to a server that never answers: tries time out, and
        // that is a DNS failure, never a missing domain.
        {"x.dead.net.test", "", status::dns_error, {}},
        {"order.net.test", "no.such.server", status::dns_error, {}},
        {"order.net.test", "127.0.0.1:0", status::dns_error, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.domain) + " via '" + r.dns_server + "'");
        const auto start = clock::now();
        const mx_answer a = lookup_mx(r.domain, {r.dns_server, nullptr}, start + 2500ms);
        EXPECT_STREQ(name_of(a.result), name_of(r.expected)) << a.detail;
        if (r.expected == status::ok && r.hosts.empty()) {
            ASSERT_EQ(a.hosts.size(), 40u);
            for (std::size_t i = 0; i < a.hosts.size(); ++i)
                EXPECT_EQ(a.hosts[i].preference, i + 1);
        } else if (r.expected == status::ok) {
            ASSERT_EQ(a.hosts.size(), 3u);
            // Equal preferences keep the server's order, whichever it is.
            EXPECT_EQ(names(a)[0], order[0]);
            std::vector<std::string> got = names(a);
            std::sort(got.begin(), got.end());
            EXPECT_EQ(got, r.hosts);
        } else if (!r.hosts.empty()) {
            EXPECT_EQ(names(a), r.hosts);
        }
        if (r.expected == status::dns_error || r.expected == status::nxdomain) {
            EXPECT_FALSE(a.detail.empty());
        }
    }
}

TEST(Resolver, AddressesOfHosts)
{
    struct row {
        const char* host;
        host_answer::status expected;
        std::vector<std::string> addresses;
    };
    const row rows[] = {
        {"dual.net.test", host_answer::status::ok, {"127.0.0.23", "::1"}},  // IPv4 first
        {"mx-a.order.net.test", host_answer::status::ok, {"127.0.0.21"}},
        {"alias2.net.test", host_answer::status::ok, {"127.0.0.22"}},
        {"127.0.0.5", host_answer::status::ok, {"127.0.0.5"}},  // numeric: asked nowhere
        {"[0:0::1]", host_answer::status::ok, {"::1"}},
        {"gone.net.test", host_answer::status::none, {}},
        {"nohost.net.test", host_answer::status::none, {}},
        {"example.invalid", host_answer::status::dns_error, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.host);
        const host_answer a = lookup_host(r.host, {}, clock::now() + 2500ms);
        EXPECT_EQ(static_cast<int>(a.result), static_cast<int>(r.expected)) << a.detail;
        EXPECT_EQ(a.addresses, r.addresses);
    }
}

TEST(Resolver, LostAndFailedAnswersAreAskedAgain)
{
    {
        // The first query of each name is lost: the second try answers.
        DnsRelay relay(5301, DnsRelay::mode::drop_first);
        const mx_answer mx = lookup_mx("order.net.test", {"127.0.0.1:5301", nullptr}, clock::now() + 5s);
        EXPECT_STREQ(name_of(mx.result), "ok") << mx.detail;
        EXPECT_EQ(relay.queries("order.net.test"), 2u);
        // Implicit MX: the MX query and both address queries lose one each.
        const mx_answer own = lookup_mx("implicit.net.test", {"127.0.0.1:5301", nullptr}, clock::now() + 5s);
        EXPECT_STREQ(name_of(own.result), "implicit") << own.detail;
        EXPECT_EQ(relay.queries("implicit.net.test"), 6u);
    }
    {
        // SERVFAIL is asked again once, then stands as a DNS failure.
        DnsRelay relay(5302, DnsRelay::mode::servfail);
        const mx_answer mx = lookup_mx("order.net.test", {"127.0.0.1:5302", nullptr}, clock::now() + 5s);
        EXPECT_STREQ(name_of(mx.result), "dns_error") << mx.detail;
        EXPECT_EQ(relay.queries("order.net.test"), 2u);
        const host_answer host = lookup_host("dual.net.test", {"127.0.0.1:5302", nullptr}, clock::now() + 5s);
        EXPECT_EQ(host.result, host_answer::status::dns_error);
    }
}

TEST(Resolver, ManyThreadsAtOnceThroughALossyNetwork)
{
    // Every 7th datagram lost, 400 checks at once: not one may end in a
    // DNS failure, and the threads' descriptors go with them.
    DnsRelay relay(5303, DnsRelay::mode::drop_every, 7);
    ASSERT_EQ(lookup_mx("order.net.test", {"127.0.0.1:5303", nullptr}, clock::now() + 10s).result, status::ok);
    // The resolver thread closes an idle socket of c-ares's just after the
    // answer it carried has been handed out: counts are taken once it has.
    const auto settled_descriptors = [] {
        std::this_thread::sleep_for(200ms);
        return test::open_descriptors();
    };
    const std::size_t descriptors = settled_descriptors();
    constexpr int threads = 400;
    std::vector<mx_answer> answers(threads);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&answers, i] {
            answers[i] = lookup_mx(i % 2 ? "order.net.test" : "alias.net.test", {"127.0.0.1:5303", nullptr},
                                   clock::now() + 10s);
        });
    for (std::thread& t : pool)
        t.join();
    int ok = 0;
    std::string first_failure;
    for (const mx_answer& a : answers) {
        if (a.result == status::ok && a.hosts.size() == 3)
            ++ok;
        else if (first_failure.empty())
            first_failure = std::string(name_of(a.result)) + ": " + a.detail;
    }
    EXPECT_EQ(ok, threads) << first_failure;
    EXPECT_GT(relay.dropped(), 40u);
    EXPECT_LE(settled_descriptors(), descriptors);
}

TEST(Resolver, DeadlinesAndStopRequests)
{
    // A deadline that comes before the first try has ended is a time-out.
    auto start = clock::now();
    mx_answer a = lookup_mx("y.dead.net.test", {}, start + 300ms);
    EXPECT_STREQ(name_of(a.result), "timeout") << a.detail;
    EXPECT_LT(clock::now() - start, 800ms);

    // One request ends every lookup waiting on it, at once.
    cancellation stop;
    constexpr int waiting = 20;
    std::vector<mx_answer> answers(waiting);
    std::vector<std::thread> pool;
    start = clock::now();
    for (int i = 0; i < waiting; ++i)
        pool.emplace_back([&, i] {
            answers[i] = lookup_mx("z" + std::to_string(i) + ".dead.net.test", {"", &stop}, clock::now() + 20s);
        });
    std::this_thread::sleep_for(300ms);
    stop.request();
    for (std::thread& t : pool)
        t.join();
    EXPECT_LT(clock::now() - start, 1500ms);
    for (const mx_answer& r : answers)
        EXPECT_STREQ(name_of(r.result), "cancelled");
    EXPECT_TRUE(stop.requested());
    // Once requested, a lookup does not start.
    EXPECT_EQ(lookup_host("dual.net.test", {"", &stop}, clock::now() + 5s).result, host_answer::status::cancelled);
}

TEST(Resolver, DescriptorsNeitherInheritedNorPretendedAway)
{
    // While a lookup is in flight, every socket of the resolver is
    // close-on-exec: a child process started meanwhile (the component's
    // lookup helper) must not inherit it.
    std::thread waiting([] { lookup_mx("w.dead.net.test", {}, clock::now() + 1500ms); });
    std::this_thread::sleep_for(300ms);
    int sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:", 0) != 0)
            continue;
        ++sockets;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key, flags;
        while (info >> key >> flags && key != "flags:") {
        }
        EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << target;
    }
    waiting.join();
    EXPECT_GE(sockets, 1);

    // Out of descriptors: said so at once with the errno, not taken for a
    // DNS server that does not answer.
    // This thread's waiting descriptor is made; c-ares's idle socket has
    // closed once the answer is out.
    ASSERT_EQ(lookup_mx("order.net.test", {}, clock::now() + 5s).result, status::ok);
    std::this_thread::sleep_for(200ms);
    const int lowest_free = ::dup(0);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    rlimit before{};
    ::getrlimit(RLIMIT_NOFILE, &before);
    rlimit low = before;
    low.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const auto start = clock::now();
    // A server setting not asked before: its channel needs a socket.
    const mx_answer a = lookup_mx("order.net.test", {"127.0.0.1:53", nullptr}, start + 5s);
    ::setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_STREQ(name_of(a.result), "dns_error") << a.detail;
    EXPECT_EQ(a.error_code, EMFILE) << a.detail;
    EXPECT_LT(clock::now() - start, 1s);
    EXPECT_EQ(lookup_mx("order.net.test", {}, clock::now() + 5s).result, status::ok);
}

TEST(Resolver, ChangedSystemConfigurationIsSeen)
{
    ASSERT_EQ(lookup_mx("order.net.test", {}, clock::now() + 5s).result, status::ok);
    // The system's resolver now names another server, which fails
    // everything: a long-running host must notice without a restart.
    DnsRelay failing(53, DnsRelay::mode::servfail, 0, "127.0.0.9");
    const std::string conf = std::string(::testing::TempDir()) + "verimex-resolv.conf." + std::to_string(::getpid());
    std::ofstream(conf) << "nameserver 127.0.0.9\n";
    ASSERT_EQ(::mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    std::this_thread::sleep_for(1100ms);
    const mx_answer a = lookup_mx("order.net.test", {}, clock::now() + 5s);
    ::umount2("/etc/resolv.conf", MNT_DETACH);
    std::remove(conf.c_str());
    EXPECT_STREQ(name_of(a.result), "dns_error") << a.detail;
    EXPECT_GE(failing.queries("order.net.test"), 1u);
}

}  // namespace
}  // namespace verimex::engine
