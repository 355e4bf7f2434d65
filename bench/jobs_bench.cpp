// What a job store costs per check: verimex-check -j N over the same
// addresses as a plain bulk run, on an SQLite file and on a PostgreSQL
// cluster the bench starts itself; and the store's own share measured
// alone, with a runner whose check does nothing.
//
//   jobs_bench [BIN_DIR [COUNT]]
//
// Run it inside tests/netns/run --zones bench/bench.zones, as root (the
// PostgreSQL server runs as the postgres user). Prints Markdown.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_peers.h"
#include "bench/bench_support.h"
#include "bench/run_program.h"
#include "verimex/hosting/runner.h"
#include "verimex/hosting/location.h"
#include "tests/support/pg_cluster.h"

namespace {

using namespace verimex::bench;
namespace fs = std::filesystem;

constexpr unsigned jobs = 4;
constexpr int rounds = 3;

// Politeness and retries off: the servers are local and instant, and the
// point is the store's own cost.
const std::vector<std::string> store_options = {"--per-mx", "10000", "--mx-interval", "0", "--retry-after", "none"};

struct Kind {
    std::string name;
    // The store for round r, made fresh; empty for the plain run.
    std::function<std::string(int)> store;
};

ProgramRun run_checks(const fs::path& bin, const std::string& store, const std::string& addresses)
{
    const auto peers = bulk_peers();
    ProgramPlan plan;
    plan.argv = {(bin / "verimex-check").string(), "-f", "bench.test", "-t", "10", "-j", std::to_string(jobs)};
    if (!store.empty()) {
        plan.argv.insert(plan.argv.end(), {"--store", store});
        plan.argv.insert(plan.argv.end(), store_options.begin(), store_options.end());
    }
    plan.argv.push_back("-");
    plan.stdin_path = addresses;
    ProgramRun run = run_program(plan);
    if (run.status != 0)
        throw std::runtime_error("verimex-check ended with " + std::to_string(run.status) + ": " + run.err);
    return run;
}

class Quiet final : public verimex::hosting::RunnerSink {
public:
    void attempt(const verimex::hosting::Attempt&) override { ++count; }
    std::size_t count = 0;
};

// The store alone: add count addresses, then a runner with in_flight
// checks at once whose check returns at once. Milliseconds of wall time
// per address for the add and for the run (take, record, renew).
std::pair<double, double> store_alone(const std::string& location, int count)
{
    std::unique_ptr<verimex::hosting::Store> store = verimex::hosting::open_store(location);
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i)
        list.push_back("user" + std::to_string(i) + "@bulk" + std::to_string(i % bulk_domains) + ".bench.test");
    const auto t0 = Clock::now();
    store->add("alone", list);
    const auto t1 = Clock::now();
    verimex::hosting::RunnerSettings settings;
    settings.job = "alone";
    settings.in_flight = jobs;
    settings.politeness = {0, std::chrono::milliseconds(0)};
    verimex::hosting::Runner runner(
        *store,
        [](const std::string& a, const verimex::options&) {
            verimex::report r;
            r.address = a;
            r.returnvar = "000";
            r.verified = true;
            r.verdict = verimex::verdict::deliverable;
            return r;
        },
        settings);
    Quiet sink;
    runner.run(sink);
    const auto t2 = Clock::now();
    if (sink.count != static_cast<std::size_t>(count))
        throw std::runtime_error("the runner wrote " + std::to_string(sink.count) + " results");
    return {ms_between(t0, t1) / count, ms_between(t1, t2) / count};
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("VERIMEX_NETNS")) {
        std::fprintf(stderr, "jobs_bench: run it inside tests/netns/run --zones bench/bench.zones\n");
        return 77;
    }
    try {
        const fs::path bin = argc > 1 ? fs::path(argv[1]) : fs::path(VERIMEX_BENCH_BIN_DIR);
        const int count = argc > 2 ? std::atoi(argv[2]) : 1000;

        char pattern[] = "/tmp/verimex-jobs-bench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        const fs::path folder = pattern;
        const std::string addresses = (folder / "addresses.txt").string();
        {
            std::ofstream out(addresses);
            for (int i = 0; i < count; ++i)
                out << "user" << i << "@bulk" << (i % bulk_domains) << ".bench.test\n";
        }

        std::unique_ptr<verimex::test::PgCluster> pg;
        const std::string why_not = verimex::test::postgres_unavailable();
        if (why_not.empty())
            pg = std::make_unique<verimex::test::PgCluster>(55433);
        int databases = 0;
        const auto fresh_database = [&](int) {
            const std::string name = "bench" + std::to_string(++databases);
            pg->run_sql("postgres", "CREATE DATABASE " + name);
            return pg->uri(name);
        };

        std::vector<Kind> kinds = {
            {"plain bulk run (no store)", [](int) { return std::string(); }},
            {"SQLite file", [&](int r) { return (folder / ("round" + std::to_string(r) + ".db")).string(); }},
        };
        if (pg)
            kinds.push_back({"PostgreSQL 15 (same machine, TCP on loopback)", fresh_database});

        heading("7. Jobs: store overhead per check, verimex-check -j " + std::to_string(jobs) + " over " +
                std::to_string(count) + " addresses");
        std::vector<Samples> wall(kinds.size()), cpu(kinds.size());
        // Round by round, every kind in turn, so a change of load hits all.
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t k = 0; k < kinds.size(); ++k) {
                const ProgramRun run = run_checks(bin, kinds[k].store(r), addresses);
                wall[k].add(run.wall_ms);
                cpu[k].add(run.cpu_ms);
            }
        }
        Table t({"store", "wall s (median of " + std::to_string(rounds) + ")", "checks/s", "wall ms per check",
                 "over plain, ms per check", "verimex-check CPU ms per check", "over plain, CPU ms per check"});
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const double w = wall[k].median(), c = cpu[k].median();
            t.add({kinds[k].name, fixed(w / 1e3, 2), fixed(count / (w / 1e3), 1), fixed(w / count, 3),
                   k == 0 ? "" : fixed((w - wall[0].median()) / count, 3), fixed(c / count, 3),
                   k == 0 ? "" : fixed((c - cpu[0].median()) / count, 3)});
        }
        t.print();
        note("Ten instant local servers, addresses `userN@bulkK.bench.test` from standard input; the job runs "
             "use a fresh store each round and " +
             [] {
                 std::string o;
                 for (const std::string& s : store_options)
                     o += (o.empty() ? "" : " ") + s;
                 return "`" + o + "`";
             }() +
             " (no politeness: the defaults would hold ten servers to one check a second each). CPU is "
             "verimex-check's user + system time with its lookup helpers, as `wait4` reports it; the "
             "PostgreSQL server's own CPU is not in it (it runs in its own processes)." +
             (pg ? std::string() : " PostgreSQL was not measured: " + why_not + "."));

        heading("7a. The store alone: a runner whose check returns at once");
        Table a({"store", "add, ms per address", "take + record, ms per address", "addresses"});
        const int alone = count * 2;
        const auto sqlite = store_alone((folder / "alone.db").string(), alone);
        a.add({"SQLite file", fixed(sqlite.first, 4), fixed(sqlite.second, 3), std::to_string(alone)});
        if (pg) {
            const auto postgres = store_alone(fresh_database(0), alone);
            a.add({"PostgreSQL 15", fixed(postgres.first, 4), fixed(postgres.second, 3), std::to_string(alone)});
        }
        a.print();
        note("The same `verimex::hosting::Runner` verimex-check uses, with " + std::to_string(jobs) +
             " checks in flight: every result is one transaction (SQLite: WAL, synchronous=NORMAL; PostgreSQL: "
             "fsync off in this throw-away cluster, so a real server's commit, which waits for its disk, costs "
             "more), and every take one more.");

        pg.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "jobs_bench: %s\n", e.what());
        return 1;
    }
}
