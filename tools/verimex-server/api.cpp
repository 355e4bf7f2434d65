// Routes and handlers of verimex-server.
#include "api.h"

#include <charconv>
#include <chrono>
#include <regex>
#include <vector>

#include <nlohmann/json.hpp>

#include "options.h"  // verimex-check's: default_from()
#include "outcome.h"
#include "page_assets.h"
#include "report.h"

namespace verimex_server {

namespace {

using httplib::Request;
using httplib::Response;
using Json = nlohmann::json;

constexpr const char* json_type = "application/json; charset=utf-8";

// Every path the server answers, the methods it takes there, and whether
// the token is asked for. GET stands for HEAD too.
struct Route {
    std::regex path;
    std::vector<std::string> methods;
    bool guarded;
};

const std::vector<Route>& routes()
{
    static const std::vector<Route> table = [] {
        std::vector<Route> t;
        t.push_back({std::regex("/"), {"GET"}, false});
        t.push_back({std::regex("/static/[a-z]+\\.(js|css)"), {"GET"}, false});
        t.push_back({std::regex("/healthz"), {"GET"}, false});
        t.push_back({std::regex("/metrics"), {"GET"}, true});
        t.push_back({std::regex("/v1/check"), {"GET"}, true});
        t.push_back({std::regex("/v1/jobs"), {"GET", "POST"}, true});
        t.push_back({std::regex("/v1/jobs/[^/]+"), {"GET", "DELETE"}, true});
        t.push_back({std::regex("/v1/jobs/[^/]+/results"), {"GET"}, true});
        return t;
    }();
    return table;
}

void reply_error(Response& res, int status, std::string_view message)
{
    res.status = status;
    res.set_content(error_body(message), json_type);
}

std::string allow_header(const std::vector<std::string>& methods)
{
    std::string allow;
    for (const std::string& m : methods) {
        if (!allow.empty())
            allow += ", ";
        allow += m;
        if (m == "GET")
            allow += ", HEAD";
    }
    return allow;
}

std::string_view reason(int status)
{
    switch (status) {
    case 400: return "bad request";
    case 401: return "missing or wrong bearer token";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 408: return "request timed out";
    case 413: return "request body too large";
    case 414: return "request URI too long";
    case 431: return "request header fields too large";
    case 500: return "internal error";
    case 503: return "service unavailable";
    default: return status >= 500 ? "server error" : "request refused";
    }
}

}  // namespace

bool token_matches(std::string_view given, std::string_view expected)
{
    // Every byte of expected is looked at whatever the given text holds;
    // the difference is gathered, not acted on, until the end.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(expected[i]));
    }
    return difference == 0;
}

bool valid_job_name(std::string_view name)
{
    if (name.empty() || name.size() > 128)
        return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '/')
            return false;
    }
    return true;
}

std::optional<std::int16_t> parse_timeout(std::string_view text)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 32767)
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

