// Cost of one MX lookup through the lookup runner, with the bundled helper
// and with BIND's nslookup answering the word "nslookup". Time is the wall
// time check() waits for the lookup (start of the tool to the end of the
// one read); child_cpu_ms is the CPU time the tool itself burned. Starting
// /bin/true the same way shows the machine's floor for any tool.
//
// Table 1c: the start of the same static do-nothing program from a process
// holding 10, 1,000 and 10,000 descriptors, the unshared way (the child gets
// a table of its own, empty) and the copying way (posix_spawn: our table is
// copied into the child and closed there), interleaved repetitions of both.
//
// Needs the test DNS server, so run it inside the private network:
//   tests/netns/run -- <build>/bin/verimex_lookup_bench [--markdown]
// --markdown prints one Markdown table in place of Google Benchmark's
// console report (scripts/bench gathers it into BENCHMARKS.md).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "component/texts.h"
#include "lookup/nextmx.h"
#include "lookup/runlookup.h"
#include "platform/posix/fd.h"
#include "platform/posix/process.h"
#include "platform/posix/spawn.h"
#include "verimex/quoverimex.h"

namespace {

using verimex::bench::children_cpu_ms;

// Page faults of every child reaped so far: on a virtual machine they can
// be most of what starting a program costs.
double children_faults()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_minflt + usage.ru_majflt);
}
// A child's CPU time counts only once it is reaped.
using verimex::bench::reap_lookup_children;

// helper: nullptr for the bundled helper, "" for nslookup from PATH.
void lookup(benchmark::State& state, const char* helper)
{
    if (!std::getenv("VERIMEX_NETNS")) {
        state.SkipWithError("run inside tests/netns/run: the lookups need the test DNS server");
        return;
    }
    verimex::platform::posix::override_lookup_helper(helper);
    const std::string command = verimex::texts::lookup_command("two.test", "");
    verimex::quoverimex object;

    reap_lookup_children();
    const double cpu_before = children_cpu_ms();
    const double faults_before = children_faults();
    for (auto _ : state) {
        verimex::runlookup(object, command);
        std::size_t scanpos = 1;
        if (!verimex::nextmx(object.nslookup(), scanpos)) {
            state.SkipWithError("the lookup found no mail exchanger");
            break;
        }
    }
    // The timed loop has ended here; waiting for the last tools is free.
    reap_lookup_children();
    state.counters["child_cpu_ms"] = (children_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
    state.counters["child_faults"] = (children_faults() - faults_before) / static_cast<double>(state.iterations());
    verimex::platform::posix::override_lookup_helper(nullptr);
}

// The floor under both: starting a program that does nothing through the
// same runner, on this machine, at this load: a static one (the floor the
// helper is held to) and the system's dynamically linked /bin/true.
void start_only(benchmark::State& state, const char* program)
{
    verimex::quoverimex object;
    reap_lookup_children();
    const double cpu_before = children_cpu_ms();
    const double faults_before = children_faults();
    for (auto _ : state)
        verimex::runlookup(object, program);
    reap_lookup_children();
    state.counters["child_cpu_ms"] = (children_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
    state.counters["child_faults"] = (children_faults() - faults_before) / static_cast<double>(state.iterations());
}

std::size_t descriptors_open()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds))) - 1;  // less the one listing them
}

// The static do-nothing program started through the runner while this
// process holds `range(0)` descriptors in all, inheritable ones on
// /dev/null as a careless host's would be; copying picks posix_spawn's way.
// The copy of the table is made in clone, on our CPU, and it is closed in
// the child before the exec, on the child's: the CPU counted is both.
void start_with_open(benchmark::State& state, bool copying)
{
    const auto wanted = static_cast<std::size_t>(state.range(0));
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted + 100) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, wanted + 100);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<verimex::platform::posix::Fd> held;
    for (std::size_t open = descriptors_open(); open < wanted; ++open) {
        verimex::platform::posix::Fd fd(::open("/dev/null", O_RDONLY));
        if (!fd) {
            state.SkipWithError("could not open enough descriptors");
            return;
        }
        held.push_back(std::move(fd));
    }
    verimex::platform::posix::set_starts_copy_descriptors(copying);
    verimex::quoverimex object;
    reap_lookup_children();
    const double cpu_before = children_cpu_ms();
    for (auto _ : state)
        verimex::runlookup(object, VERIMEX_DO_NOTHING);
    reap_lookup_children();
    state.counters["child_cpu_ms"] = (children_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
    state.counters["copied"] = verimex::platform::posix::starts_copy_descriptors() ? 1 : 0;
    verimex::platform::posix::set_starts_copy_descriptors(false);
}

