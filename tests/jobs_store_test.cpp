// The job stores against real SQLite files and a PostgreSQL cluster the test
// starts; both stores where their own code differs, SQLite elsewhere.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "verimex/hosting/export.h"
#include "verimex/hosting/json.h"
#include "verimex/hosting/location.h"
#include "verimex/hosting/runner.h"
#include "verimex/hosting/store.h"
#include "support/fake_wall_clock.h"
#include "support/pg_cluster.h"
#include "support/test_files.h"

namespace {

using namespace verimex::hosting;
using namespace std::chrono_literals;

verimex::test::TempFolder* const files = verimex::test::add_temp_folder("verimex-jobs-test");

std::vector<std::string> numbered(const std::string& prefix, int count)
{
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i)
        list.push_back(prefix + std::to_string(i) + "@x.test");
    return list;
}

TakeRequest request(std::size_t count, std::chrono::milliseconds lease = 60s)
{
    return TakeRequest{"j", count, lease, {0, 0ms}, "test"};
}

verimex::report result(const std::string& address, std::string returnvar, std::string error = "")
{
    verimex::report r;
    r.address = address;
    r.returnvar = std::move(returnvar);
    r.error = std::move(error);
    r.verified = r.error.empty() && r.returnvar == "000";
    if (r.verified)
        r.verdict = verimex::verdict::deliverable;
    return r;
}

std::vector<Entry> entries(Store& store)
{
    std::vector<Entry> out;
    store.export_entries("j", 0, std::nullopt, [&](const Entry& e) { out.push_back(e); });
    return out;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        location_ = verimex::test::new_store(GetParam(), files->path());
        if (location_.empty())
            GTEST_SKIP() << "no PostgreSQL here";
        store_ = open_store(location_, clock_);
    }
    std::shared_ptr<verimex::test::FakeWallClock> clock_ = std::make_shared<verimex::test::FakeWallClock>();
    std::string location_;
    std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, LeasesAloneWriteResultsByteForByteAndHoldOnlyWhileRenewed)
{
    const std::string odd = "caf\xc3\xa9\xff@x.test";
    const std::string reply = "550 \x01\xfe\r\n";
    store_->add("j", std::vector<std::string>{"a@x.test", odd});
    std::vector<Lease> leases = store_->take(request(10));
    ASSERT_EQ(leases.size(), 2u);
    EXPECT_TRUE(store_->take(request(10)).empty());  // both are running
    Lease forged = leases[0];
    forged.token = "not-the-token";
    EXPECT_FALSE(store_->record(forged, result("a@x.test", "000"), std::nullopt));
    EXPECT_TRUE(store_->record(leases[0], result("a@x.test", "000"), std::nullopt));
    EXPECT_FALSE(store_->record(leases[0], result("a@x.test", "550 no\r\n"), std::nullopt));

    // Given back, it is due at once, and the old lease is void.
    store_->release(std::span(leases).subspan(1));
    std::vector<Lease> again = store_->take(request(10));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_FALSE(store_->record(leases[1], result(odd, "000"), std::nullopt));
    verimex::report odd_result = result(odd, reply);
    odd_result.transcript = "telnet: m\r\n" + reply;
    EXPECT_TRUE(store_->record(again[0], odd_result, std::nullopt));
    const std::vector<Entry> e = entries(*store_);
    EXPECT_EQ(e[0].returnvar, "000");
    EXPECT_EQ(e[1].address, odd);
    EXPECT_EQ(e[1].returnvar, reply);
    EXPECT_EQ(e[1].transcript, "telnet: m\r\n" + reply);

    // Only the first is renewed: the second runs out and goes to the next
    // worker, and its lost attempt does not count. The store's clock moves
    // only when the test says.
    store_->add("j", std::vector<std::string>{"c@x.test", "d@x.test"});
    const std::vector<Lease> first = store_->take(request(2, 300ms));
    ASSERT_EQ(first.size(), 2u);
    clock_->advance(299ms);
    EXPECT_TRUE(store_->take(request(2)).empty()) << "a lease is held to its last millisecond";
    store_->renew(std::span(first).first(1), 300ms);
    clock_->advance(2ms);
    const std::vector<Lease> second = store_->take(request(2));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].address, "d@x.test");
    EXPECT_EQ(second[0].attempts, 0u);
    EXPECT_FALSE(store_->record(first[1], result("d@x.test", "000"), std::nullopt));
    EXPECT_TRUE(store_->record(second[0], result("d@x.test", "000"), std::nullopt));
    EXPECT_TRUE(store_->record(first[0], result("c@x.test", "000"), std::nullopt));
}

