// The job stores against the real thing: SQLite files in a temporary
// folder, and a PostgreSQL cluster this test starts inside the private
// network. Every case runs on both.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jobs/runner.h"
#include "jobs/store.h"
#include "support/pg_cluster.h"
#include "support/test_files.h"

namespace {

using namespace verimex_jobs;
using namespace std::chrono_literals;

// The test's files, in a folder made on first use and removed when the
// test ends.
verimex::test::TempFolder* const files = verimex::test::add_temp_folder("verimex-jobs-test");

// prefix0@d0.test, prefix1@d1.test, ... (a domain each), or all at `domain`.
std::vector<std::string> numbered(const std::string& prefix, int count, const std::string& domain = "")
{
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i)
        list.push_back(prefix + std::to_string(i) + "@" +
                       (domain.empty() ? "d" + std::to_string(i) + ".test" : domain));
    return list;
}

TakeRequest request(std::size_t count, Politeness politeness = {0, 0ms}, std::chrono::milliseconds lease = 60s)
{
    return TakeRequest{"j", count, lease, politeness, "test"};
}

CheckRecord result(const std::string& address, std::string returnvar, std::string transcript = "")
{
    return CheckRecord{address, std::move(returnvar), std::move(transcript), ""};
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        location_ = verimex::test::new_store(GetParam(), files->path());
        if (location_.empty())
            GTEST_SKIP() << "no PostgreSQL here";
        store_ = open_store(location_);
    }

    std::vector<Lease> take(std::size_t count, Politeness politeness = {0, 0ms}, std::chrono::milliseconds lease = 60s)
    {
        return store_->take(request(count, politeness, lease));
    }

    std::vector<Entry> entries(const std::string& job = "j", std::uint64_t offset = 0,
                               std::optional<std::uint64_t> limit = std::nullopt)
    {
        std::vector<Entry> out;
        store_->export_entries(job, offset, limit, [&](const Entry& e) { out.push_back(e); });
        return out;
    }

    std::string location_;
    std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, AJobKeepsEachAddressOnceInOrderUntilRemoved)
{
    const AddResult one = store_->add("j", std::vector<std::string>{"a@x.test", "b@x.test", "a@x.test", "c@y.test"});
    EXPECT_EQ(one.added, 3u);
    EXPECT_EQ(one.duplicates, 1u);
    const std::vector<std::string> second = {"c@y.test", "d@y.test", "A@x.test"};
    const AddResult two = store_->add("j", second);
    EXPECT_EQ(two.added, 2u);  // case matters in the local part
    EXPECT_EQ(two.duplicates, 1u);
    // Another job has lists of its own.
    EXPECT_EQ(store_->add("other", second).added, 3u);

    std::vector<std::string> order;
    for (const Entry& e : entries())
        order.push_back(e.address);
    EXPECT_EQ(order, (std::vector<std::string>{"a@x.test", "b@x.test", "c@y.test", "d@y.test", "A@x.test"}));
    EXPECT_EQ(store_->jobs(), (std::vector<std::string>{"j", "other"}));
    const std::optional<JobStatus> s = store_->status("j");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->total, 5u);
    EXPECT_EQ(s->due, 5u);
    EXPECT_FALSE(store_->status("nope"));

    for (const std::string& name : {std::string(), std::string("a\nb"), std::string(201, 'x')})
        EXPECT_THROW(store_->add(name, std::vector<std::string>{"a@x.test"}), StoreError) << name;
    EXPECT_NO_THROW(store_->add(std::string(200, 'x'), std::vector<std::string>{"a@x.test"}));

    // Removing a job voids its leases and leaves the others.
    const std::vector<Lease> l = take(1);
    EXPECT_TRUE(store_->remove("j"));
    EXPECT_FALSE(store_->remove("j"));
    EXPECT_FALSE(store_->record(l[0], result("a@x.test", "000"), std::nullopt));
    EXPECT_FALSE(store_->status("j"));
    EXPECT_EQ(store_->status("other")->total, 3u);
    EXPECT_EQ(store_->jobs(), (std::vector<std::string>{"other", std::string(200, 'x')}));
}

