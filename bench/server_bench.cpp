// verimex-server under load: /v1/check requests per second and their
// latency with 1, 10 and 100 clients at once, each client one keep-alive
// connection asking again as soon as it has its answer, against an instant
// mail server and one that greets only after 3 s; next to verimex-check
// -j N doing the same number of checks of the same addresses.
//
// usage: verimex_server_bench BIN_DIR   (inside tests/netns/run --zones bench/bench.zones)
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "bench/bench_peers.h"
#include "bench/bench_support.h"
#include "bench/run_program.h"

namespace {

namespace fs = std::filesystem;
using namespace verimex::bench;
using Clock = std::chrono::steady_clock;

constexpr int port = 8099;
constexpr unsigned check_threads = 128;  // so that 100 clients all run at once

// verimex-server as a child, until the object goes.
class ServerProcess {
public:
    ServerProcess(const fs::path& bin, const fs::path& folder)
    {
        const std::string program = (bin / "verimex-server").string();
        const std::string store = (folder / "bench.sqlite").string();
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        const std::string threads = std::to_string(check_threads);
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // Its output and its log (a line per request) would cost the
            // bench's own output more than they tell.
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(program.c_str(), program.c_str(), "--listen", listen.c_str(), "--store", store.c_str(), "-t",
                    "30", "-f", "bench.test", "--check-threads", threads.c_str(),
                    // The bench's mail servers are on loopback.
                    "--allow-private-mx", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        httplib::Client probe("127.0.0.1", port);
        for (int i = 0; i < 200; ++i) {
            if (auto res = probe.Get("/healthz"); res && res->status == 200)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("verimex-server did not start");
    }
    ~ServerProcess()
    {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
};

struct Load {
    double seconds = 0;
    std::vector<double> latency_ms;  // one per request
    int verified = 0;
    int failed = 0;
};

// clients threads, each sending `each` requests in turn on its own connection.
Load http_load(unsigned clients, int each, const std::string& address)
{
    Load load;
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int> verified{0};
    std::atomic<int> failed{0};
    std::atomic<unsigned> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const std::string path = "/v1/check?email=" + address;
    for (unsigned c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            client.set_read_timeout(120, 0);
            ++ready;
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < each; ++i) {
                const auto start = Clock::now();
                auto res = client.Get(path);
                latencies[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                if (res && res->status == 200 && res->body.find("\"verified\":true") != std::string::npos)
                    ++verified;
                else
                    ++failed;
            }
        });
    }
    while (ready < clients)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = Clock::now();
    go = true;
    for (std::thread& t : threads)
        t.join();
    load.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& l : latencies)
        load.latency_ms.insert(load.latency_ms.end(), l.begin(), l.end());
    std::sort(load.latency_ms.begin(), load.latency_ms.end());
    load.verified = verified;
    load.failed = failed;
    return load;
}

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const std::size_t i = std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())));
    return sorted[i];
}

// verimex-check -j N over count copies of the address.
ProgramRun check_run(const fs::path& bin, const fs::path& folder, unsigned jobs, int count, const std::string& address)
{
    const fs::path list = folder / "addresses.txt";
    {
        std::ofstream out(list);
        for (int i = 0; i < count; ++i)
            out << address << '\n';
    }
    ProgramPlan plan;
    plan.argv = {(bin / "verimex-check").string(), "-j", std::to_string(jobs), "-t", "30", "-f", "bench.test",
                 "--no-progress", "-"};
    plan.stdin_path = list.string();
    return run_program(plan);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("VERIMEX_NETNS")) {
        std::fprintf(stderr, "server_bench: run it inside tests/netns/run --zones bench/bench.zones\n");
        return 77;
    }
    try {
        const fs::path bin = argc > 1 ? fs::path(argv[1]) : fs::path(".");
        const fs::path folder = fs::temp_directory_path() / ("verimex-server-bench." + std::to_string(::getpid()));
        fs::create_directories(folder);
        verimex::test::SmtpPeer instant(instant_address, instant_server());
        verimex::test::SmtpPeer slow(slow_address, instant_server(slow_banner_delay));
        ServerProcess server(bin, folder);

        heading("6. verimex-server: /v1/check under load, next to verimex-check");
        Table t({"mail server", "clients (-j)", "requests", "server req/s", "p50 ms", "p95 ms", "p99 ms", "max ms",
                 "verified", "verimex-check -j N checks/s"});
        struct Level {
            const char* server;
            std::string address;
            unsigned clients;
            int each;
        };
        const std::vector<Level> levels = {
            {"instant", "someone@instant.bench.test", 1, 500},
            {"instant", "someone@instant.bench.test", 10, 100},
            {"instant", "someone@instant.bench.test", 100, 20},
            {"slow (banner after 3 s)", "someone@slow.bench.test", 1, 2},
            {"slow (banner after 3 s)", "someone@slow.bench.test", 10, 2},
            {"slow (banner after 3 s)", "someone@slow.bench.test", 100, 2},
        };
        // A few checks first, so that the first level does not pay for
        // starting threads and warming caches.
        http_load(4, 5, "someone@instant.bench.test");
        for (const Level& level : levels) {
            const Load load = http_load(level.clients, level.each, level.address);
            const int total = static_cast<int>(level.clients) * level.each;
            const ProgramRun cli = check_run(bin, folder, level.clients, total, level.address);
            t.add({level.server, std::to_string(level.clients), std::to_string(total), fixed(total / load.seconds, 1),
                   fixed(percentile(load.latency_ms, 0.50), 1), fixed(percentile(load.latency_ms, 0.95), 1),
                   fixed(percentile(load.latency_ms, 0.99), 1),
                   fixed(load.latency_ms.empty() ? 0 : load.latency_ms.back(), 1),
                   std::to_string(load.verified) + "/" + std::to_string(total),
                   cli.status == 0 ? fixed(total / (cli.wall_ms / 1e3), 1) : "failed"});
        }
        t.print();
        note("Each client is a thread of this bench with one keep-alive connection (cpp-httplib's client), "
             "asking again as soon as it has its answer; latency is from sending a request to having the whole "
             "reply. The server runs with `--check-threads " + std::to_string(check_threads) +
             "` so that 100 clients' checks all run at once (the default is 32: beyond that, requests wait in "
             "its queue). Every check runs the bundled lookup helper and the SMTP dialog with a scripted server "
             "of this bench on loopback. verimex-check runs `-j N` over the same number of copies of the same "
             "address from standard input, in one process; its figure is checks over its whole wall time, "
             "start-up included. Clients, server, mail servers and dnsmasq share the machine's CPUs.");
        fs::remove_all(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "server_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
