// The HTTP interface of verimex-server: what a request gets. The route
// table and the checks before a body is read are in api.cpp; the handlers
// live by what they serve: checks.cpp (/v1/check), jobs.cpp (/v1/jobs...),
// page.cpp (the web page, /healthz) and metrics.cpp (/metrics). main() owns
// the server and the threads.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "auth_brake.h"
#include "browser_guard.h"
#include "check_pool.h"
#include "http_server.h"
#include "verimex/hosting/export.h"
#include "verimex/hosting/location.h"
#include "verimex/hosting/store.h"
#include "metrics.h"
#include "request.h"
#include "log.h"
#include "routes.h"
#include "server_options.h"
#include "store_pool.h"

namespace verimex_server {

// The reply to a request that found no store connection free in time
// (StoreBusy): 503, soon worth trying again.
void reply_store_busy(Response& res);

class Api final : public HttpHandler {
public:
    // stores serve the requests and the exports: a request holds one of
    // its connections only for its calls, an export only while it reads a
    // page, so a long download holds up nobody else.
    Api(const Options& options, CheckPool& checks, Metrics& metrics, StorePool& stores, Log& log);

    // The route table. With a null api the handlers are empty: what a
    // reader of the table (the OpenAPI test) needs is the paths, methods
    // and guards.
    static std::vector<Route> route_table(Api* api);

    // The settings for a job's checks: those stored with the job, over
    // the server's own (its proxy and DNS server stay its own). Safe from
    // any thread; throws StoreError when the store cannot say.
    verimex::options settings_for(std::string_view job) const;

    // The server's own settings for a check: method auto, its HELO name,
    // time limit and DNS server.
    verimex::options base_settings() const;

    // What the HTTP layer asks: the checks made before a request's body
    // is read, the handler of its route and method, and its access line.
    bool refuse(Request& req, Response& res) override;
    bool start(Request& req, Response& res, std::function<void()> done) override;
    void handle(Request& req, Response& res) override;
    void finished(const Request& req, const Response& res, std::uint64_t body_bytes,
                  std::chrono::steady_clock::duration took) override;

    // From now on /healthz says "stopping", no job or check is taken, and
    // a preflight under way ends at once.
    void begin_stop()
    {
        stopping_ = true;
        stop_.request();
    }

    // Lists (POST /v1/jobs) being read or parsed at once: each may hold up
    // to --max-body bytes, and its parsed form.
    static constexpr int post_requests = 8;

    // Job names in one GET /v1/jobs reply, at most and by default.
    static constexpr std::uint64_t job_page = 1000;

    // Job checks under way, kept by the server's runner.
    std::atomic<std::size_t> job_checks_running{0};

private:
    // The endpoint of the request's route and method (with the route's
    // "*" segment in req.matches), or null.
    const Endpoint* endpoint_of(Request& req) const;

    void page(const Request& req, Response& res);
    void check(Request& req, Response& res, std::function<void()> done);
    void healthz(const Request& req, Response& res);
    void metrics(const Request& req, Response& res);
    void preflight(const Request& req, Response& res);
    void add_job(const Request& req, Response& res);
    void list_jobs(const Request& req, Response& res);
    void job_status(const Request& req, Response& res);
    void job_results(const Request& req, Response& res);
    void remove_job(const Request& req, Response& res);

    const Options& options_;
    CheckPool& checks_;
    Metrics& metrics_;
    StorePool& stores_;
    Log& log_;
    const std::string default_from_;
    const HostCheck hosts_;
    std::atomic<bool> stopping_{false};
    verimex::cancellation stop_;  // ends the preflights under way
    std::atomic<int> posting_{0};  // lists being read or parsed
    const std::vector<Route> table_;
    AuthBrake auth_brake_;
    mutable std::mutex settings_mutex_;
    // The settings stored with each job, as read once from the store (a
    // job keeps its settings for good); guarded by settings_mutex_.
    mutable std::map<std::string, verimex::hosting::JobSettings, std::less<>> job_settings_;
};

}  // namespace verimex_server