TEST_P(StoreTest, LeasesAloneWriteResultsByteForByteAndHoldOnlyWhileRenewed)
{
    // Bytes that are not text go through unchanged.
    const std::string odd = "caf\xc3\xa9\xff@x.test";
    const std::string reply = "550 \x01\xfe\r\n";
    store_->add("j", std::vector<std::string>{"a@x.test", odd});
    std::vector<Lease> leases = take(10);
    ASSERT_EQ(leases.size(), 2u);
    EXPECT_TRUE(take(10).empty());  // both are running

    Lease forged = leases[0];
    forged.token = "not-the-token";
    EXPECT_FALSE(store_->record(forged, result("a@x.test", "000"), std::nullopt));
    EXPECT_TRUE(store_->record(leases[0], result("a@x.test", "000"), std::nullopt));
    // Once written, the same lease writes nothing more.
    EXPECT_FALSE(store_->record(leases[0], result("a@x.test", "550 no\r\n"), std::nullopt));

    const std::optional<JobStatus> s = store_->status("j");
    EXPECT_EQ(s->done, 1u);
    EXPECT_EQ(s->running, 1u);
    EXPECT_EQ(s->verified, 1u);
    const std::vector<Entry> e = entries();
    EXPECT_EQ(e[0].state, "done");
    EXPECT_EQ(e[0].returnvar, "000");
    EXPECT_EQ(e[0].attempts, 1u);
    EXPECT_TRUE(e[0].checked_at);
    EXPECT_EQ(e[1].state, "running");
    EXPECT_EQ(e[1].attempts, 0u);

    // Given back, it is due at once, and the old lease is void.
    store_->release(std::span(leases).subspan(1));
    std::vector<Lease> again = take(10);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].address, odd);
    EXPECT_FALSE(store_->record(leases[1], result(odd, "000"), std::nullopt));
    EXPECT_TRUE(store_->record(again[0], result(odd, reply, "telnet: m\r\n" + reply), std::nullopt));
    EXPECT_EQ(store_->work("j").unfinished, 0u);
    EXPECT_EQ(entries()[1].address, odd);
    EXPECT_EQ(entries()[1].returnvar, reply);

    // Only the first is renewed: the second runs out and goes to the next
    // worker, and its lost attempt does not count.
    store_->add("j", std::vector<std::string>{"c@x.test", "d@x.test"});
    const std::vector<Lease> first = take(2, {0, 0ms}, 300ms);
    ASSERT_EQ(first.size(), 2u);
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(150ms);
        store_->renew(std::span(first).first(1), 300ms);
    }
    EXPECT_EQ(store_->status("j")->due, 1u);
    const std::vector<Lease> second = take(2);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].address, "d@x.test");
    EXPECT_EQ(second[0].attempts, 0u);
    EXPECT_FALSE(store_->record(first[1], result("d@x.test", "000"), std::nullopt));
    EXPECT_TRUE(store_->record(second[0], result("d@x.test", "000"), std::nullopt));
    EXPECT_TRUE(store_->record(first[0], result("c@x.test", "000"), std::nullopt));
}

TEST_P(StoreTest, AtMostKLeasesPerKeyAndTheOthersGoOn)
{
    std::vector<std::string> list = numbered("u", 6, "busy.test");
    list.push_back("v@quiet.test");
    store_->add("j", list);
    const std::vector<Lease> l = take(10, {2, 0ms});
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].key, "busy.test");
    EXPECT_EQ(l[1].key, "busy.test");
    EXPECT_EQ(l[2].address, "v@quiet.test");
    // Across callers (another store object is another worker).
    std::unique_ptr<Store> other = open_store(location_);
    EXPECT_TRUE(other->take(request(10, {2, 0ms})).empty());
    ASSERT_TRUE(store_->record(l[0], result(l[0].address, "000"), std::nullopt));
    EXPECT_EQ(other->take(request(10, {2, 0ms})).size(), 1u);
}

