// The Host and Origin checks.
#include "browser_guard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace verimex_server {

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool is_port(std::string_view text)
{
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

std::optional<std::string> host_of(std::string_view authority)
{
    std::string_view host;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && !(rest.front() == ':' && is_port(rest.substr(1))))
            return std::nullopt;
        in6_addr v6{};
        if (::inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1)
            return std::nullopt;
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos && !is_port(authority.substr(colon + 1)))
            return std::nullopt;
    }
    if (host.empty() || std::any_of(host.begin(), host.end(), [](unsigned char c) {
            return c <= 0x20 || c >= 0x7f || c == '/' || c == '@' || c == '\\';
        }))
        return std::nullopt;
    // "localhost." is the same name as "localhost".
    if (host.size() > 1 && host.back() == '.')
        host.remove_suffix(1);
    return lower(host);
}

bool is_address(std::string_view host)
{
    const std::string text(host);
    in_addr v4{};
    in6_addr v6{};
    return ::inet_pton(AF_INET, text.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

bool is_loopback(std::string_view host)
{
    const std::string text = lower(host);
    if (text == "localhost")
        return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

HostCheck::HostCheck(std::string listen, std::vector<std::string> allowed)
    : listen_(lower(listen)), every_address_(listen == "0.0.0.0" || listen == "::")
{
    for (const std::string& name : allowed)
        allowed_.push_back(host_of(name).value_or(lower(name)));
}

bool HostCheck::allows(std::string_view host_field) const
{
    const std::optional<std::string> host = host_of(host_field);
    if (!host)
        return false;
    if (is_loopback(*host) || *host == listen_ || (every_address_ && is_address(*host)))
        return true;
    return std::find(allowed_.begin(), allowed_.end(), *host) != allowed_.end();
}

bool same_origin(std::string_view origin, std::string_view host_field)
{
    constexpr std::string_view scheme = "http://";
    if (origin.size() <= scheme.size() || lower(origin.substr(0, scheme.size())) != scheme)
        return false;
    return lower(origin.substr(scheme.size())) == lower(host_field);
}

bool from_a_page(std::string_view origin, std::string_view sec_fetch_site)
{
    return !origin.empty() || (!sec_fetch_site.empty() && sec_fetch_site != "none");
}

}  // namespace verimex_server