// Politeness intervals and retry times by the store's clock alone: an
// address of a key started a moment ago waits for the interval, and a
// deferred address for its retry time, to the millisecond.
TEST_P(StoreTest, IntervalsAndRetriesRunByTheStoresClock)
{
    store_->add("j", std::vector<std::string>{"a@same.test", "b@same.test", "c@other.test"});
    TakeRequest polite = request(10, 10min);
    polite.politeness = {5, 1000ms};
    std::vector<Lease> first = store_->take(polite);
    ASSERT_EQ(first.size(), 2u) << "one of each key";
    clock_->advance(999ms);
    EXPECT_TRUE(store_->take(polite).empty());
    clock_->advance(1ms);
    const std::vector<Lease> second = store_->take(polite);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(domain_of(second[0].address), "same.test");

    // Deferred for 60 s: due at exactly that time, with its attempt counted.
    const Millis at = store_->now();
    ASSERT_TRUE(store_->record(second[0], result(second[0].address, "451 4.7.1 later\r\n"), at + 60'000));
    EXPECT_EQ(store_->status("j")->deferred, 1u);
    clock_->advance(59'999ms);
    EXPECT_TRUE(store_->take(request(10)).empty());
    clock_->advance(1ms);
    const std::vector<Lease> retry = store_->take(request(10));
    ASSERT_EQ(retry.size(), 1u);
    EXPECT_EQ(retry[0].address, second[0].address);
    EXPECT_EQ(retry[0].attempts, 1u);
    // The export's time of the last attempt is the store's clock too.
    EXPECT_EQ(entries(*store_)[static_cast<std::size_t>(second[0].address[0] - 'a')].checked_at, at);
}

// Each kind of result: its class, and that the store counts it under that
// class (whether it is worth a retry shows in the greylisting runs).
TEST_P(StoreTest, EachKindOfResultIsClassedAndCounted)
{
    using verimex::reason;
    using verimex::verdict;
    struct Case {
        std::string returnvar, error;
        verdict v;
        reason why;
        std::optional<int> code;
        Outcome outcome;
        bool temporary;
    };
    const std::vector<Case> cases = {
        {"000", "", verdict::deliverable, reason::accepted, 250, Outcome::verified, false},
        {"550 5.1.1 no\r\n", "", verdict::undeliverable, reason::no_such_mailbox, 550, Outcome::rejected, false},
        {"252 2.5.2 cannot\r\n", "", verdict::unknown, reason::cannot_verify, 252, Outcome::rejected, false},
        {"451 4.7.1 greylisted\r\n", "", verdict::unknown, reason::greylisted, 451, Outcome::rejected, true},
        {"4xx", "", verdict::unknown, reason::server_error, std::nullopt, Outcome::other_error, false},
        {"ERROR: could not connect to mail server", "", verdict::unknown, reason::could_not_connect, std::nullopt,
         Outcome::could_not_connect, false},
        {"999 - could not find a mail server for the adress", "", verdict::undeliverable, reason::no_mail_server,
         std::nullopt, Outcome::no_mail_server, false},
        {"ERROR: timeout after 120 seconds.", "", verdict::unknown, reason::timeout, std::nullopt, Outcome::timed_out,
         false},
        {"ERROR: NSLOOKUP failed. Error: 24", "", verdict::unknown, reason::dns_error, std::nullopt,
         Outcome::other_error, false},
        {"000", "socket failed", verdict::unknown, reason::server_error, std::nullopt, Outcome::other_error, false},
        {"450 4.2.0 later\r\n", "poll failed", verdict::unknown, reason::greylisted, 450, Outcome::other_error, false},
    };
    store_->add("j", numbered("a", static_cast<int>(cases.size())));
    for (const Lease& lease : store_->take(request(100))) {
        const Case& c = cases[static_cast<std::size_t>(std::stoi(lease.address.substr(1)))];
        verimex::report r = result(lease.address, c.returnvar, c.error);
        r.verdict = c.v;
        r.reason = c.why;
        r.code = c.code;
        EXPECT_EQ(outcome_of(r), c.outcome) << r.returnvar;
        EXPECT_EQ(is_temporary_reply(r), c.temporary) << r.returnvar;
        ASSERT_TRUE(store_->record(lease, r, std::nullopt));
    }
    EXPECT_EQ(status_json(*store_->status("j")),
              "{\"job\":\"j\",\"total\":11,\"done\":11,\"due\":0,\"running\":0,\"deferred\":0,"
              "\"results\":{\"verified\":1,\"rejected\":3,\"could_not_connect\":1,"
              "\"no_mail_server\":1,\"timed_out\":1,\"other_errors\":4},"
              "\"verdicts\":{\"deliverable\":1,\"undeliverable\":2,\"risky\":0,\"unknown\":8},"
              "\"reasons\":{\"deliverable\":{\"accepted\":1},"
              "\"undeliverable\":{\"no_mail_server\":1,\"no_such_mailbox\":1},"
              "\"unknown\":{\"cannot_verify\":1,\"could_not_connect\":1,\"dns_error\":1,\"greylisted\":2,"
              "\"server_error\":2,\"timeout\":1}}}");
}

// Partway through an export another worker finishes every address. Each
// page of the export is read on its own, so no reader pins the store: the
// page being handed on still shows none done, the later ones show them all
// done, and every address comes once, in order.
TEST_P(StoreTest, AnExportPagesInOrderWithoutPinningTheStore)
{
    store_->add("j", numbered("p", 2500));
    std::unique_ptr<Store> worker = open_store(location_);
    std::size_t seen = 0, done_seen = 0;
    store_->export_entries("j", 0, std::nullopt, [&](const Entry& e) {
        EXPECT_EQ(e.address, "p" + std::to_string(seen) + "@x.test");
        if (++seen == 700)
            for (const Lease& l : worker->take(request(3000)))
                worker->record(l, result(l.address, "000"), std::nullopt);
        done_seen += e.state == "done";
    });
    EXPECT_EQ(seen, 2500u);
    EXPECT_EQ(done_seen, 1500u);
    EXPECT_EQ(store_->status("j")->done, 2500u);
    // The metrics' figures over every job, read at once.
    store_->add("k", numbered("k", 5));
    const StoreTotals totals = store_->totals();
    EXPECT_EQ(std::tie(totals.jobs, totals.done, totals.due, totals.running, totals.deferred),
              std::make_tuple(2u, 2500u, 5u, 0u, 0u));
}

// A take hands out sessions: up to per_session due addresses of one job and
// one domain under one token, next to each other; --per-mx and the interval
// count sessions, not addresses; a vrfy job's addresses go one a session;
// a session's lease runs out as a whole.
TEST_P(StoreTest, ASessionLeasesTheDueAddressesOfOneDomainUnderOneToken)
{
    std::vector<std::string> list;
    for (int i = 0; i < 12; ++i) {
        list.push_back("a" + std::to_string(i) + "@a.test");
        if (i < 3)
            list.push_back("b" + std::to_string(i) + "@B.test");
    }
    list.push_back("c0@c.test");
    store_->add("j", list);
    store_->add("v", std::vector<std::string>{"v0@v.test", "v1@v.test", "v2@v.test"}, settings_of_older_jobs());
    TakeRequest sessions = request(2, 10min);
    sessions.per_session = 5;
    sessions.politeness = {1, 0ms};
    const auto addresses_of = [](const std::vector<Lease>& leases, std::size_t from, std::size_t to) {
        std::vector<std::string> out;
        for (std::size_t i = from; i < to; ++i)
            out.push_back(leases[i].address);
        return out;
    };

    const std::vector<Lease> first = store_->take(sessions);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(addresses_of(first, 0, 5),
              (std::vector<std::string>{"a0@a.test", "a1@a.test", "a2@a.test", "a3@a.test", "a4@a.test"}));
    EXPECT_EQ(addresses_of(first, 5, 8), (std::vector<std::string>{"b0@B.test", "b1@B.test", "b2@B.test"}));
    for (std::size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(first[i].token == first[0].token, i < 5) << i;
    EXPECT_EQ(first[5].token, first[7].token);

    // One session of each key is live: only c.test may start.
    sessions.count = 10;
    const std::vector<Lease> second = store_->take(sessions);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].address, "c0@c.test");
    for (std::size_t i = 0; i < 5; ++i)
        ASSERT_TRUE(store_->record(first[i], result(first[i].address, "000"), std::nullopt));
    const std::vector<Lease> third = store_->take(sessions);
    ASSERT_EQ(third.size(), 5u);
    EXPECT_EQ(third[0].address, "a5@a.test");
    EXPECT_EQ(third[4].address, "a9@a.test");

    // An interval: the next session of a key waits for it, however many
    // addresses the last one took.
    TakeRequest spaced = sessions;
    spaced.politeness = {10, 1000ms};
    EXPECT_TRUE(store_->take(spaced).empty());
    clock_->advance(1000ms);
    const std::vector<Lease> fourth = store_->take(spaced);
    ASSERT_EQ(fourth.size(), 2u) << "a10 and a11 in one session";
    EXPECT_EQ(fourth[0].token, fourth[1].token);

    // The component's check goes one address at a time.
    TakeRequest vrfy = sessions;
    vrfy.job = "v";
    vrfy.politeness = {10, 0ms};
    const std::vector<Lease> singles = store_->take(vrfy);
    ASSERT_EQ(singles.size(), 3u);
    EXPECT_NE(singles[0].token, singles[1].token);
    EXPECT_NE(singles[1].token, singles[2].token);

    // Run out, the B.test session's three are due again together (the
    // oldest due), and the old token records none of them.
    clock_->advance(10min - 1000ms);
    sessions.count = 1;
    const std::vector<Lease> again = store_->take(sessions);
    ASSERT_EQ(addresses_of(again, 0, again.size()),
              (std::vector<std::string>{"b0@B.test", "b1@B.test", "b2@B.test"}));
    EXPECT_EQ(again[0].token, again[2].token);
    EXPECT_NE(again[0].token, first[5].token);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(store_->record(first[5 + i], result(first[5 + i].address, "000"), std::nullopt)) << i;
        EXPECT_TRUE(store_->record(again[i], result(again[i].address, "000"), std::nullopt)) << i;
    }
}

// The mail-server key a result teaches the store serves the politeness of
// its domain's unfinished addresses, and goes once none is left: with their
// job's removal, or later in a take once they are all done.
TEST_P(StoreTest, LearntMailServerKeysLastAsLongAsAnUnfinishedAddressOfTheirDomain)
{
    store_->add("a", std::vector<std::string>{"a1@only-a.test", "a2@only-a.test", "s1@shared.test",
                                              "s2@shared.test", "d1@done.test"});
    store_->add("b", std::vector<std::string>{"b1@shared.test", "b2@done.test"});
    // The key each due address of a job is leased under (the leases given back at once).
    const auto keys = [&](const std::string& job) {
        TakeRequest all{job, 100, 60s, {0, 0ms}, "test"};
        const std::vector<Lease> leases = store_->take(all);
        store_->release(leases);
        std::map<std::string, std::string> out;
        for (const Lease& l : leases)
            out[l.address] = l.key;
        return out;
    };
    TakeRequest all{"a", 100, 60s, {0, 0ms}, "test"};
    for (const Lease& l : store_->take(all)) {
        if (l.address == "a2@only-a.test" || l.address == "s2@shared.test") {
            store_->release(std::span(&l, 1));
            continue;
        }
        verimex::report r = result(l.address, "000");
        r.mx = "MX." + l.address.substr(l.address.find('@') + 1);
        ASSERT_TRUE(store_->record(l, r, std::nullopt)) << l.address;
    }
    EXPECT_EQ(keys("a"), (std::map<std::string, std::string>{{"a2@only-a.test", "mx.only-a.test"},
                                                             {"s2@shared.test", "mx.shared.test"}}));
    EXPECT_EQ(keys("b"), (std::map<std::string, std::string>{{"b1@shared.test", "mx.shared.test"},
                                                             {"b2@done.test", "mx.done.test"}}));

    // Removed, job a leaves only-a.test with no unfinished address: its key
    // goes; shared.test's and done.test's serve job b still.
    ASSERT_TRUE(store_->remove("a"));
    store_->add("c", std::vector<std::string>{"c1@only-a.test"});
    EXPECT_EQ(keys("c"), (std::map<std::string, std::string>{{"c1@only-a.test", "only-a.test"}}));
    EXPECT_EQ(keys("b"), (std::map<std::string, std::string>{{"b1@shared.test", "mx.shared.test"},
                                                             {"b2@done.test", "mx.done.test"}}));

    // Job b done, no unfinished address has those two domains: a take's
    // prune, ten minutes on, drops their keys as well.
    TakeRequest of_b{"b", 100, 60s, {0, 0ms}, "test"};
    for (const Lease& l : store_->take(of_b))
        ASSERT_TRUE(store_->record(l, result(l.address, "000"), std::nullopt));
    clock_->advance(10min);
    EXPECT_EQ(keys("c").size(), 1u);
    store_->add("e", std::vector<std::string>{"e1@shared.test", "e2@done.test"});
    EXPECT_EQ(keys("e"), (std::map<std::string, std::string>{{"e1@shared.test", "shared.test"},
                                                             {"e2@done.test", "done.test"}}));
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& p) { return p.param; });