// Each kind of result: how it is classed, whether it is worth a retry, and
// that the store counts it under that class.
TEST_P(StoreTest, EachKindOfResultIsClassedAndCounted)
{
    struct Case {
        std::string returnvar;
        std::string error;
        Outcome outcome;
        bool temporary;
    };
    const std::vector<Case> cases = {
        {"000", "", Outcome::verified, false},
        {"550 5.1.1 no\r\n", "", Outcome::rejected, false},
        {"252 2.5.2 cannot\r\n", "", Outcome::rejected, false},
        {"451 4.7.1 greylisted\r\n", "", Outcome::rejected, true},
        {"450 busy\r\n", "", Outcome::rejected, true},
        {"4xx", "", Outcome::other_error, false},
        {"ERROR: could not connect to mail server", "", Outcome::could_not_connect, false},
        {"999 - could not find a mail server for the adress", "", Outcome::no_mail_server, false},
        {"ERROR: timeout after 120 seconds.", "", Outcome::timed_out, false},
        {"ERROR: NSLOOKUP failed. Error: 24", "", Outcome::other_error, false},
        {"ERROR: invalid email address", "", Outcome::other_error, false},
        {"000", "socket failed", Outcome::other_error, false},
        {"", "", Outcome::other_error, false},
        {"", "socket: too many open files", Outcome::other_error, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const CheckRecord r{"a", cases[i].returnvar, "", cases[i].error};
        EXPECT_EQ(outcome_of(r), cases[i].outcome) << i << ": " << r.returnvar;
        EXPECT_EQ(is_temporary_reply(r), cases[i].temporary) << i << ": " << r.returnvar;
    }
    store_->add("j", numbered("a", static_cast<int>(cases.size())));
    const std::vector<Lease> l = take(100);
    ASSERT_EQ(l.size(), cases.size());
    for (const Lease& lease : l) {
        const Case& c = cases[static_cast<std::size_t>(std::stoi(lease.address.substr(1)))];
        ASSERT_TRUE(store_->record(lease, CheckRecord{lease.address, c.returnvar, "", c.error}, std::nullopt));
    }
    EXPECT_EQ(status_json(*store_->status("j")),
              "{\"job\":\"j\",\"total\":14,\"done\":14,\"due\":0,\"running\":0,\"deferred\":0,"
              "\"results\":{\"verified\":1,\"rejected\":4,\"could_not_connect\":1,"
              "\"no_mail_server\":1,\"timed_out\":1,\"other_errors\":6}}");
    EXPECT_EQ(entries().back().error, "socket: too many open files");
}

TEST_P(StoreTest, ExportPagesThroughTheJobInOrderAsOneSnapshot)
{
    store_->add("j", numbered("p", 2500, "x.test"));
    const std::vector<Entry> page = entries("j", 1200, 1100);
    ASSERT_EQ(page.size(), 1100u);
    EXPECT_EQ(page.front().address, "p1200@x.test");
    EXPECT_EQ(page.back().address, "p2299@x.test");
    EXPECT_EQ(entries("j", 2490, 100).size(), 10u);
    EXPECT_TRUE(entries("j", 3000, 10).empty());
    EXPECT_FALSE(store_->export_entries("nope", 0, std::nullopt, [](const Entry&) {}));

    // Halfway through an export, another worker finishes every address:
    // the export still shows none done.
    std::unique_ptr<Store> worker = open_store(location_);
    std::size_t seen = 0, done_seen = 0;
    store_->export_entries("j", 0, std::nullopt, [&](const Entry& e) {
        if (++seen == 700)
            for (const Lease& l : worker->take(request(3000)))
                worker->record(l, result(l.address, "000"), std::nullopt);
        if (e.state == "done")
            ++done_seen;
    });
    EXPECT_EQ(seen, 2500u);
    EXPECT_EQ(done_seen, 0u);
    EXPECT_EQ(store_->status("j")->done, 2500u);
}

TEST_P(StoreTest, NewerSchemaIsRefused)
{
    store_.reset();
    if (GetParam() == "sqlite") {
        const std::string sql = "sqlite3 '" + location_ + "' \"UPDATE verimex_meta SET value = '99'\"";
        ASSERT_EQ(std::system(sql.c_str()), 0);
    } else {
        const std::string name = location_.substr(location_.rfind('/') + 1);
        verimex::test::shared_cluster()->run_sql(name, "UPDATE verimex_meta SET value = '99'");
    }
    try {
        open_store(location_);
        FAIL() << "opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("schema is version 99, newer than this program's (1)"),
                  std::string::npos)
            << e.what();
    }
}

