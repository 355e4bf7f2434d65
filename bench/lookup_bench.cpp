// Cost of one MX lookup through the lookup runner, with the bundled helper
// and with BIND's nslookup answering the word "nslookup". Time is the wall
// time check() waits for the lookup (start of the tool to the end of the
// one read); child_cpu_ms is the CPU time the tool itself burned. Starting
// /bin/true the same way shows the machine's floor for any tool.
//
// Needs the test DNS server, so run it inside the private network:
//   tests/netns/run -- <build>/bin/verimex_lookup_bench
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "component/texts.h"
#include "lookup/nextmx.h"
#include "lookup/runlookup.h"
#include "platform/posix/process.h"
#include "verimex/quoverimex.h"

namespace {

double children_cpu_ms()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto ms = [](const timeval& tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// CPU time of children counts only once they are reaped.
void reap_all()
{
    using namespace std::chrono_literals;
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (verimex::platform::posix::unreaped_children() > 0 && std::chrono::steady_clock::now() < give_up) {
        verimex::platform::posix::reap_children();
        std::this_thread::sleep_for(1ms);
    }
}

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

    reap_all();
    const double cpu_before = children_cpu_ms();
    for (auto _ : state) {
        verimex::runlookup(object, command);
        std::size_t scanpos = 1;
        if (!verimex::nextmx(object.nslookup(), scanpos)) {
            state.SkipWithError("the lookup found no mail exchanger");
            break;
        }
    }
    // The timed loop has ended here; waiting for the last tools is free.
    reap_all();
    state.counters["child_cpu_ms"] = (children_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
    verimex::platform::posix::override_lookup_helper(nullptr);
}

// The floor under both: starting a program that does nothing (/bin/true)
// through the same runner, on this machine, at this load.
void start_only(benchmark::State& state)
{
    verimex::quoverimex object;
    reap_all();
    const double cpu_before = children_cpu_ms();
    for (auto _ : state)
        verimex::runlookup(object, "/bin/true");
    reap_all();
    state.counters["child_cpu_ms"] = (children_cpu_ms() - cpu_before) / static_cast<double>(state.iterations());
}

BENCHMARK(start_only)->Name("lookup/bin_true")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(lookup, helper, nullptr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(lookup, bind_nslookup, "")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