struct FinalCount : RunnerSink {
    void attempt(const Attempt& a) override { finals += a.final ? 1 : 0; }
    int finals = 0;
};

// A provider at its limit with 30,000 due addresses ahead of another's 100
// holds up nobody else: once its one session is out, the next take finds
// the other domain, though its addresses stand past the scan's reach.
TEST_P(StoreTest, ASaturatedProviderAheadOfTheRestStarvesNoOtherDomain)
{
    std::vector<std::string> list;
    for (int i = 0; i < 30'000; ++i)
        list.push_back("a" + std::to_string(i) + "@busy.test");
    for (int i = 0; i < 100; ++i)
        list.push_back("b" + std::to_string(i) + "@quiet.test");
    store_->add("j", list);
    TakeRequest take = request(10);
    take.politeness.per_key = 1;
    const auto addresses = [](const std::vector<Lease>& leases) {
        std::vector<std::string> out;
        for (const Lease& l : leases)
            out.push_back(l.address);
        return out;
    };
    EXPECT_EQ(addresses(store_->take(take)), std::vector<std::string>{"a0@busy.test"});
    const std::vector<Lease> quiet = store_->take(take);
    EXPECT_EQ(addresses(quiet), std::vector<std::string>{"b0@quiet.test"});
    EXPECT_TRUE(store_->take(take).empty());  // both at their limit
    ASSERT_EQ(quiet.size(), 1u);
    ASSERT_TRUE(store_->record(quiet[0], result(quiet[0].address, "000"), std::nullopt));
    EXPECT_EQ(addresses(store_->take(take)), std::vector<std::string>{"b1@quiet.test"});
}

// A clock that stands still for a while when asked: a store whose take
// reads it stops inside the take's transaction, holding the fleet's take
// lock, as a worker does when it is stopped (Ctrl-Z, a paused VM) there.
class StallingClock final : public Clock {
public:
    std::int64_t now() override
    {
        if (stall_.exchange(false)) {
            stalled_ = true;
            std::this_thread::sleep_for(stall_for_);
        }
        return SystemClock().now();
    }
    void stall_next(std::chrono::milliseconds d)
    {
        stall_for_ = d;
        stall_ = true;
    }
    std::atomic<bool> stalled_{false};

private:
    std::atomic<bool> stall_{false};
    std::chrono::milliseconds stall_for_{0};
};

// One store stops inside a take. The other waits for the take lock only
// its lock timeout at a time, and gets the work once the database has
// ended the stalled session for idling in its transaction; the stalled
// store's take then fails, and its next call opens a new connection. The
// URI's options make the limits short enough for a test.
TEST(PostgresStore, AWorkerStoppedInATakeHoldsTheOthersOnlyUntilItsSessionIsEnded)
{
    std::string location = verimex::test::new_store("postgresql", files->path());
    if (location.empty())
        GTEST_SKIP() << "no PostgreSQL here";
    location += "?options=-c%20lock_timeout%3D500ms%20-c%20idle_in_transaction_session_timeout%3D1500ms";
    const auto clock = std::make_shared<StallingClock>();
    const std::unique_ptr<Store> stalled = open_store(location, clock);
    const std::unique_ptr<Store> other = open_store(location);
    stalled->add("j", numbered("s", 10));

    clock->stall_next(4s);
    bool stalled_failed = false;
    std::thread stopped([&] {
        try {
            stalled->take(request(10));
        } catch (const StoreError&) {
            stalled_failed = true;
        }
    });
    while (!clock->stalled_)
        std::this_thread::sleep_for(10ms);

    int refused = 0;
    std::vector<Lease> got;
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (got.empty() && std::chrono::steady_clock::now() < give_up) {
        try {
            got = other->take(request(10));
        } catch (const StoreError&) {
            ++refused;
        }
    }
    EXPECT_EQ(got.size(), 10u);
    EXPECT_GE(refused, 1);
    stopped.join();
    EXPECT_TRUE(stalled_failed);
    // Opened again: it answers, and finds nothing left to take.
    EXPECT_NO_THROW(stalled->ping());
    EXPECT_TRUE(stalled->take(request(10)).empty());
}

// With sessions the runner hands each session's addresses (one domain, up to
// per_session) to one check_many call, keeps in_flight sessions going, and
// writes every address once.
TEST(Runner, ChecksEachSessionInOneCallAndCountsSessionsInFlight)
{
    const std::unique_ptr<Store> store = open_store(verimex::test::new_store("sqlite", files->path()));
    std::vector<std::string> list;
    for (int i = 0; i < 30; ++i)
        list.push_back("m" + std::to_string(i) + "@" + (i % 3 == 0 ? "one" : "two") + ".test");
    store->add("j", list);
    std::mutex mutex;
    std::vector<std::vector<std::string>> calls;
    int running = 0, most = 0;
    RunnerSettings settings;
    settings.job = "j";
    settings.in_flight = 2;
    settings.per_session = 4;
    settings.lease = 5s;
    settings.politeness = {0, 0ms};
    settings.idle_poll = 50ms;
    settings.check_many = [&](std::span<const std::string> addresses, const verimex::options&) {
        std::unique_lock lock(mutex);
        calls.emplace_back(addresses.begin(), addresses.end());
        most = std::max(most, ++running);
        lock.unlock();
        std::this_thread::sleep_for(20ms);
        std::vector<verimex::report> out;
        for (const std::string& a : addresses)
            out.push_back(result(a, "000"));
        lock.lock();
        --running;
        return out;
    };
    const CheckFunction one = [](const std::string& address, const verimex::options&) {
        ADD_FAILURE() << "checked alone: " << address;
        return result(address, "000");
    };
    FinalCount sink;
    const RunSummary summary = Runner(*store, one, settings).run(sink);
    EXPECT_EQ(summary.final_results, 30u);
    EXPECT_EQ(most, 2);
    std::map<std::string, int> seen;
    for (const std::vector<std::string>& call : calls) {
        EXPECT_LE(call.size(), 4u);
        EXPECT_GT(call.size(), 1u) << "every domain has more than one due address left until its last";
        for (const std::string& a : call) {
            EXPECT_EQ(domain_of(a), domain_of(call[0]));
            ++seen[a];
        }
    }
    EXPECT_EQ(seen.size(), 30u);
    for (const auto& [address, n] : seen)
        EXPECT_EQ(n, 1) << address;
    for (const Entry& e : entries(*store))
        EXPECT_EQ(e.attempts, 1u) << e.address;
}

// A store made by the programs of schema version 1 is taken forward when
// opened: its job keeps the VRFY settings it was made with, its results
// stay as they were, and new results carry verdicts.
TEST_P(StoreTest, StoreOfSchemaOneIsTakenForward)
{
    const std::string old_store = verimex::test::new_store(GetParam(), files->path());
    std::ifstream in(std::string(VERIMEX_TESTS_DIR) + "/data/jobs-store-schema-1.sql");
    std::string sql((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(sql.empty());
    const bool pg = GetParam() == "postgresql";
    const std::pair<std::string, std::string> types[] = {{"{id}", pg ? "bigserial PRIMARY KEY" : "INTEGER PRIMARY KEY"},
                                                         {"{n}", pg ? "bigint" : "INTEGER"},
                                                         {"{b}", pg ? "bytea" : "TEXT"},
                                                         {"{t}", "TEXT"}};
    for (const auto& [mark, type] : types)
        for (std::size_t at; (at = sql.find(mark)) != std::string::npos;)
            sql.replace(at, mark.size(), type);
    // B('...') is a byte string in the fixture: bytea for PostgreSQL, text
    // for SQLite. (No std::regex: g++ 12 warns inside it under ASan.)
    for (std::size_t at; (at = sql.find("B('")) != std::string::npos;) {
        const std::size_t end = sql.find("')", at + 3);
        ASSERT_NE(end, std::string::npos);
        const std::string bytes = sql.substr(at + 2, end + 1 - (at + 2));
        sql.replace(at, end + 2 - at, pg ? bytes + "::bytea" : bytes);
    }
    for (std::size_t at; (at = sql.find("--")) != std::string::npos;)
        sql.erase(at, sql.find('\n', at) + 1 - at);
    if (pg) {
        verimex::test::shared_cluster()->run_sql(old_store.substr(old_store.rfind('/') + 1), sql);
    } else {
        const std::string fixture = (files->path() / "schema-1.sql").string();
        std::ofstream(fixture) << sql;
        ASSERT_EQ(std::system(("sqlite3 '" + old_store + "' < '" + fixture + "'").c_str()), 0);
    }

    std::unique_ptr<Store> store = open_store(old_store, clock_);
    const std::optional<JobSettings> settings = store->settings("old");
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->method, verimex::method::vrfy);
    EXPECT_EQ(settings->helo, "");
    EXPECT_FALSE(settings->timeout);
    std::vector<Entry> before;
    store->export_entries("old", 0, std::nullopt, [&](const Entry& e) { before.push_back(e); });
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].returnvar, "550 5.1.1 unknown");
    EXPECT_EQ(before[0].outcome, Outcome::rejected);
    EXPECT_FALSE(before[0].members);

    // The migrated store works as a new one: the unchecked address is
    // taken and its result recorded with its verdict.
    const std::vector<Lease> taken = store->take(TakeRequest{"old", 5, 60s, {0, 0ms}, "test"});
    ASSERT_EQ(taken.size(), 1u);
    verimex::report r = result("alice@x.test", "000");
    r.reason = verimex::reason::accepted;
    ASSERT_TRUE(store->record(taken[0], r, std::nullopt));
    const JobStatus s = *store->status("old");
    EXPECT_EQ(s.done, 2u);
    EXPECT_EQ(s.rejected, 1u);
    EXPECT_EQ(s.verified, 1u);
    EXPECT_EQ(s.by_verdict[static_cast<int>(verimex::verdict::deliverable)], 1u);
    // And a second opening finds version 2 and leaves it be.
    store.reset();
    EXPECT_EQ(open_store(old_store, clock_)->settings("old")->method, verimex::method::vrfy);
}

