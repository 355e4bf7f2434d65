// /v1/preflight: whether mail servers will believe this server's checks,
// asked before a bulk run (port 25, reverse DNS, HELO name, blocklists,
// SPF), and the report in its JSON form.
#include "api.h"

#include "verimex/hosting/json.h"
#include "verimex/preflight.h"

namespace verimex_server {

namespace {

// "zen.example,bl.example": the zones, in order; "" asks none.
std::vector<std::string> zone_list(std::string_view text)
{
    std::vector<std::string> zones;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view zone = text.substr(0, comma);
        if (!zone.empty())
            zones.emplace_back(zone);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return zones;
}

}  // namespace

void Api::preflight(const Request& req, Response& res)
{
    if (stopping_) {
        res.set_header("Retry-After", "5");
        return reply_error(res, 503, "the server is stopping");
    }
    // The same HELO name, sender and time limit a check of this server
    // would use, unless the request names others.
    CheckParams params;
    for (const std::string_view key : {"from", "mail_from", "timeout"}) {
        if (!req.has_param(std::string(key)))
            continue;
        if (const auto error = read_check_param(key, req.get_param_value(std::string(key)), params))
            return reply_error(res, 400, *error);
    }
    verimex::options settings = base_settings();
    apply(params, settings);
    verimex::preflight_options o;
    o.helo = settings.helo;
    o.mail_from = settings.mail_from;
    // Each step of the preflight is short: the server's own time limit
    // (made for slow mail servers) only when the request asks for one.
    if (params.timeout)
        o.timeout = *params.timeout;
    o.dns_server = options_.dns_server;
    // Port 25 is tried the way the checks go out.
    o.proxy = settings.proxy;
    if (req.has_param("public_address"))
        o.public_address = req.get_param_value("public_address");
    if (req.has_param("test_host")) {
        o.test_host = req.get_param_value("test_host");
        if (o.test_host.empty())
            return reply_error(res, 400, "test_host: expected a host name or address");
    }
    if (req.has_param("blocklists"))
        o.blocklists = zone_list(req.get_param_value("blocklists"));
    o.cancel = &stop_;
    // As with the checks: a client names the test host, and must not make
    // this server probe the network it stands in.
    o.refuse_private_test_host = !options_.allow_private_mx;

    const verimex::preflight_report report = verimex::preflight(o);
    // A setting the preflight could not use is the request's fault.
    if (!report.error.empty())
        return reply_error(res, 400, report.error);
    res.set_content(verimex::hosting::preflight_json(report) + "\n", json_type);
}

}  // namespace verimex_server