// The runner over the store, with a check function that plays the mail
// servers by address (the real checks run in the verimex-check tests).
struct FinalCount : RunnerSink {
    void attempt(const Attempt& a) override { finals += a.final ? 1 : 0; }
    int finals = 0;
};

RunnerSettings quick_settings(unsigned in_flight)
{
    RunnerSettings s;
    s.job = "j";
    s.in_flight = in_flight;
    s.lease = 5s;
    s.politeness = {0, 0ms};
    s.idle_poll = 50ms;
    return s;
}

// The first check of n0 cannot be made (out of descriptors): that address
// is given back without an attempt and checked again.
TEST_P(StoreTest, RunnerKeepsNChecksInFlightAndChecksEachAddressOnce)
{
    const std::vector<std::string> list = numbered("n", 40);
    store_->add("j", list);
    std::mutex mutex;
    std::map<std::string, int> calls;
    int running = 0, most = 0;
    const CheckFunction check = [&](const std::string& address) {
        CheckRecord r{address, "550 no\r\n", "", ""};
        {
            std::lock_guard lock(mutex);
            if (++calls[address] == 1 && address == list[0]) {
                r.returnvar = "ERROR: NSLOOKUP failed. CreatePipe failed. Error: 24";
                r.unusable = true;
            }
            most = std::max(most, ++running);
        }
        std::this_thread::sleep_for(30ms);
        std::lock_guard lock(mutex);
        --running;
        return r;
    };
    Runner runner(*store_, check, quick_settings(5));
    FinalCount sink;
    const RunSummary summary = runner.run(sink);
    EXPECT_EQ(summary.final_results, 40u);
    EXPECT_EQ(summary.given_back, 1u);
    EXPECT_EQ(most, 5);
    EXPECT_EQ(calls.size(), 40u);
    for (const auto& [address, n] : calls)
        EXPECT_EQ(n, address == list[0] ? 2 : 1) << address;
    EXPECT_EQ(entries()[0].attempts, 1u);
    EXPECT_EQ(entries()[0].returnvar, "550 no\r\n");
}

TEST_P(StoreTest, StoppingARunnerGivesItsAddressesBack)
{
    store_->add("j", numbered("x", 6));
    std::atomic<int> started{0};
    // Checks that take far longer than the test: abandoned on stop.
    const CheckFunction check = [&](const std::string& address) {
        ++started;
        std::this_thread::sleep_for(3s);
        return CheckRecord{address, "000", "", ""};
    };
    Runner runner(*store_, check, quick_settings(3));
    FinalCount sink;
    std::thread stopper([&] {
        while (started < 3)
            std::this_thread::sleep_for(5ms);
        runner.stop();
    });
    const auto begin = std::chrono::steady_clock::now();
    const RunSummary summary = runner.run(sink);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(sink.finals, 0);
    const JobStatus s = *store_->status("j");
    EXPECT_EQ(s.due, 6u);
    EXPECT_EQ(s.running, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& p) { return p.param; });