TEST_P(StoreTest, JobsKeepTheSettingsTheyWereMadeWith)
{
    JobSettings made;
    made.method = verimex::method::rcpt;
    made.helo = "probe.x.test";
    made.mail_from = "bounce@x.test";
    made.timeout = 7;
    made.tls = verimex::tls_mode::require;
    made.catch_all = false;
    store_->add("j", numbered("a", 2), made);
    // Adding more with other settings leaves the job's own.
    store_->add("j", numbered("b", 2));
    EXPECT_FALSE(store_->settings("none"));
    const JobSettings kept = *store_->settings("j");
    EXPECT_EQ(job_settings_json(kept), job_settings_json(made));
    EXPECT_EQ(parse_job_settings(job_settings_json(JobSettings{})).timeout, std::nullopt);
    EXPECT_THROW(parse_job_settings("{\"method\":\"smtp\"}"), StoreError);

    verimex::options worker;
    worker.helo = "worker.x.test";
    worker.timeout = 30;
    worker.proxy = "socks5://127.0.0.1:1080";
    const verimex::options used = with_job_settings(worker, kept);
    EXPECT_EQ(used.method, verimex::method::rcpt);
    EXPECT_EQ(used.helo, "probe.x.test");
    EXPECT_EQ(used.mail_from, "bounce@x.test");
    EXPECT_EQ(used.timeout, 7);
    EXPECT_EQ(used.tls, verimex::tls_mode::require);
    EXPECT_FALSE(used.catch_all);
    EXPECT_EQ(used.proxy, worker.proxy);  // the worker's own
    // Older jobs: VRFY, with each worker's own name and time limit.
    const verimex::options older = with_job_settings(worker, settings_of_older_jobs());
    EXPECT_EQ(older.method, verimex::method::vrfy);
    EXPECT_EQ(older.helo, "worker.x.test");
    EXPECT_EQ(older.timeout, 30);
}

