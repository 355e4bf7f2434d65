// verimex-server: the verifier as an HTTP service, with a web page at /.
//
// Threads: the main thread runs the event loop that accepts connections,
// reads requests and writes replies (http_server.h); the request threads
// run the handlers; the check threads run single checks, one at a time
// each, and answer their requests themselves; one thread waits for SIGINT
// and SIGTERM, which every other thread keeps blocked.
#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <cstdio>
#include <exception>
#include <future>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "api.h"
#include "check_pool.h"
#include "verimex/hosting/check.h"
#include "http_server.h"
#include "verimex/hosting/runner.h"
#include "verimex/hosting/export.h"
#include "verimex/hosting/location.h"
#include "verimex/hosting/resources.h"
#include "verimex/hosting/store.h"
#include "metrics.h"
#include "server_options.h"
#include "store_pool.h"
#include "verimex/hosting/signals.h"

namespace {

using namespace verimex_server;

constexpr int usage_status = 2;
constexpr int failure_status = 3;

void put(std::FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::string errno_text(const std::error_code& e)
{
    return std::generic_category().message(e.value()) + ", errno " + std::to_string(e.value());
}

// Every attempt is in the store and in the metrics; the log gets a line.
class LogSink final : public verimex::hosting::RunnerSink {
public:
    explicit LogSink(Log& log) : log_(log) {}
    void attempt(const verimex::hosting::Attempt& a) override
    {
        log_.event(a.final ? "job_check" : "job_check_deferred",
                   {{"job", a.lease.job},
                    {"address", a.lease.address},
                    {"result", outcome_name(verimex::hosting::outcome_of(a.result))},
                    {"attempt", static_cast<std::uint64_t>(a.lease.attempts) + 1}});
    }

private:
    Log& log_;
};

std::string url_host(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = parse_args(args);
    if (const auto* bad = std::get_if<UsageError>(&parsed)) {
        put(stderr, "verimex-server: " + bad->message + "\nTry 'verimex-server --help' for more information.\n");
        return usage_status;
    }
    const Options& opts = std::get<Options>(parsed);
    if (opts.help) {
        put(stdout, opts.help_text);
        return 0;
    }

    // Blocked before any thread starts, so every thread inherits it and
    // only the waiting thread below ever sees these signals. (The lookup
    // tool is started with a clean signal mask.) A client that hangs up
    // must not end the process by SIGPIPE.
    const sigset_t stops = verimex::hosting::stop_signals();
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // A pool of connections for the requests, one for the workers: each
    // Store object serves one call at a time.
    std::unique_ptr<StorePool> stores;
    std::unique_ptr<verimex::hosting::Store> worker_store;
    try {
        stores = std::make_unique<StorePool>(opts.store_connections,
                                             [&opts] { return verimex::hosting::open_store(opts.store); });
        worker_store = verimex::hosting::open_store(opts.store);
    } catch (const verimex::hosting::StoreError& e) {
        put(stderr, std::string("verimex-server: ") + e.what() + "\n");
        return failure_status;
    }

    Metrics metrics;
    CheckPool checks(opts.check_threads, opts.check_queue,
                     [&metrics](const std::string& address, const verimex::options& settings) {
                         const auto start = std::chrono::steady_clock::now();
                         verimex::report result = verimex::hosting::check(address, settings);
                         metrics.check_done(Metrics::Source::single, result,
                                            std::chrono::steady_clock::now() - start);
                         return result;
                     },
                     verimex::hosting::keep_stop_signals_away);

    Log log(*log_format(opts.log_format));
    Api api(opts, checks, metrics, *stores, log);
    HttpSettings http;
    http.max_body = opts.max_body;
    http.head_timeout = std::chrono::seconds(opts.read_timeout);
    http.write_timeout = std::chrono::seconds(opts.read_timeout);
    http.body_timeout = std::chrono::seconds(opts.body_timeout);
    http.request_threads = opts.request_threads();
    http.request_queue = opts.check_queue + 64;
    // Thousands of connections at once need as many descriptors; room is
    // kept for the store, the lookups and the mail servers' connections
    // beside the clients'.
    std::size_t descriptors = verimex::hosting::raise_descriptor_limit();
    if (descriptors == 0)
        descriptors = 1024;  // the limit could not be read: the usual one
    http.max_connections = descriptors > 2 * 1024 ? descriptors - 1024 : descriptors / 2;
    HttpServer server(http, api);

    // The server's own workers: every job of the store, until stopped.
    verimex::hosting::RunnerSettings work;
    work.in_flight = opts.jobs;
    work.lease = std::chrono::seconds(opts.lease());
    work.politeness.per_key = opts.work.per_mx;
    work.politeness.interval = std::chrono::milliseconds(opts.work.mx_interval_ms);
    for (const unsigned seconds : opts.work.retry_after)
        work.retry_after.emplace_back(std::chrono::seconds(seconds));
    work.retry_errors = opts.work.retry_errors;
    work.until = verimex::hosting::Until::stopped;
    work.owner = "verimex-server";
    work.on_worker_start = verimex::hosting::keep_stop_signals_away;
    work.options_for = [&api](const std::string& job) { return api.settings_for(job); };
    const auto check_job = [&api, &metrics](const std::string& address, const verimex::options& settings) {
        const auto start = std::chrono::steady_clock::now();
        ++api.job_checks_running;
        verimex::report result = verimex::hosting::check(address, settings);
        --api.job_checks_running;
        metrics.check_done(Metrics::Source::job, result,
                           std::chrono::steady_clock::now() - start);
        return result;
    };
    work.per_session = opts.recipients_per_session;
    work.check_many = [&api, &metrics](std::span<const std::string> addresses, const verimex::options& settings) {
        const auto start = std::chrono::steady_clock::now();
        api.job_checks_running += addresses.size();
        std::vector<verimex::report> results = verimex::hosting::check_many(addresses, settings);
        api.job_checks_running -= addresses.size();
        // Each address's result comes when its session ends: the session's
        // time is each one's time.
        const auto took = std::chrono::steady_clock::now() - start;
        for (const verimex::report& result : results)
            metrics.check_done(Metrics::Source::job, result, took);
        return results;
    };
    std::mutex runner_mutex;
    std::condition_variable runner_wake;
    verimex::hosting::Runner* runner = nullptr;  // guarded by runner_mutex
    bool runner_stop = false;                // guarded by runner_mutex
    std::promise<void> workers_done;
    const std::shared_future<void> workers_ended = workers_done.get_future().share();
    std::thread worker([&] {
        struct Ended {
            std::promise<void>& done;
            ~Ended() { done.set_value(); }
        } ended{workers_done};
        // A store that fails (PostgreSQL restarting) ends a run; the
        // workers start again after a pause rather than leave the jobs.
        for (;;) {
            verimex::hosting::Runner current(*worker_store, check_job, work);
            {
                std::lock_guard lock(runner_mutex);
                if (runner_stop)
                    return;
                runner = &current;
            }
            LogSink sink(log);
            try {
                current.run(sink);
            } catch (const verimex::hosting::StoreError& e) {
                put(stderr, std::string("verimex-server: job workers: ") + e.what() + "; again in 5 s\n");
            }
            std::unique_lock lock(runner_mutex);
            runner = nullptr;
            if (runner_wake.wait_for(lock, std::chrono::seconds(5), [&] { return runner_stop; }))
                return;
        }
    });
    const auto stop_workers = [&] {
        std::lock_guard lock(runner_mutex);
        runner_stop = true;
        if (runner != nullptr)
            runner->stop();
        runner_wake.notify_all();
    };

    if (const std::error_code e = server.listen(opts.host, opts.port)) {
        put(stderr, "verimex-server: cannot listen on " + url_host(opts.host) + ":" + std::to_string(opts.port) +
                        " (" + errno_text(e) + ")\n");
        stop_workers();
        worker.join();
        checks.stop();
        checks.join();
        return failure_status;
    }
    const int port = server.port();

    std::atomic<bool> stopping{false};
    std::atomic<bool> stopping_done{false};
    std::thread waiter([&] {
        int signal_number = 0;
        ::sigwait(&stops, &signal_number);
        if (stopping.exchange(true))
            return;  // woken by main() below
        // Stop taking requests; the running checks end by their time limit,
        // and the queued ones are answered 503.
        api.begin_stop();
        stop_workers();
        checks.stop();
        server.stop();
        // A second signal while that goes on: the connections are cut, the
        // job checks' addresses given back, and the process ends without
        // waiting for the single checks under way.
        ::sigwait(&stops, &signal_number);
        if (stopping_done.load())
            return;
        put(stdout, "verimex-server: stopping at once\n");
        server.stop_now();
        (void)workers_ended.wait_for(std::chrono::seconds(10));
        put(stdout, "verimex-server: stopped\n");
        std::_Exit(0);
    });

    put(stdout, "verimex-server: listening on http://" + url_host(opts.host) + ":" + std::to_string(port) + "/\n");
    const std::error_code accept_failure = server.run();
    // Here every connection has ended: every request answered.

    stop_workers();
    worker.join();
    checks.stop();
    checks.join();
    // The waiter waits for a signal (a first one when accepting failed,
    // a second one otherwise): it is woken with one of its own.
    stopping_done = true;
    stopping = true;
    ::pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    if (accept_failure) {
        put(stderr, "verimex-server: cannot accept connections (" + errno_text(accept_failure) + ")\n");
        return failure_status;
    }
    // Every thread has been joined: the job checks under way were cancelled
    // and their addresses given back, due again in the store.
    put(stdout, "verimex-server: stopped\n");
    return 0;
}
