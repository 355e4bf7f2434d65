// Routes and handlers of verimex-server.
#include "api.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "verimex/hosting/address_list.h"
#include "verimex/hosting/job_options.h"
#include "verimex/hosting/json.h"
#include "head_limit.h"
#include "page_assets.h"


namespace verimex_server {

namespace {

using httplib::Request;
using httplib::Response;
using Json = nlohmann::json;

constexpr const char* json_type = "application/json; charset=utf-8";

// Whether the connection served on this thread holds one of the slots for
// posting lists; given back when the connection closes.
thread_local bool holds_post_slot = false;

// For the access line of the request served on this thread: when its head
// had been read, and the bytes of a reply written in chunks (whose body
// the logger does not see).
thread_local std::optional<std::chrono::steady_clock::time_point> request_started;
thread_local std::uint64_t streamed_bytes = 0;

}  // namespace

const std::vector<Route>& routes()
{
    // openapi.json describes each of these; the tests hold the two to
    // each other.
    static const std::vector<Route> table = {
        {"/", {"GET"}, false},
        {"/static/app.js", {"GET"}, false},
        {"/static/style.css", {"GET"}, false},
        {"/healthz", {"GET"}, false},
        {"/v1/openapi.json", {"GET"}, false},
        {"/metrics", {"GET"}, true},
        {"/v1/check", {"GET"}, true},
        {"/v1/jobs", {"GET", "POST"}, true},
        {"/v1/jobs/*", {"GET", "DELETE"}, true},
        {"/v1/jobs/*/results", {"GET"}, true},
    };
    return table;
}

namespace {

bool matches(std::string_view pattern, std::string_view path)
{
    while (!pattern.empty()) {
        if (pattern.front() != '*') {
            if (path.empty() || path.front() != pattern.front())
                return false;
            pattern.remove_prefix(1);
            path.remove_prefix(1);
            continue;
        }
        const std::size_t segment = std::min(path.find('/'), path.size());
        if (segment == 0)
            return false;
        pattern.remove_prefix(1);
        path.remove_prefix(segment);
    }
    return path.empty();
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
    case 415: return "unsupported media type";
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

std::optional<std::uint64_t> parse_count(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::int16_t> parse_timeout(std::string_view text)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 32767)
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

namespace {

// A reply body: the object on one line and a line end. Its texts may quote
// what a client sent: bytes that are not UTF-8 become U+FFFD rather than an
// exception.
std::string json_body(verimex::hosting::Json object)
{
    return verimex::hosting::json_text(std::move(object)) + "\n";
}

}  // namespace

std::string error_body(std::string_view message)
{
    return json_body({{"error", std::string(message)}});
}

Api::Api(const Options& options, CheckPool& checks, Metrics& metrics, verimex::hosting::Store& store, Log& log)
    : options_(options), checks_(checks), metrics_(metrics), store_(store), log_(log),
      default_from_(options.from.empty() ? verimex::hosting::default_from() : options.from)
{
}

verimex::options Api::settings_for(std::string_view job) const
{
    verimex::options settings;
    // The component's own check, as this service has always run it.
    settings.method = verimex::method::vrfy;
    settings.helo = default_from_;
    settings.timeout = options_.timeout;
    settings.dns_server = options_.dns_server;
    std::lock_guard lock(settings_mutex_);
    if (const auto it = job_settings_.find(job); it != job_settings_.end()) {
        if (!it->second.from.empty())
            settings.helo = it->second.from;
        settings.timeout = it->second.timeout;
    }
    return settings;
}

void Api::install(httplib::Server& server)
{
    // Every request passes here first, before its body is read: a request
    // refused for its path, its method or its token costs no more than its
    // header.
    server.set_pre_routing_handler([this](const Request& req, Response& res) {
        end_head();
        request_started = std::chrono::steady_clock::now();
        const Route* route = nullptr;
        for (const Route& r : routes()) {
            if (matches(r.pattern, req.path)) {
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
        // A list is read whole before it is parsed: only a few connections
        // may do that at once, so a crowd of large posts cannot add up to
        // more memory than a few. Refused before the body is read, so the
        // connection is closed after the reply.
        if (req.method == "POST" && req.path == "/v1/jobs" && !holds_post_slot) {
            if (posting_.fetch_add(1) >= post_connections) {
                posting_.fetch_sub(1);
                res.set_header("Connection", "close");
                res.set_header("Retry-After", "1");
                reply_error(res, 503, "too many lists being posted at once; try again later");
                return httplib::Server::HandlerResponse::Handled;
            }
            holds_post_slot = true;
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
    server.set_logger([this](const Request& req, const Response& res) {
        metrics_.request_done(res.status);
        // Called once the reply is written, streamed ones included.
        const auto took = request_started ? std::chrono::steady_clock::now() - *request_started
                                          : std::chrono::steady_clock::duration::zero();
        const std::uint64_t bytes = req.method == "HEAD" ? 0 : res.body.size() + streamed_bytes;
        log_.access(req.method, req.path, res.status, bytes,
                    std::chrono::duration_cast<std::chrono::milliseconds>(took));
        request_started.reset();
        streamed_bytes = 0;
        // The next request on this connection starts with its head.
        begin_head();
    });

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
    server.Post("/v1/jobs", [this](const Request& req, Response& res) { add_job(req, res); });
    server.Get("/v1/jobs", [this](const Request& req, Response& res) { list_jobs(req, res); });
    server.Get("/v1/jobs/([^/]+)", [this](const Request& req, Response& res) { job_status(req, res); });
    server.Delete("/v1/jobs/([^/]+)", [this](const Request& req, Response& res) { remove_job(req, res); });
    server.Get("/v1/jobs/([^/]+)/results", [this](const Request& req, Response& res) { job_results(req, res); });
}

void Api::connection_ended()
{
    if (holds_post_slot) {
        holds_post_slot = false;
        posting_.fetch_sub(1);
    }
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
    g.job_checks_running = job_checks_running.load();
    g.posting = static_cast<std::size_t>(std::max(posting_.load(), 0));
    try {
        for (const std::string& name : store_.jobs()) {
            const auto status = store_.status(name);
            if (!status)
                continue;  // removed meanwhile
            ++g.jobs;
            g.job_addresses["done"] += status->done;
            g.job_addresses["due"] += status->due;
            g.job_addresses["running"] += status->running;
            g.job_addresses["deferred"] += status->deferred;
        }
        g.have_jobs = true;
    } catch (const verimex::hosting::StoreError&) {
        // The figures of the server itself are still worth having.
    }
    res.set_content(metrics_.text(g), "text/plain; version=0.0.4; charset=utf-8");
}

void Api::check(const Request& req, Response& res)
{
    if (!req.has_param("email"))
        return reply_error(res, 400, "missing parameter: email");
    std::string email = req.get_param_value("email");
    if (email.empty())
        return reply_error(res, 400, "empty parameter: email");
    verimex::options settings;
    // The component's own check, as this service has always run it.
    settings.method = verimex::method::vrfy;
    settings.helo = default_from_;
    settings.timeout = options_.timeout;
    settings.dns_server = options_.dns_server;
    if (req.has_param("from") && !req.get_param_value("from").empty())
        settings.helo = req.get_param_value("from");
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
        const verimex::report result = ticket.result->get();
        res.set_content(verimex::hosting::json_line(result), json_type);
    } catch (const CheckPool::Stopped&) {
        metrics_.check_refused();
        res.set_header("Retry-After", "5");
        reply_error(res, 503, "the server is stopping");
    }
}

}  // namespace verimex_server

namespace verimex_server {

namespace {

// A store that failed: the request may work later (PostgreSQL restarting,
// a locked SQLite file).
void store_failed(Response& res, const verimex::hosting::StoreError& e)
{
    res.set_header("Retry-After", "5");
    reply_error(res, 503, std::string("store unavailable: ") + e.what());
}

// The media type of a Content-Type value, lower-cased, parameters dropped.
std::string media_type(std::string_view value)
{
    value = value.substr(0, value.find(';'));
    while (!value.empty() && value.back() == ' ')
        value.remove_suffix(1);
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    std::string out(value);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// A name for a job posted without one: the time and a random part.
std::string new_job_name()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::random_device random;
    char tail[16];
    std::snprintf(tail, sizeof tail, "%06x", random() & 0xffffffu);
    return std::string("job-") + stamp + "-" + tail;
}

// The job name of a /v1/jobs/NAME request, or an error reply.
std::optional<std::string> job_name(const Request& req, Response& res)
{
    std::string name = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    if (!verimex::hosting::valid_job_name(name)) {
        reply_error(res, 404, "no such job");
        return std::nullopt;
    }
    return name;
}

// A name as one URL path segment: unreserved characters as they are,
// every other byte as %XX.
std::string path_segment(std::string_view name)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0f];
        }
    }
    return out;
}

// A file name for Content-Disposition: the job's name with anything but
// letters, digits, '-', '_' and '.' replaced.
std::string download_name(std::string_view job)
{
    std::string out;
    for (const char c : job)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    return out;
}

}  // namespace

void Api::add_job(const Request& req, Response& res)
{
    if (stopping_) {
        res.set_header("Retry-After", "5");
        return reply_error(res, 503, "the server is stopping");
    }
    std::vector<std::string> addresses;
    std::optional<std::string> name;
    std::optional<std::string> from;
    std::optional<std::int16_t> timeout;
    const std::string media = media_type(req.get_header_value("Content-Type"));
    if (media == "text/plain") {
        // One address a line, as verimex-check reads standard input; the
        // rest comes in the query.
        std::istringstream lines(req.body);
        verimex::hosting::read_address_lines(lines, addresses);
        if (req.has_param("name"))
            name = req.get_param_value("name");
        if (req.has_param("from"))
            from = req.get_param_value("from");
        if (req.has_param("timeout")) {
            timeout = parse_timeout(req.get_param_value("timeout"));
            if (!timeout)
                return reply_error(res, 400, "timeout: expected a whole number of seconds from 0 to 32767");
        }
    } else if (media == "application/json" || media.empty()) {
        Json body;
        try {
            body = Json::parse(req.body);
        } catch (const Json::exception& e) {
            return reply_error(res, 400, std::string("bad JSON: ") + e.what());
        }
        if (!body.is_object())
            return reply_error(res, 400, "expected a JSON object");
        const auto list = body.find("addresses");
        if (list == body.end() || !list->is_array())
            return reply_error(res, 400, "addresses: expected an array of strings");
        addresses.reserve(list->size());
        for (const Json& a : *list) {
            if (!a.is_string() || a.get_ref<const std::string&>().empty())
                return reply_error(res, 400, "addresses: expected an array of strings");
            addresses.push_back(a.get<std::string>());
        }
        if (const auto n = body.find("name"); n != body.end() && !n->is_null()) {
            if (!n->is_string())
                return reply_error(res, 400, "name: expected a string");
            name = n->get<std::string>();
        }
        if (const auto f = body.find("from"); f != body.end() && !f->is_null()) {
            if (!f->is_string())
                return reply_error(res, 400, "from: expected a string");
            from = f->get<std::string>();
        }
        if (const auto t = body.find("timeout"); t != body.end() && !t->is_null()) {
            if (!t->is_number_integer() || t->get<std::int64_t>() < 0 || t->get<std::int64_t>() > 32767)
                return reply_error(res, 400, "timeout: expected a whole number of seconds from 0 to 32767");
            timeout = static_cast<std::int16_t>(t->get<std::int64_t>());
        }
    } else {
        return reply_error(res, 415, "Content-Type: expected application/json or text/plain");
    }
    if (addresses.empty())
        return reply_error(res, 400, "addresses: none given");
    if (timeout && verimex::hosting::effective_timeout(*timeout) > options_.lease())
        return reply_error(res, 400, "timeout: longer than the lease of the server's workers (" +
                                         std::to_string(options_.lease()) + " s)");
    if (name && !verimex::hosting::valid_job_name(*name))
        return reply_error(res, 400, "name: " + std::string(verimex::hosting::job_name_rule));
    const std::string job = name ? *name : new_job_name();

    if (from || timeout) {
        std::lock_guard lock(settings_mutex_);
        JobSettings& settings = job_settings_[job];
        if (from)
            settings.from = *from;
        if (timeout)
            settings.timeout = *timeout;
    }
    verimex::hosting::AddResult added;
    try {
        added = store_.add(job, addresses);
    } catch (const verimex::hosting::StoreError& e) {
        return store_failed(res, e);
    }
    log_.event("job_added", {{"job", job},
                             {"added", static_cast<std::uint64_t>(added.added)},
                             {"duplicates", static_cast<std::uint64_t>(added.duplicates)}});
    res.status = 201;
    res.set_header("Location", "/v1/jobs/" + path_segment(job));
    res.set_content(json_body({{"job", job}, {"added", added.added}, {"duplicates", added.duplicates}}), json_type);
}

void Api::list_jobs(const Request&, Response& res)
{
    try {
        res.set_content(json_body({{"jobs", store_.jobs()}}), json_type);
    } catch (const verimex::hosting::StoreError& e) {
        store_failed(res, e);
    }
}

void Api::job_status(const Request& req, Response& res)
{
    const auto name = job_name(req, res);
    if (!name)
        return;
    try {
        const auto status = store_.status(*name);
        if (!status)
            return reply_error(res, 404, "no such job");
        res.set_content(verimex::hosting::status_json(*status) + "\n", json_type);
    } catch (const verimex::hosting::StoreError& e) {
        store_failed(res, e);
    }
}

void Api::remove_job(const Request& req, Response& res)
{
    const auto name = job_name(req, res);
    if (!name)
        return;
    try {
        if (!store_.remove(*name))
            return reply_error(res, 404, "no such job");
    } catch (const verimex::hosting::StoreError& e) {
        return store_failed(res, e);
    }
    {
        std::lock_guard lock(settings_mutex_);
        job_settings_.erase(*name);
    }
    log_.event("job_removed", {{"job", *name}});
    res.set_content(json_body({{"job", *name}, {"removed", true}}), json_type);
}

void Api::job_results(const Request& req, Response& res)
{
    const auto name = job_name(req, res);
    if (!name)
        return;
    const std::string format_name = req.has_param("format") ? req.get_param_value("format") : "jsonl";
    const auto format = verimex::hosting::export_format(format_name);
    if (!format)
        return reply_error(res, 400, "format: expected jsonl or csv");
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> limit;
    if (req.has_param("offset")) {
        const auto n = parse_count(req.get_param_value("offset"));
        if (!n)
            return reply_error(res, 400, "offset: expected a whole number from 0");
        offset = *n;
    }
    if (req.has_param("limit")) {
        limit = parse_count(req.get_param_value("limit"));
        if (!limit)
            return reply_error(res, 400, "limit: expected a whole number from 0");
    }
    try {
        if (!store_.status(*name))
            return reply_error(res, 404, "no such job");
    } catch (const verimex::hosting::StoreError& e) {
        return store_failed(res, e);
    }

    const bool csv = *format == verimex::hosting::ExportFormat::csv;
    res.set_header("Content-Disposition",
                   "attachment; filename=\"" + download_name(*name) + (csv ? ".csv\"" : ".jsonl\""));
    // Written as it is read, in chunks, from a store connection of its own:
    // a job of millions of addresses needs no more memory than a chunk, and
    // the export's snapshot holds up no other request.
    const std::string location = options_.store;
    res.set_chunked_content_provider(
        csv ? "text/csv; charset=utf-8" : "application/x-ndjson; charset=utf-8",
        [location, job = *name, format = *format, offset, limit](std::size_t, httplib::DataSink& sink) {
            struct ClientGone {};
            try {
                const std::unique_ptr<verimex::hosting::Store> own = verimex::hosting::open_store(location);
                verimex::hosting::export_job(*own, job, format, offset, limit, [&](const std::string& piece) {
                    if (!sink.write(piece.data(), piece.size()))
                        throw ClientGone{};
                    streamed_bytes += piece.size();
                });
                sink.done();
                return true;
            } catch (...) {
                // The reply's head is out: the connection is cut, so the
                // client sees an incomplete reply rather than a short one.
                return false;
            }
        });
}

}  // namespace verimex_server