TEST(SqliteStore, IsMadeReadableByItsOwnerAlone)
{
    const std::string path = (files->path() / "private.sqlite").string();
    const mode_t was = ::umask(022);
    {
        const std::unique_ptr<Store> store = open_store(path);
        store->add("j", numbered("a", 1), JobSettings{});
        for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
        }
    }
    // A file that exists keeps the mode its owner gave it.
    const std::string shared = (files->path() / "shared.sqlite").string();
    std::ofstream(shared).close();
    ::chmod(shared.c_str(), 0640);
    open_store(shared).reset();
    struct stat st {};
    ASSERT_EQ(::stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ::umask(was);
}

TEST(Records, ExportLinesInBothFormats)
{
    const Entry e{"a,b\"c@x.test", "done", "550 no,\r\n", "telnet: m\r\n\xff\r\n", std::nullopt, Outcome::rejected, 2,
                  1'765'300'000'123,
                  "{\"method\":\"rcpt\",\"verdict\":\"undeliverable\",\"reason\":\"no_such_mailbox\",\"mx\":\"m,x\","
                  "\"code\":550,\"enhanced\":\"5.1.1\",\"catch_all\":false,\"tls\":true,\"tls_version\":\"TLSv1.3\","
                  "\"role_account\":false,\"disposable\":false}"};
    EXPECT_EQ(export_line(e, ExportFormat::jsonl),
              "{\"address\":\"a,b\\\"c@x.test\",\"returnvar\":\"550 no,\\r\\n\",\"verified\":false,"
              "\"transcript\":\"telnet: m\\r\\n\xef\xbf\xbd\\r\\n\",\"error\":null,\"state\":\"done\","
              "\"attempts\":2,\"checked_at\":\"2025-12-09T17:06:40.123Z\",\"method\":\"rcpt\","
              "\"verdict\":\"undeliverable\",\"reason\":\"no_such_mailbox\",\"mx\":\"m,x\",\"code\":550,"
              "\"enhanced\":\"5.1.1\",\"catch_all\":false,\"tls\":true,\"tls_version\":\"TLSv1.3\","
              "\"role_account\":false,\"disposable\":false}\n");
    EXPECT_EQ(export_line(e, ExportFormat::csv),
              "\"a,b\"\"c@x.test\",\"550 no,\r\n\",false,\"telnet: m\r\n\xef\xbf\xbd\r\n\",,done,2,"
              "2025-12-09T17:06:40.123Z,rcpt,undeliverable,no_such_mailbox,\"m,x\",550,5.1.1,false,true,TLSv1.3,"
              "false,false\r\n");
    Entry fresh;
    fresh.address = "n@x.test";
    fresh.state = "due";
    EXPECT_EQ(export_line(fresh, ExportFormat::jsonl),
              "{\"address\":\"n@x.test\",\"returnvar\":null,\"verified\":false,\"transcript\":null,"
              "\"error\":null,\"state\":\"due\",\"attempts\":0,\"checked_at\":null,\"method\":null,"
              "\"verdict\":null,\"reason\":null,\"mx\":null,\"code\":null,\"enhanced\":null,\"catch_all\":null,"
              "\"tls\":null,\"tls_version\":null,\"role_account\":null,\"disposable\":null}\n");
    EXPECT_EQ(export_line(fresh, ExportFormat::csv), "n@x.test,,false,,,due,0,,,,,,,,,,,,\r\n");
}

TEST(Records, CsvCellsThatASpreadsheetWouldRunAreMadeText)
{
    const struct {
        std::string_view raw, cell;
    } cases[] = {
        {"=HYPERLINK(\"http://x.test\",\"x\")", "\"'=HYPERLINK(\"\"http://x.test\"\",\"\"x\"\")\""},
        {"+1", "'+1"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\r=1", "\"'\r=1\""},
        // Only the first character counts; these are plain text already.
        {"a=1", "a=1"},
        {" =1", " =1"},
        {"", ""},
        {"550 5.1.1 <a@x.test>", "550 5.1.1 <a@x.test>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(csv_field(c.raw), c.cell) << c.raw;
    // JSON lines keep the text as it came.
    Entry e;
    e.address = "=1+1@x.test";
    e.state = "due";
    EXPECT_TRUE(export_line(e, ExportFormat::jsonl).starts_with("{\"address\":\"=1+1@x.test\""));
    EXPECT_TRUE(export_line(e, ExportFormat::csv).starts_with("'=1+1@x.test,"));
}

}  // namespace
