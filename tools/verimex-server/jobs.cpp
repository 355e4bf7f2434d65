// /v1/jobs and /v1/jobs/NAME...: jobs posted, listed, counted, exported
// and removed, all through the store.
#include "api.h"

#include <sstream>

#include "verimex/hosting/address_list.h"
#include "verimex/hosting/job_options.h"

namespace verimex_server {

namespace {

using Json = nlohmann::json;

// A store that failed: the request may work later (PostgreSQL restarting,
// a locked SQLite file). The store's own message names hosts, users,
// tables and files, which are the operator's business and no client's:
// it goes to the log under a random id, and the reply names only the id,
// for the operator to find the line by.
void store_failed(Log& log, Response& res, const verimex::hosting::StoreError& e)
{
    if (dynamic_cast<const StoreBusy*>(&e) != nullptr)
        return reply_store_busy(res);
    const std::string id = error_id();
    log.event("store_error", {{"id", id}, {"error", std::string_view(e.what())}});
    res.set_header("Retry-After", "5");
    reply_error(res, 503, "store unavailable (error " + id + " in the server's log)");
}

// The "offset" of a paged request into offset, when it has one; false
// with the error reply when it is not a whole number.
bool read_offset(const Request& req, Response& res, std::uint64_t& offset)
{
    if (!req.has_param("offset"))
        return true;
    const auto n = parse_count(req.get_param_value("offset"));
    if (!n) {
        reply_error(res, 400, "offset: expected a whole number from 0");
        return false;
    }
    offset = *n;
    return true;
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

// No mail path is longer (the address with its brackets): a longer line
// is no address, and keeping it would only cost memory in the store.
constexpr std::size_t longest_address = 256;

// The number (from 1) of the first line of a text/plain list whose address
// is longer than that.
std::optional<std::size_t> line_too_long(std::string_view body)
{
    std::size_t number = 0;
    while (!body.empty()) {
        ++number;
        const std::size_t end = std::min(body.find('\n'), body.size());
        const auto address = verimex::hosting::address_on_line(body.substr(0, end));
        if (address && address->size() > longest_address)
            return number;
        body.remove_prefix(std::min(end + 1, body.size()));
    }
    return std::nullopt;
}

}  // namespace

void reply_store_busy(Response& res)
{
    res.set_header("Retry-After", "1");
    reply_error(res, 503, StoreBusy().what());
}

void Api::add_job(const Request& req, Response& res)
{
    if (stopping_) {
        res.set_header("Retry-After", "5");
        return reply_error(res, 503, "the server is stopping");
    }
    std::vector<std::string> addresses;
    std::optional<std::string> name;
    CheckParams params;
    const std::string media = media_type(req.get_header_value("Content-Type"));
    if (media == "text/plain") {
        // One address a line, as verimex-check reads standard input; the
        // rest comes in the query.
        if (const auto line = line_too_long(req.body))
            return reply_error(res, 400, "line " + std::to_string(*line) + ": longer than " +
                                             std::to_string(longest_address) + " octets");
        std::istringstream lines(req.body);
        verimex::hosting::read_address_lines(lines, addresses);
        if (req.has_param("name"))
            name = req.get_param_value("name");
        for (const std::string_view key : check_param_names) {
            if (!req.has_param(std::string(key)))
                continue;
            if (const auto error = read_check_param(key, req.get_param_value(std::string(key)), params))
                return reply_error(res, 400, *error);
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
            if (a.get_ref<const std::string&>().size() > longest_address)
                return reply_error(res, 400, "addresses[" + std::to_string(addresses.size()) + "]: longer than " +
                                                 std::to_string(longest_address) + " octets");
            addresses.push_back(a.get<std::string>());
        }
        if (const auto n = body.find("name"); n != body.end() && !n->is_null()) {
            if (!n->is_string())
                return reply_error(res, 400, "name: expected a string");
            name = n->get<std::string>();
        }
        for (const std::string_view key : check_param_names) {
            const auto v = body.find(std::string(key));
            if (v == body.end() || v->is_null())
                continue;
            if (key == "timeout") {
                // A number in JSON, as the query's text is one.
                if (!v->is_number_integer() || v->get<std::int64_t>() < 0 || v->get<std::int64_t>() > 32767)
                    return reply_error(res, 400, "timeout: expected a whole number of seconds from 0 to 32767");
                params.timeout = static_cast<std::int16_t>(v->get<std::int64_t>());
                continue;
            }
            if (key == "catch_all") {
                if (!v->is_boolean())
                    return reply_error(res, 400, "catch_all: expected true or false");
                params.catch_all = v->get<bool>();
                continue;
            }
            if (!v->is_string())
                return reply_error(res, 400, std::string(key) + ": expected a string");
            if (const auto error = read_check_param(key, v->get_ref<const std::string&>(), params))
                return reply_error(res, 400, *error);
        }
    } else {
        return reply_error(res, 415, "Content-Type: expected application/json or text/plain");
    }
    if (addresses.empty())
        return reply_error(res, 400, "addresses: none given");
    if (params.method == verimex::method::vrfy && !options_.proxy.empty())
        return reply_error(res, 400, vrfy_with_proxy);
    if (params.timeout && verimex::hosting::effective_timeout(*params.timeout) > options_.lease())
        return reply_error(res, 400, "timeout: longer than the lease of the server's workers (" +
                                         std::to_string(options_.lease()) + " s)");
    if (name && !verimex::hosting::valid_job_name(*name))
        return reply_error(res, 400, "name: " + std::string(verimex::hosting::job_name_rule));
    const std::string job = name ? *name : new_job_name();

    // Stored with the job when this POST makes it, for every worker of the
    // store, here or on another machine, and after a restart; a job that
    // exists keeps the settings it was made with.
    verimex::hosting::JobSettings settings;
    settings.method = params.method.value_or(verimex::method::automatic);
    settings.helo = params.from.value_or(default_from_);
    settings.mail_from = params.mail_from.value_or("");
    settings.timeout = params.timeout ? params.timeout : std::optional<std::int16_t>(options_.timeout);
    settings.tls = params.tls.value_or(verimex::tls_mode::opportunistic);
    settings.catch_all = params.catch_all.value_or(true);
    verimex::hosting::AddResult added;
    try {
        added = stores_.lease()->add(job, addresses, settings);
    } catch (const verimex::hosting::StoreError& e) {
        return store_failed(log_, res, e);
    }
    log_.event("job_added", {{"job", job},
                             {"added", static_cast<std::uint64_t>(added.added)},
                             {"duplicates", static_cast<std::uint64_t>(added.duplicates)}});
    res.status = 201;
    res.set_header("Location", "/v1/jobs/" + path_segment(job));
    res.set_content(json_body({{"job", job}, {"added", added.added}, {"duplicates", added.duplicates}}), json_type);
}

// Paged, so that a store of many jobs is not one reply: a full page says
// where the next begins.
void Api::list_jobs(const Request& req, Response& res)
{
    std::uint64_t offset = 0, limit = job_page;
    if (!read_offset(req, res, offset))
        return;
    if (req.has_param("limit")) {
        const auto n = parse_count(req.get_param_value("limit"));
        if (!n || *n == 0 || *n > job_page)
            return reply_error(res, 400, "limit: expected a whole number from 1 to " + std::to_string(job_page));
        limit = *n;
    }
    try {
        // One more than asked tells whether there is a next page.
        std::vector<std::string> names = stores_.lease()->jobs(offset, limit + 1);
        Json body = {{"jobs", Json::array()}};
        if (names.size() > limit) {
            names.pop_back();
            body["next_offset"] = offset + limit;
        }
        body["jobs"] = names;
        res.set_content(json_body(std::move(body)), json_type);
    } catch (const verimex::hosting::StoreError& e) {
        store_failed(log_, res, e);
    }
}

void Api::job_status(const Request& req, Response& res)
{
    const auto name = job_name(req, res);
    if (!name)
        return;
    try {
        const auto status = stores_.lease()->status(*name);
        if (!status)
            return reply_error(res, 404, "no such job");
        res.set_content(verimex::hosting::status_json(*status) + "\n", json_type);
    } catch (const verimex::hosting::StoreError& e) {
        store_failed(log_, res, e);
    }
}

void Api::remove_job(const Request& req, Response& res)
{
    const auto name = job_name(req, res);
    if (!name)
        return;
    try {
        if (!stores_.lease()->remove(*name))
            return reply_error(res, 404, "no such job");
    } catch (const verimex::hosting::StoreError& e) {
        return store_failed(log_, res, e);
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
    if (!read_offset(req, res, offset))
        return;
    if (req.has_param("limit")) {
        limit = parse_count(req.get_param_value("limit"));
        if (!limit)
            return reply_error(res, 400, "limit: expected a whole number from 0");
    }
    try {
        if (!stores_.lease()->status(*name))
            return reply_error(res, 404, "no such job");
    } catch (const verimex::hosting::StoreError& e) {
        return store_failed(log_, res, e);
    }

    const bool csv = *format == verimex::hosting::ExportFormat::csv;
    res.set_header("Content-Disposition",
                   "attachment; filename=\"" + download_name(*name) + (csv ? ".csv\"" : ".jsonl\""));
    // Written as it is read, a page at a time, each page on a connection of
    // the requests' pool held only while the page is read: a job of
    // millions of addresses needs no more memory than a page, and a slow
    // client holds no connection while it takes a page in, so an export
    // holds up no other request. (A pool with none free for a page cuts
    // the reply: its head is out.)
    StorePool* const stores = &stores_;
    res.set_chunked_content_provider(
        csv ? "text/csv; charset=utf-8" : "application/x-ndjson; charset=utf-8",
        [stores, job = *name, format = *format, offset, limit](DataSink& sink) {
            struct ClientGone {};
            try {
                const auto read_page = [&](verimex::hosting::ExportCursor& cursor,
                                           std::vector<verimex::hosting::Entry>& page) {
                    return stores->lease()->export_page(job, cursor, page);
                };
                verimex::hosting::export_job(read_page, format, offset, limit, [&](const std::string& piece) {
                    if (!sink.write(piece.data(), piece.size()))
                        throw ClientGone{};
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
