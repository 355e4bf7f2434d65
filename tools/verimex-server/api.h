// The HTTP interface of verimex-server: routes, authentication, error
// replies and the handlers of each route. main() owns the server and the
// threads; this file decides what a request gets.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>

#include "check_pool.h"
#include "log.h"
#include "verimex/hosting/export.h"
#include "verimex/hosting/location.h"
#include "verimex/hosting/store.h"
#include "metrics.h"
#include "server_options.h"

namespace verimex_server {

// Every path the server answers, the methods it takes there, and whether
// the token is asked for. GET stands for HEAD too. A pattern's "*" stands
// for one non-empty path segment.
struct Route {
    std::string_view pattern;
    std::vector<std::string> methods;
    bool guarded;
};
const std::vector<Route>& routes();

// True when given equals expected, in a time that depends on expected's
// length only, so that a client cannot find the token byte by byte.
bool token_matches(std::string_view given, std::string_view expected);

// "offset" and "limit": whole numbers from 0.
std::optional<std::uint64_t> parse_count(std::string_view text);

// "timeout" of a request: a whole number from 0 to 32767.
std::optional<std::int16_t> parse_timeout(std::string_view text);

// {"error": message} with a final line end.
std::string error_body(std::string_view message);

// What a job's checks are run with, as its POST asked.
struct JobSettings {
    std::string from;
    std::int16_t timeout = 0;
};

class Api {
public:
    // store serves the requests; exports open store_location again, so a
    // long download holds up nobody else.
    Api(const Options& options, CheckPool& checks, Metrics& metrics, verimex::hosting::Store& store, Log& log);

    // The settings for a job's checks: those its POST gave, else the
    // server's own. Safe from any thread.
    verimex::options settings_for(std::string_view job) const;

    // Installs the routes and handlers on server.
    void install(httplib::Server& server);

    // From now on /healthz says "stopping" and no job or check is taken.
    void begin_stop() { stopping_ = true; }

    // Called on a connection's thread when the connection has closed.
    void connection_ended();

    // Connections that may send a list (POST /v1/jobs) at once: each may
    // hold up to --max-body bytes, and its parsed form, while it is read.
    static constexpr int post_connections = 8;

    // Job checks under way, kept by the server's runner.
    std::atomic<std::size_t> job_checks_running{0};

private:
    void check(const httplib::Request& req, httplib::Response& res);
    void healthz(const httplib::Request& req, httplib::Response& res);
    void metrics(const httplib::Request& req, httplib::Response& res);
    void add_job(const httplib::Request& req, httplib::Response& res);
    void list_jobs(const httplib::Request& req, httplib::Response& res);
    void job_status(const httplib::Request& req, httplib::Response& res);
    void job_results(const httplib::Request& req, httplib::Response& res);
    void remove_job(const httplib::Request& req, httplib::Response& res);

    const Options& options_;
    CheckPool& checks_;
    Metrics& metrics_;
    verimex::hosting::Store& store_;
    Log& log_;
    const std::string default_from_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> posting_{0};  // connections holding a list slot
    mutable std::mutex settings_mutex_;
    // Jobs posted to this process with a from or timeout of their own;
    // guarded by settings_mutex_.
    std::map<std::string, JobSettings, std::less<>> job_settings_;
};

}  // namespace verimex_server
