// The HTTP interface of verimex-server: routes, authentication, error
// replies and the handlers of each route. main() owns the server and the
// threads; this file decides what a request gets.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include <httplib.h>

#include "check_pool.h"
#include "metrics.h"
#include "server_options.h"

namespace verimex_server {

// True when given equals expected, in a time that depends on expected's
// length only, so that a client cannot find the token byte by byte.
bool token_matches(std::string_view given, std::string_view expected);

// A job's name as it may appear in a URL: 1 to 128 bytes, no control
// character, no "/". The store takes it only as a bound value, never as
// part of a query or a file name.
bool valid_job_name(std::string_view name);

// "timeout" of a request: a whole number from 0 to 32767.
std::optional<std::int16_t> parse_timeout(std::string_view text);

// {"error": message} with a final line end.
std::string error_body(std::string_view message);

class Api {
public:
    Api(const Options& options, CheckPool& checks, Metrics& metrics);

    // Installs the routes and handlers on server.
    void install(httplib::Server& server);

    // From now on /healthz says "stopping" and no job or check is taken.
    void begin_stop() { stopping_ = true; }

private:
    void check(const httplib::Request& req, httplib::Response& res);
    void healthz(const httplib::Request& req, httplib::Response& res);
    void metrics(const httplib::Request& req, httplib::Response& res);

    const Options& options_;
    CheckPool& checks_;
    Metrics& metrics_;
    const std::string default_from_;
    std::atomic<bool> stopping_{false};
};

}  // namespace verimex_server
