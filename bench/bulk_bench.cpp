// verimex-check at work on many addresses, measured from outside as any
// user would see it: checks per second and CPU per check with -j 1, 2, 4
// and 8 over 1,000 addresses, once with the bundled lookup helper and once
// with the system's BIND nslookup in its place; and the program's peak
// memory for one check, for 1,000 checks with -j 8, and against a server
// that streams one endless line until the time limit.
//
//   bulk_bench [BIN_DIR [COUNT]]
//
// BIN_DIR holds verimex-check, libverimex and the helper (default: this
// build's bin folder). The servers and the DNS records are on loopback: run
// it inside tests/netns/run --zones bench/bench.zones. Prints Markdown.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_peers.h"
#include "bench/bench_support.h"
#include "bench/run_program.h"
#include "component/texts.h"

namespace {

using namespace verimex::bench;
namespace fs = std::filesystem;

constexpr const char* from_name = "bench.test";

// Where the BIND variant runs: a copy of verimex-check and the library in a
// folder of their own. The library looks for its helper beside itself (and
// in ../libexec/verimex); finding none there it runs "nslookup" from PATH,
// which is BIND's. verimex-check carries a RUNPATH, so LD_LIBRARY_PATH
// points it at the copy.
class BindVariant {
public:
    explicit BindVariant(const fs::path& bin)
    {
        std::string pattern = (fs::temp_directory_path() / "verimex-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        dir_ = pattern;
        fs::copy_file(bin / "verimex-check", dir_ / "verimex-check");
        // The soname is what the program asks for; copying follows the link.
        fs::copy_file(bin / "libverimex.so.1", dir_ / "libverimex.so.1");
    }
    BindVariant(const BindVariant&) = delete;
    BindVariant& operator=(const BindVariant&) = delete;
    ~BindVariant()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string checker() const { return (dir_ / "verimex-check").string(); }
    std::vector<std::string> env() const { return {"LD_LIBRARY_PATH=" + dir_.string()}; }

private:
    fs::path dir_;
};

struct Variant {
    std::string name;
    std::string checker;
    std::vector<std::string> env;
};

ProgramRun check_once(const Variant& v, const std::vector<std::string>& args, std::vector<std::string> env = {},
                      bool own_peak = false)
{
    ProgramPlan plan;
    plan.own_peak = own_peak;
    plan.argv = {v.checker, "-f", from_name};
    plan.argv.insert(plan.argv.end(), args.begin(), args.end());
    plan.env = v.env;
    plan.env.insert(plan.env.end(), env.begin(), env.end());
    return run_program(plan);
}

std::string result_of(const ProgramRun& run)
{
    const std::string& text = run.out.empty() ? run.err : run.out;
    const std::size_t colon = text.find(": ");
    std::string result = colon == std::string::npos ? text : text.substr(colon + 2);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

// Shows that each variant runs the lookup tool it is meant to: with PATH
// pointing nowhere, the bundled helper still answers, while the variant
// that looks "nslookup" up on PATH cannot start it.
void which_tool(const std::vector<Variant>& variants)
{
    heading("3a. Which lookup tool each variant runs");
    Table t({"variant", "`verimex-check someone@instant.bench.test` with PATH=/nonexistent", "so it runs"});
    const std::string not_found = verimex::texts::start_failed(ENOENT);
    for (const Variant& v : variants) {
        const ProgramRun run = check_once(v, {"someone@instant.bench.test"}, {"PATH=/nonexistent"});
        const std::string result = result_of(run);
        const std::string runs = result == verimex::texts::verified ? "the bundled helper (found beside the library)"
                                 : result == not_found             ? "`nslookup` from PATH"
                                                                   : "(unexpected)";
        t.add({v.name, "`" + result + "`", runs});
        if (runs == "(unexpected)")
            throw std::runtime_error("variant " + v.name + " gave: " + run.out + run.err);
    }
    t.print();
}

struct Bulk {
    ProgramRun run;
    int verified = 0;
    int lines = 0;
};

Bulk bulk_run(const Variant& v, unsigned jobs, const std::string& addresses_file, bool own_peak = false)
{
    // Fresh servers for every run: each keeps a thread per connection
    // until it stops.
    const auto peers = bulk_peers();
    ProgramPlan plan;
    plan.argv = {v.checker, "-f", from_name, "-t", "10", "-j", std::to_string(jobs), "-"};
    plan.env = v.env;
    plan.stdin_path = addresses_file;
    plan.own_peak = own_peak;
    Bulk b;
    b.run = run_program(plan);
    std::size_t start = 0;
    const std::string suffix = std::string(": ") + std::string(verimex::texts::verified);
    while (start < b.run.out.size()) {
        std::size_t end = b.run.out.find('\n', start);
        if (end == std::string::npos)
            end = b.run.out.size();
        const std::string_view line(b.run.out.data() + start, end - start);
        ++b.lines;
        b.verified += line.ends_with(suffix) ? 1 : 0;
        start = end + 1;
    }
    return b;
}

std::string write_addresses(int count)
{
    const std::string path = (fs::temp_directory_path() / "verimex-bench-addresses.txt").string();
    std::ofstream out(path);
    for (int i = 0; i < count; ++i)
        out << "user" << i << "@bulk" << (i % bulk_domains) << ".bench.test\n";
    return path;
}

std::string mib(long kib)
{
    return fixed(static_cast<double>(kib) / 1024.0, 2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("VERIMEX_NETNS")) {
        std::fprintf(stderr, "bulk_bench: run it inside tests/netns/run --zones bench/bench.zones\n");
        return 77;
    }
    try {
        const fs::path bin = argc > 1 ? fs::path(argv[1]) : fs::path(VERIMEX_BENCH_BIN_DIR);
        const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
        const std::vector<unsigned> jobs = {1, 2, 4, 8};

        BindVariant bind_dir(bin);
        const Variant helper{"bundled helper `verimex-nslookup`", (bin / "verimex-check").string(), {}};
        const Variant bind{"system BIND `nslookup`", bind_dir.checker(), bind_dir.env()};

        verimex::test::SmtpPeer instant(instant_address, instant_server());
        which_tool({helper, bind});

        // ---- throughput ----
        heading("3. Throughput: verimex-check -j N over " + std::to_string(count) + " addresses");
        const std::string addresses = write_addresses(count);
        Table t({"lookup tool", "-j", "wall s", "checks/s", "CPU ms per check", "CPU / wall", "verified"});
        bool all_verified = true;
        for (const Variant* v : {&helper, &bind}) {
            for (unsigned j : jobs) {
                const Bulk b = bulk_run(*v, j, addresses);
                if (b.run.status < 0 || b.run.timed_out)
                    throw std::runtime_error("verimex-check -j " + std::to_string(j) + " did not finish: " + b.run.err);
                all_verified = all_verified && b.verified == count;
                const double seconds = b.run.wall_ms / 1e3;
                t.add({v->name, std::to_string(j), fixed(seconds, 2), fixed(count / seconds, 1),
                       fixed(b.run.cpu_ms / count, 2), fixed(100 * b.run.cpu_ms / b.run.wall_ms, 0) + " %",
                       std::to_string(b.verified) + "/" + std::to_string(count)});
            }
        }
        t.print();
        note("Addresses `userN@bulkK.bench.test` over ten domains, each with its own instant server, read from "
             "standard input (`-`). Wall time is from starting verimex-check to reaping it; CPU is its user + "
             "system time as `wait4` reports it, which includes the lookup tools it reaped (the few still "
             "running when it exits are not counted), as a share of one CPU in the *CPU / wall* column. The "
             "servers and dnsmasq run on the same " +
             std::to_string(std::thread::hardware_concurrency()) + " CPUs as verimex-check.");
        Table tt({"target", "measured", "result"});
        tt.add({"every check verified in every run", all_verified ? "yes" : "no",
                target("throughput: every check verified", all_verified ? "yes" : "no", "yes", all_verified,
                       Goal::yardstick)});
        std::printf("\n");
        tt.print();

        // ---- memory ----
        heading("4. Memory: peak RSS of verimex-check");
        ProgramRun one;
        for (int i = 0; i < 3; ++i) {
            ProgramRun r = check_once(helper, {"someone@instant.bench.test"}, {}, true);
            if (r.own_peak_rss_kib > one.own_peak_rss_kib)
                one = std::move(r);
        }
        const Bulk many = bulk_run(helper, 8, addresses, true);
        std::error_code ignored;
        fs::remove(addresses, ignored);

        verimex::test::SmtpPeer stream(stream_address, endless_line());
        const ProgramRun streamed = check_once(helper, {"-t", "2", "someone@stream.bench.test"}, {}, true);
        const long growth = streamed.own_peak_rss_kib - one.own_peak_rss_kib;
        const double streamed_mib = static_cast<double>(stream.bytes_sent()) / (1024.0 * 1024.0);

        ProgramPlan lookup;
        lookup.argv = {(bin / "verimex-nslookup").string(), "-q=mx", "instant.bench.test"};
        lookup.own_peak = true;
        const long tool_peak = run_program(lookup).own_peak_rss_kib;

        Table m({"run", "peak RSS MiB", "target", "result"});
        m.add({"one check", mib(one.own_peak_rss_kib), "< 8 MiB",
               target("memory: one check", mib(one.own_peak_rss_kib) + " MiB", "< 8 MiB",
                      one.own_peak_rss_kib < 8 * 1024)});
        m.add({std::to_string(count) + " checks, -j 8 (" + std::to_string(many.verified) + " verified)",
               mib(many.run.own_peak_rss_kib), "< 32 MiB",
               target("memory: " + std::to_string(count) + " checks with -j 8", mib(many.run.own_peak_rss_kib) + " MiB",
                      "< 32 MiB", many.run.own_peak_rss_kib < 32 * 1024)});
        m.add({"a server streaming without line feeds until `-t 2` ran out (" + fixed(streamed.wall_ms / 1e3, 2) +
                   " s, " + fixed(streamed_mib, 0) + " MiB received; result `" + result_of(streamed) + "`)",
               mib(streamed.own_peak_rss_kib), "", ""});
        m.add({"growth: the streaming run minus one check", mib(growth), "< 1 MiB",
               target("memory: growth against an endless line", mib(growth) + " MiB", "< 1 MiB", growth < 1024)});
        m.print();
        note("Peak RSS is verimex-check's own high-water mark (`VmHWM` of /proc/PID/status), read while it is "
             "stopped on its way out under ptrace (`PTRACE_EVENT_EXIT`), so it covers the whole run, its worker "
             "threads included, and nothing else (the lookup helper, measured the same way, peaks at " +
             mib(tool_peak) +
             " MiB). What `wait4` reports (`ru_maxrss`) is not used: it also takes in the children the process "
             "reaped and the memory the process had before its `exec` (for a program started with "
             "`posix_spawn`, its parent's). The one-check figure is the largest of three runs.");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bulk_bench: %s\n", e.what());
        return 1;
    }
}
