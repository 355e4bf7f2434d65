// The route table, the checks every request passes before its body is
// read, and what the handlers share.
#include "api.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "browser_guard.h"
#include "page_assets.h"
#include "verimex/hosting/job_options.h"

namespace verimex_server {

Api::Api(const Options& options, CheckPool& checks, Metrics& metrics, StorePool& stores, Log& log)
    : options_(options), checks_(checks), metrics_(metrics), stores_(stores), log_(log),
      default_from_(options.from.empty() ? verimex::hosting::default_from() : options.from),
      hosts_(options.host, options.allow_hosts), table_(route_table(this))
{
}

verimex::options Api::base_settings() const
{
    verimex::options settings;
    settings.method = verimex::method::automatic;
    settings.helo = default_from_;
    settings.timeout = options_.timeout;
    settings.dns_server = options_.dns_server;
    settings.proxy = options_.proxy;
    // Anyone who may post a list could otherwise point an MX record at this
    // server's own network and have it probe there.
    settings.refuse_private_mx = !options_.allow_private_mx;
    settings.recipients_per_session = options_.recipients_per_session;
    return settings;
}

verimex::options Api::settings_for(std::string_view job) const
{
    {
        std::lock_guard lock(settings_mutex_);
        if (const auto it = job_settings_.find(job); it != job_settings_.end())
            return verimex::hosting::with_job_settings(base_settings(), it->second);
    }
    const std::optional<verimex::hosting::JobSettings> stored = stores_.lease()->settings(job);
    if (!stored)
        return base_settings();  // removed meanwhile: its lease is gone too
    std::lock_guard lock(settings_mutex_);
    job_settings_.insert_or_assign(std::string(job), *stored);
    return verimex::hosting::with_job_settings(base_settings(), *stored);
}

std::vector<Route> Api::route_table(Api* api)
{
    const auto on = [api](std::string method, void (Api::*handler)(const Request&, Response&)) {
        Endpoint e{std::move(method), {}, {}};
        if (api != nullptr)
            e.handler = [api, handler](const Request& req, Response& res) { (api->*handler)(req, res); };
        return e;
    };
    std::vector<Route> table;
    for (const Asset& asset : page_assets())
        table.push_back({std::string(asset.path), false, {on("GET", &Api::page)}});
    table.push_back({"/healthz", false, {on("GET", &Api::healthz)}});
    table.push_back({"/metrics", true, {on("GET", &Api::metrics)}});
    Endpoint check{"GET", {}, {}};
    if (api != nullptr)
        check.later = [api](Request& req, Response& res, std::function<void()> done) {
            api->check(req, res, std::move(done));
        };
    table.push_back({"/v1/check", true, {check}});
    table.push_back({"/v1/preflight", true, {on("GET", &Api::preflight)}});
    table.push_back({"/v1/jobs", true, {on("GET", &Api::list_jobs), on("POST", &Api::add_job)}});
    table.push_back({"/v1/jobs/*", true, {on("GET", &Api::job_status), on("DELETE", &Api::remove_job)}});
    table.push_back({"/v1/jobs/*/results", true, {on("GET", &Api::job_results)}});
    return table;
}

bool Api::refuse(Request& req, Response& res)
{
    // A name that is not this server's: a page of somebody else's whose
    // name they made resolve here (DNS rebinding). Every path, the page
    // included, so that such a page cannot read anything either.
    const std::string host = req.get_header_value("Host");
    if (req.has_header("Host") && !hosts_.allows(host)) {
        res.set_header("Connection", "close");  // a body, if any, is left unread
        reply_error(res, 421, "Host: not a name of this server (see --allow-host)");
        return true;
    }
    const Route* route = find_route(table_, req.path);
    if (route == nullptr) {
        reply_error(res, 404, "no such path: " + req.path);
        return true;
    }
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    const std::vector<std::string> methods = route->methods();
    if (std::find(methods.begin(), methods.end(), method) == methods.end()) {
        res.set_header("Allow", allow_header(methods));
        reply_error(res, 405, "method " + req.method + " not allowed on " + req.path);
        return true;
    }
    // A page of another site may make the browser send requests here,
    // with the user's network position (and, were it to have one, token).
    // What changes the store or reaches out to mail servers is refused
    // then; reading is left to the browser's own same-origin rule.
    const std::string origin = req.get_header_value("Origin");
    const bool acts = method == "POST" || method == "DELETE" || route->pattern == "/v1/check" ||
                      route->pattern == "/v1/preflight";
    if (acts && req.has_header("Origin") && !same_origin(origin, host)) {
        res.set_header("Connection", "close");
        reply_error(res, 403, "Origin: requests that change or check anything are taken from this server's own "
                              "page only");
        return true;
    }
    if (route->guarded && !options_.token.empty()) {
        if (!bearer_matches(req.get_header_value("Authorization"), options_.token)) {
            // Slowed once a client keeps failing, so that tokens cannot be
            // tried at the rate of the network.
            const auto wait = auth_brake_.failed(req.remote_addr);
            if (!wait) {
                res.set_header("Retry-After", "2");
                reply_error(res, 429, "too many failed token checks; try again later");
                return true;
            }
            res.delay = wait->delay;
            req.hold = wait->place;
            res.set_header("WWW-Authenticate", "Bearer realm=\"verimex\"");
            reply_error(res, 401, "missing or wrong bearer token");
            return true;
        }
        auth_brake_.passed(req.remote_addr);
    }
    // A form or a text/plain fetch is what a page may send anywhere
    // without the browser asking the server first (CORS): one that comes
    // from a page and carries no token must be JSON, which the browser
    // only sends where it may. curl and scripts send no Origin and post
    // text/plain lists as they always have.
    if (req.method == "POST" && options_.token.empty() &&
        from_a_page(origin, req.get_header_value("Sec-Fetch-Site")) &&
        media_type(req.get_header_value("Content-Type")) != "application/json") {
        res.set_header("Connection", "close");
        reply_error(res, 415, "Content-Type: a page must post application/json");
        return true;
    }
    // A list is read whole before it is parsed: only a few may be read or
    // parsed at once, so a crowd of large posts cannot add up to more
    // memory than a few. Refused before the body is read; the slot is
    // given back once the reply is written.
    if (req.method == "POST" && route->pattern == "/v1/jobs") {
        if (posting_.fetch_add(1) >= post_requests) {
            posting_.fetch_sub(1);
            res.set_header("Connection", "close");
            res.set_header("Retry-After", "1");
            reply_error(res, 503, "too many lists being posted at once; try again later");
            return true;
        }
        req.hold = std::shared_ptr<void>(nullptr, [this](void*) { posting_.fetch_sub(1); });
    }
    return false;
}

const Endpoint* Api::endpoint_of(Request& req) const
{
    const Route* route = find_route(table_, req.path);
    std::string segment;
    if (route == nullptr || !path_matches(route->pattern, req.path, &segment))
        return nullptr;
    req.matches = {req.path, segment};
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    for (const Endpoint& e : route->endpoints)
        if (e.method == method)
            return &e;
    return nullptr;
}

bool Api::start(Request& req, Response& res, std::function<void()> done)
{
    const Endpoint* e = endpoint_of(req);
    if (e == nullptr || !e->later)
        return false;
    e->later(req, res, std::move(done));
    return true;
}

void Api::handle(Request& req, Response& res)
{
    // refuse() answered every path and method that has no endpoint.
    if (const Endpoint* e = endpoint_of(req))
        return e->handler(req, res);
    reply_error(res, 404, "no such path: " + req.path);
}

void Api::finished(const Request& req, const Response& res, std::uint64_t body_bytes,
                   std::chrono::steady_clock::duration took)
{
    metrics_.request_done(res.status);
    log_.access(req.method, req.path, res.status, body_bytes,
                std::chrono::duration_cast<std::chrono::milliseconds>(took));
}

}  // namespace verimex_server