std::string error_body(std::string_view message)
{
    // Messages may quote what a client sent: bytes that are not UTF-8
    // become U+FFFD rather than an exception.
    return Json{{"error", std::string(message)}}.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Api::Api(const Options& options, CheckPool& checks, Metrics& metrics)
    : options_(options), checks_(checks), metrics_(metrics),
      default_from_(options.from.empty() ? verimex_check::default_from() : options.from)
{
}

void Api::install(httplib::Server& server)
{
    // Every request passes here first, before its body is read: a request
    // refused for its path, its method or its token costs no more than its
    // header.
    server.set_pre_routing_handler([this](const Request& req, Response& res) {
        const Route* route = nullptr;
        for (const Route& r : routes()) {
            if (std::regex_match(req.path, r.path)) {
                route = &r;
                break;
            }
        }
        if (route == nullptr) {
            reply_error(res, 404, "no such path: " + req.path);
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string method = req.method == "HEAD" ? "GET" : req.method;
        if (std::find(route->methods.begin(), route->methods.end(), method) == route->methods.end()) {
            res.set_header("Allow", allow_header(route->methods));
            reply_error(res, 405, "method " + req.method + " not allowed on " + req.path);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (route->guarded && !options_.token.empty()) {
            const std::string auth = req.get_header_value("Authorization");
            constexpr std::string_view scheme = "Bearer ";
            const bool ok = auth.size() > scheme.size() && auth.compare(0, scheme.size(), scheme) == 0 &&
                            token_matches(std::string_view(auth).substr(scheme.size()), options_.token);
            if (!ok) {
                res.set_header("WWW-Authenticate", "Bearer realm=\"verimex\"");
                reply_error(res, 401, "missing or wrong bearer token");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    // Statuses cpp-httplib sets itself (400 for a request it cannot read,
    // 413, 414, ...) get the same JSON body as ours.
    server.set_error_handler(httplib::Server::Handler([](const Request&, Response& res) {
        if (res.body.empty())
            res.set_content(error_body(reason(res.status)), json_type);
    }));
    server.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        reply_error(res, 500, "internal error");
    });
    server.set_logger([this](const Request&, const Response& res) { metrics_.request_done(res.status); });

    for (const Asset& asset : page_assets()) {
        server.Get(std::string(asset.path), [&asset](const Request&, Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_header("X-Content-Type-Options", "nosniff");
            // The page loads its own script and style only: nothing from
            // elsewhere, no inline script.
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                           "img-src 'self' data: blob:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
            res.set_content(asset.body.data(), asset.body.size(), std::string(asset.type).c_str());
        });
    }
    server.Get("/healthz", [this](const Request& req, Response& res) { healthz(req, res); });
    server.Get("/metrics", [this](const Request& req, Response& res) { metrics(req, res); });
    server.Get("/v1/check", [this](const Request& req, Response& res) { check(req, res); });
}

void Api::healthz(const Request&, Response& res)
{
    if (stopping_) {
        res.status = 503;
        res.set_content("{\"status\":\"stopping\"}\n", json_type);
        return;
    }
    res.set_content("{\"status\":\"ok\"}\n", json_type);
}

void Api::metrics(const Request&, Response& res)
{
    Metrics::Gauges g;
    g.checks_running = checks_.running();
    g.checks_queued = checks_.queued();
    g.check_threads = checks_.threads();
    g.queue_limit = checks_.queue_limit();
    res.set_content(metrics_.text(g), "text/plain; version=0.0.4; charset=utf-8");
}

void Api::check(const Request& req, Response& res)
{
    if (!req.has_param("email"))
        return reply_error(res, 400, "missing parameter: email");
    std::string email = req.get_param_value("email");
    if (email.empty())
        return reply_error(res, 400, "empty parameter: email");
    verimex_check::CheckSettings settings;
    settings.from = default_from_;
    settings.timeout = options_.timeout;
    settings.dns_server = options_.dns_server;
    if (req.has_param("from") && !req.get_param_value("from").empty())
        settings.from = req.get_param_value("from");
    if (req.has_param("timeout")) {
        const auto timeout = parse_timeout(req.get_param_value("timeout"));
        if (!timeout)
            return reply_error(res, 400, "timeout: expected a whole number of seconds from 0 to 32767");
        settings.timeout = *timeout;
    }

    CheckPool::Ticket ticket = checks_.submit(std::move(email), std::move(settings));
    if (!ticket.result) {
        metrics_.check_refused();
        res.set_header("Retry-After", ticket.refusal == CheckPool::Refusal::stopping ? "5" : "1");
        return reply_error(res, 503,
                           ticket.refusal == CheckPool::Refusal::stopping
                               ? "the server is stopping"
                               : "too many checks waiting; try again later");
    }
    try {
        const verimex_check::CheckResult result = ticket.result->get();
        res.set_content(verimex_check::json_line(result), json_type);
    } catch (const CheckPool::Stopped&) {
        metrics_.check_refused();
        res.set_header("Retry-After", "5");
        reply_error(res, 503, "the server is stopping");
    }
}

}  // namespace verimex_server
