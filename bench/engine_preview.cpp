// A preview host of the verification engine for the RCPT benches, until
// verimex-check has --method: the smallest program that drives
// verimex::verify over a list, N checks at once on N threads (verify blocks
// its caller), and prints one line per address in the order given,
// "ADDRESS: VERDICT REASON" followed by ": REPLY" when a reply decided.
// Not a host for users: no escaping of the output, no progress, no
// stores; the figures it gives are labelled as a preview in the tables.
//
// usage: verimex_engine_preview [--method vrfy|rcpt|auto] [-j N] [-t S]
//                               [-f HELO] [ADDRESS]...
// With no address the addresses are read from standard input, one a line.
// Exit status 0 when every address is deliverable, 1 otherwise, 2 on a
// usage error.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "verimex/verify.h"

namespace {

int usage()
{
    std::cerr << "usage: verimex_engine_preview [--method vrfy|rcpt|auto] [-j N] [-t S] [-f HELO] [ADDRESS]...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    verimex::options opts;
    opts.helo = "verimex.engine.bench.test";
    unsigned jobs = 1;
    std::vector<std::string> addresses;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool valued = arg == "--method" || arg == "-j" || arg == "-t" || arg == "-f";
        if (valued && i + 1 >= argc)
            return usage();
        if (arg == "--method") {
            const auto m = verimex::parse_method(argv[++i]);
            if (!m)
                return usage();
            opts.method = *m;
        } else if (arg == "-j") {
            jobs = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (jobs < 1 || jobs > 10000)
                return usage();
        } else if (arg == "-t") {
            opts.timeout = static_cast<std::int16_t>(std::atoi(argv[++i]));
        } else if (arg == "-f") {
            opts.helo = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return usage();
        } else {
            addresses.push_back(arg);
        }
    }
    if (addresses.empty())
        for (std::string line; std::getline(std::cin, line);)
            if (!line.empty())
                addresses.push_back(line);

    std::vector<verimex::report> reports(addresses.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < addresses.size();)
            reports[k] = verimex::verify(addresses[k], opts);
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(jobs, addresses.size());
    threads.reserve(count);
    // Small stacks would let more threads fit, but std::thread has no way to
    // ask; at -j 1000 the default 8 MiB stacks are reserved, not resident.
    for (std::size_t t = 0; t < count; ++t)
        threads.emplace_back(work);
    for (std::thread& t : threads)
        t.join();

    bool all = true;
    for (const verimex::report& r : reports) {
        std::string line = r.address + ": " + std::string(verimex::name(r.verdict)) + " " +
                           std::string(verimex::name(r.reason));
        // "000" stands for the verdict, not for a reply.
        if (r.code && r.returnvar != "000")
            line += ": " + r.returnvar.substr(0, r.returnvar.find_first_of("\r\n"));
        std::puts(line.c_str());
        all = all && r.verdict == verimex::verdict::deliverable;
    }
    return all ? 0 : 1;
}
