// The request helpers.
#include "request.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <random>

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

namespace verimex_server {

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

bool bearer_matches(std::string_view authorization, std::string_view token)
{
    // The scheme's name is case-insensitive (RFC 9110, 11.1): some clients
    // send "bearer".
    constexpr std::string_view scheme = "bearer ";
    if (authorization.size() <= scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return false;
    return token_matches(authorization.substr(scheme.size()), token);
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
    // Digits only: from_chars would take "-0" for 0.
    if (text.starts_with('-'))
        return std::nullopt;
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 32767)
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

namespace {

// An envelope sender fit to go on the wire: something@something, without
// blanks, control characters or angle brackets (which would end the path
// early). The engine reads the address itself; this turns away, with a 400,
// what could never be one.
bool plausible_sender(std::string_view address)
{
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size() || address.size() > 256)
        return false;
    return std::none_of(address.begin(), address.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || c == '<' || c == '>';
    });
}

}  // namespace

std::optional<std::string> read_check_param(std::string_view name, std::string_view value, CheckParams& params)
{
    if (name == "method") {
        params.method = verimex::parse_method(value);
        if (!params.method)
            return "method: expected vrfy, rcpt or auto";
    } else if (name == "tls") {
        params.tls = verimex::parse_tls_mode(value);
        if (!params.tls)
            return "tls: expected try, require or off";
    } else if (name == "mail_from") {
        if (!value.empty() && !plausible_sender(value))
            return "mail_from: expected an address, or nothing for the null sender";
        params.mail_from = std::string(value);
    } else if (name == "from") {
        // Empty keeps the server's name, as it always has.
        if (!value.empty())
            params.from = std::string(value);
    } else if (name == "catch_all") {
        if (value == "true")
            params.catch_all = true;
        else if (value == "false")
            params.catch_all = false;
        else
            return "catch_all: expected true or false";
    } else if (name == "timeout") {
        params.timeout = parse_timeout(value);
        if (!params.timeout)
            return "timeout: expected a whole number of seconds from 0 to 32767";
    }
    return std::nullopt;
}

void apply(const CheckParams& params, verimex::options& settings)
{
    if (params.method)
        settings.method = *params.method;
    if (params.from)
        settings.helo = *params.from;
    if (params.mail_from)
        settings.mail_from = *params.mail_from;
    if (params.timeout)
        settings.timeout = *params.timeout;
    if (params.tls)
        settings.tls = *params.tls;
    if (params.catch_all)
        settings.catch_all = *params.catch_all;
}

std::string json_body(verimex::hosting::Json object)
{
    return verimex::hosting::json_text(std::move(object)) + "\n";
}

std::string error_body(std::string_view message)
{
    return json_body({{"error", std::string(message)}});
}

void reply_error(Response& res, int status, std::string_view message)
{
    res.status = status;
    res.set_content(error_body(message), json_type);
}

std::string_view reason(int status)
{
    switch (status) {
    case 400: return "bad request";
    case 401: return "missing or wrong bearer token";
    case 404: return "not found";
    case 403: return "forbidden";
    case 405: return "method not allowed";
    case 408: return "request timed out";
    case 413: return "request body too large";
    case 414: return "request URI too long";
    case 415: return "unsupported media type";
    case 421: return "misdirected request";
    case 429: return "too many requests";
    case 431: return "request header fields too large";
    case 500: return "internal error";
    case 503: return "service unavailable";
    default: return status >= 500 ? "server error" : "request refused";
    }
}

bool path_matches(std::string_view pattern, std::string_view path, std::string* star)
{
    while (!pattern.empty()) {
        if (pattern.front() != '*') {
            if (path.empty() || path.front() != pattern.front())
                return false;
            pattern.remove_prefix(1);
            path.remove_prefix(1);
            continue;
        }
        const std::size_t length = std::min(path.find('/'), path.size());
        if (length == 0)
            return false;
        if (star != nullptr)
            star->assign(path.substr(0, length));
        pattern.remove_prefix(1);
        path.remove_prefix(length);
    }
    return path.empty();
}

bool parse_target(std::string_view target, Request& req)
{
    auto parsed = boost::urls::parse_origin_form(target);
    if (!parsed)
        return false;
    req.path = parsed->path();
    for (const auto& param : parsed->params(boost::urls::encoding_opts(true)))
        req.params.emplace(param.key, param.value);
    return true;
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

std::string error_id()
{
    std::random_device random;
    char id[16];
    std::snprintf(id, sizeof id, "%08x", static_cast<unsigned>(random()));
    return id;
}

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

std::string download_name(std::string_view job)
{
    std::string out;
    for (const char c : job)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    return out;
}

}  // namespace verimex_server
