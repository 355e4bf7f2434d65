// verimex-server: the verifier as an HTTP service, with a web page at /.
//
// Threads: the main thread accepts connections (cpp-httplib's loop); the
// connection threads read requests and write replies; the check threads
// run single checks, one at a time each; one thread waits for SIGINT and
// SIGTERM, which every other thread keeps blocked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

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
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include <httplib.h>

#include "api.h"
#include "check_pool.h"
#include "verimex/hosting/check.h"
#include "connections.h"
#include "verimex/hosting/runner.h"
#include "verimex/hosting/export.h"
#include "verimex/hosting/location.h"
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

// cpp-httplib listens with a backlog of 5 and has no setting for it: a
// burst of clients connecting at once would overflow that and wait for
// their SYN to be sent again (a second or more). listen() again on the
// same socket only changes the backlog, so the socket is found among our
// descriptors (the only one listening on our port) and given a proper one.
void widen_backlog(int port)
{
    for (int fd = 0; fd < 65536; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) {
            if (errno == EBADF && fd > 1024)
                break;  // well past the few descriptors opened so far
            continue;
        }
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (listening != 1 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            continue;
        int bound = -1;
        if (address.ss_family == AF_INET)
            bound = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
        else if (address.ss_family == AF_INET6)
            bound = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
        if (bound == port) {
            (void)::listen(fd, SOMAXCONN);
            return;
        }
    }
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

    httplib::Server server;

    server.set_payload_max_length(opts.max_body);
    server.set_read_timeout(static_cast<time_t>(opts.read_timeout), 0);
    server.set_write_timeout(static_cast<time_t>(opts.read_timeout), 0);
    server.set_keep_alive_timeout(5);
    server.set_keep_alive_max_count(1000);
    // A reply goes out in more than one write (head, then body or chunks):
    // with Nagle's algorithm the second would wait for the client's
    // delayed ACK, some 40 ms per request on a kept-alive connection.
    server.set_tcp_nodelay(true);
    // cpp-httplib's default is SO_REUSEPORT, with which a second server
    // started on the same port binds beside the first and the kernel
    // splits the clients between them. SO_REUSEADDR alone still lets a
    // restarted server listen at once (past the old connections' TIME_WAIT)
    // while a live listener makes the bind fail.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    Log log(*log_format(opts.log_format));
    Api api(opts, checks, metrics, *stores, log);
    api.install(server);
    std::atomic<ConnectionThreads*> connections{nullptr};
    server.new_task_queue = [&connections, &opts, &api] {
        auto* threads = new ConnectionThreads(opts.connection_threads(), opts.connection_threads(),
                                              [&api] { api.connection_ended(); });
        connections = threads;
        return threads;
    };

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
    std::thread worker([&] {
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

    int port = opts.port;
    errno = 0;
    if (opts.port == 0)
        port = server.bind_to_any_port(opts.host);
    else if (!server.bind_to_port(opts.host, opts.port))
        port = -1;
    if (port <= 0) {
        // The bind's own error where it is known (cpp-httplib keeps errno).
        const int error = errno;
        const std::string why = error == 0 ? "address in use, not this machine's, or not allowed"
                                           : std::generic_category().message(error) + ", errno " +
                                                 std::to_string(error);
        put(stderr, "verimex-server: cannot listen on " + url_host(opts.host) + ":" + std::to_string(opts.port) +
                        " (" + why + ")\n");
        stop_workers();
        worker.join();
        checks.stop();
        checks.join();
        return failure_status;
    }

    widen_backlog(port);

    std::atomic<bool> stopping{false};
    std::atomic<bool> listening_ended{false};
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
        if (ConnectionThreads* c = connections.load())
            c->release();
        // cpp-httplib's stop() does nothing until its loop has started: a
        // signal in the moment between the "listening" line and the loop
        // would be lost, and the server would run on. Asked again until
        // the loop has ended.
        while (!listening_ended.load()) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    put(stdout, "verimex-server: listening on http://" + url_host(opts.host) + ":" + std::to_string(port) + "/\n");
    server.listen_after_bind();
    listening_ended = true;
    // Here the connection threads are joined: every request answered.

    stop_workers();
    worker.join();
    checks.stop();
    checks.join();
    // listen_after_bind also returns when accepting fails: then the waiter
    // still waits, and is woken with a signal of its own.
    if (!stopping.exchange(true))
        ::pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    // Every thread has been joined: the job checks under way were cancelled
    // and their addresses given back, due again in the store.
    put(stdout, "verimex-server: stopped\n");
    return 0;
}