// Stores that cannot be had: each a StoreError that says why.
TEST(OpenStore, RefusesWhatIsNoStore)
{
    const std::filesystem::path folder = files->path();
    const std::string junk = (folder / "junk.db").string();
    std::ofstream(junk) << "this is not a database, only some text that is long enough to be looked at\n";
    struct Case {
        std::string location;
        std::string says;
    };
    std::vector<Case> cases = {
        {(folder / "no-such-folder" / "x.db").string(), "unable to open database file"},
        {junk, "file is not a database"},
        {"", "empty file name"},
        {"postgresql://verimex@127.0.0.1:1/verimex?connect_timeout=2", "127.0.0.1"},
        {"postgresql://verimex@[::1", "IPv6 host address"},
    };
    for (const Case& c : cases) {
        try {
            open_store(c.location);
            ADD_FAILURE() << "opened " << c.location;
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.location << ": " << e.what();
        }
    }
}

TEST(Records, RetryDelaysFollowTheListThenTheResultIsFinal)
{
    const std::vector<std::chrono::milliseconds> delays = {1s, 5s};
    const CheckRecord grey{"a", "451 later\r\n", "", ""};
    const CheckRecord timeout{"a", "ERROR: timeout after 5 seconds.", "", ""};
    const CheckRecord refused{"a", "ERROR: could not connect to mail server", "", ""};
    EXPECT_EQ(retry_delay(grey, 0, delays, false), 1s);
    EXPECT_EQ(retry_delay(grey, 1, delays, false), 5s);
    EXPECT_EQ(retry_delay(grey, 2, delays, false), std::nullopt);
    EXPECT_EQ(retry_delay(timeout, 0, delays, false), std::nullopt);
    EXPECT_EQ(retry_delay(timeout, 0, delays, true), 1s);
    EXPECT_EQ(retry_delay(refused, 1, delays, true), 5s);
    EXPECT_EQ(retry_delay(CheckRecord{"a", "550 no\r\n", "", ""}, 0, delays, true), std::nullopt);
    EXPECT_EQ(retry_delay(grey, 0, {}, false), std::nullopt);
}

TEST(Records, ExportLinesInBothFormats)
{
    Entry e;
    e.address = "a,b\"c@x.test";
    e.state = "done";
    e.returnvar = "550 no,\r\n";
    e.transcript = "telnet: m\r\n\xff\r\n";
    e.attempts = 2;
    e.checked_at = 1'765'300'000'123;
    EXPECT_EQ(export_line(e, ExportFormat::jsonl),
              "{\"address\":\"a,b\\\"c@x.test\",\"returnvar\":\"550 no,\\r\\n\",\"verified\":false,"
              "\"transcript\":\"telnet: m\\r\\n\xef\xbf\xbd\\r\\n\",\"error\":null,\"state\":\"done\","
              "\"attempts\":2,\"checked_at\":\"2025-12-09T17:06:40.123Z\"}\n");
    EXPECT_EQ(export_line(e, ExportFormat::csv),
              "\"a,b\"\"c@x.test\",\"550 no,\r\n\",false,\"telnet: m\r\n\xef\xbf\xbd\r\n\",,done,2,"
              "2025-12-09T17:06:40.123Z\r\n");
    Entry fresh;
    fresh.address = "n@x.test";
    fresh.state = "due";
    EXPECT_EQ(export_line(fresh, ExportFormat::jsonl),
              "{\"address\":\"n@x.test\",\"returnvar\":null,\"verified\":false,\"transcript\":null,"
              "\"error\":null,\"state\":\"due\",\"attempts\":0,\"checked_at\":null}\n");
    EXPECT_EQ(export_line(fresh, ExportFormat::csv), "n@x.test,,false,,,due,0,\r\n");
    EXPECT_EQ(export_header(ExportFormat::csv),
              "address,returnvar,verified,transcript,error,state,attempts,checked_at\r\n");
    EXPECT_EQ(export_format("jsonl"), ExportFormat::jsonl);
    EXPECT_EQ(export_format("JSON"), std::nullopt);
}

}  // namespace