BENCHMARK_CAPTURE(start_with_open, unshared, false)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.4);
BENCHMARK_CAPTURE(start_with_open, copying, true)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.4);

BENCHMARK_CAPTURE(start_only, static_nothing, VERIMEX_DO_NOTHING)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK_CAPTURE(start_only, bin_true, "/bin/true")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(lookup, helper, nullptr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(lookup, bind_nslookup, "")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The three runs as one table, with the helper's target.
class MarkdownReporter final : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_name.function_name.rfind("start_with_open/", 0) == 0)
                starts_.push_back(run);
            else
                runs_.push_back(run);
        }
    }
    void Finalize() override
    {
        lookup_table();
        starts_table();
    }

private:
    void lookup_table()
    {
        using verimex::bench::fixed;
        // The runs come in random order (table 1c's repetitions are
        // interleaved); the helper's row is judged against the floor rows,
        // so those go first.
        const auto rank = [](const Run& run) {
            const std::string& name = run.run_name.function_name;
            return name == "start_only/static_nothing" ? 0 : name == "start_only/bin_true" ? 1
                : name == "lookup/helper"                ? 2
                                                         : 3;
        };
        std::stable_sort(runs_.begin(), runs_.end(),
                         [&](const Run& a, const Run& b) { return rank(a) < rank(b); });
        verimex::bench::heading(
            "1b. One lookup: the bundled helper, BIND's nslookup, and starting a program that does nothing");
        verimex::bench::Table t({"tool run for the word `nslookup`", "wall ms per lookup", "tool CPU ms",
                                 "tool page faults", "lookups timed", "target", "result"});
        double floor_ms = 0, floor_cpu = 0, helper_ms = 0, helper_cpu = 0, true_ms = 0, true_cpu = 0;
        std::string helper_ratio;
        for (const Run& run : runs_) {
            const std::string name = run.run_name.function_name;
            if (run.error_occurred) {
                t.add({name, "failed: " + run.error_message});
                continue;
            }
            const double wall = run.GetAdjustedRealTime();
            const auto counter = [&](const char* key) {
                const auto it = run.counters.find(key);
                return it == run.counters.end() ? 0.0 : it->second.value;
            };
            const double cpu = counter("child_cpu_ms");
            std::string tool = name, goal, result;
            if (name == "start_only/static_nothing") {
                tool = "a static program that does nothing (no lookup: the floor of starting any program)";
                floor_ms = wall;
                floor_cpu = cpu;
            } else if (name == "start_only/bin_true") {
                tool = "`/bin/true` (dynamically linked, does nothing)";
                true_ms = wall;
                true_cpu = cpu;
            } else if (name == "lookup/helper") {
                tool = "bundled helper `verimex-nslookup` (static)";
                helper_ms = wall;
                helper_cpu = cpu;
                // Both the helper's own CPU and the wall time the check
                // waits (which holds dnsmasq's answer too) against the floor.
                const double cpu_ratio = floor_cpu > 0 ? cpu / floor_cpu : 0;
                const double wall_ratio = floor_ms > 0 ? wall / floor_ms : 0;
                goal = "CPU and wall <= 1.5x the static floor";
                helper_ratio = fixed(cpu_ratio, 2) + "x CPU, " + fixed(wall_ratio, 2) + "x wall";
                result = verimex::bench::target("lookup: helper start and answer vs a static do-nothing program",
                                                helper_ratio, "<= 1.5x", cpu_ratio <= 1.5 && wall_ratio <= 1.5);
            } else if (name == "lookup/bind_nslookup") {
                tool = "system BIND `nslookup`";
            }
            t.add({tool, fixed(wall, 2), fixed(cpu, 2), fixed(counter("child_faults"), 0),
                   std::to_string(run.iterations), goal, result});
        }
        t.print();
        verimex::bench::note(
            "Each row runs the library's lookup runner (`runlookup`) on `nslookup -q=mx two.test` against the "
            "dnsmasq of the private network, over and over for at least 2 s: the wall time is the start of the "
            "tool to the end of the one read of its output, as a check waits for it; the tool's CPU is taken "
            "from the reaped children, and so are its page faults. Starting a static program that does nothing "
            "the same way took " +
            fixed(floor_ms, 2) + " ms (" + fixed(floor_cpu, 2) +
            " ms of CPU) on this machine: that much of every row is the cost of starting a program; the "
            "dynamically linked `/bin/true` took " +
            fixed(true_ms, 2) + " ms (" + fixed(true_cpu, 2) +
            " ms of CPU). The helper's own share above the static floor: " + fixed(helper_ms - floor_ms, 2) +
            " ms wall (its query and dnsmasq's answer), " + fixed(helper_cpu - floor_cpu, 2) + " ms CPU (" +
            helper_ratio + ").");
    }

    // Table 1c: the two ways side by side, medians of the interleaved
    // repetitions.
    void starts_table()
    {
        using verimex::bench::fixed;
        struct Cell {
            double wall = 0, cpu = 0;
            bool seen = false, copied = false;
            std::string error;
        };
        std::map<long, std::map<std::string, Cell>> cells;  // descriptors -> way -> median
        for (const Run& run : starts_) {
            const std::string way = run.run_name.function_name.substr(run.run_name.function_name.find('/') + 1);
            const long open = std::stol(run.run_name.args);
            Cell& cell = cells[open][way];
            if (run.error_occurred) {
                cell.error = run.error_message;
                continue;
            }
            if (run.aggregate_name != "median")
                continue;
            const auto counter = [&](const char* key) {
                const auto it = run.counters.find(key);
                return it == run.counters.end() ? 0.0 : it->second.value;
            };
            cell.seen = true;
            cell.wall = run.GetAdjustedRealTime();
            cell.cpu = run.GetAdjustedCPUTime() + counter("child_cpu_ms");
            cell.copied = counter("copied") > 0;
        }
        verimex::bench::heading("1c. Starting the tool from a process with many descriptors open");
        verimex::bench::Table t({"descriptors open", "own table: wall ms", "own table: CPU ms",
                                 "copied table: wall ms", "copied table: CPU ms", "copied / own, wall",
                                 "copied / own, CPU"});
        std::string fell_back;
        for (const auto& [open, ways] : cells) {
            const auto own = ways.find("unshared");
            const auto copy = ways.find("copying");
            if (own == ways.end() || copy == ways.end() || !own->second.seen || !copy->second.seen) {
                const std::string error = own != ways.end() && !own->second.error.empty() ? own->second.error
                    : copy != ways.end()                                                ? copy->second.error
                                                                                        : "";
                t.add({std::to_string(open), "failed: " + error});
                continue;
            }
            const Cell& a = own->second;
            const Cell& b = copy->second;
            if (a.copied)
                fell_back = " **The unshared way was not available here: its rows were measured copying too.**";
            t.add({std::to_string(open), fixed(a.wall, 3), fixed(a.cpu, 3), fixed(b.wall, 3), fixed(b.cpu, 3),
                   fixed(a.wall > 0 ? b.wall / a.wall : 0, 2) + "x", fixed(a.cpu > 0 ? b.cpu / a.cpu : 0, 2) + "x"});
        }
        t.print();
        verimex::bench::note(
            "The static do-nothing program of table 1b started through the lookup runner while the bench "
            "process holds that many descriptors in all (inheritable ones on `/dev/null`). *Own table*: the child "
            "is cloned sharing our descriptor table and its first act is `close_range(0, ~0U, "
            "CLOSE_RANGE_UNSHARE)`, which gives it an empty table of its own; it reopens the pipe through "
            "`/proc`. *Copied table*: `posix_spawn` with `closefrom` from 3, as every start was made before and "
            "still is where `/proc` is closed to the child: the kernel copies the table into the child, which "
            "closes it again. Wall time is the start to the end of the one read; CPU is the bench thread's and "
            "the reaped child's. Medians of 5 repetitions of each (at least 0.4 s each), the repetitions of all "
            "six rows run in random order, so the two ways share the machine's load alike." +
            fell_back);
    }

    std::vector<Run> runs_;
    std::vector<Run> starts_;
};

}  // namespace

int main(int argc, char** argv)
{
    bool markdown = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--markdown")
            markdown = true;
        else
            args.push_back(argv[i]);
    }
    // The repetitions of table 1c's two ways are run in random order, so a
    // change of load meets both alike.
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    if (markdown)
        args.push_back(interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    if (markdown) {
        MarkdownReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
