// SOCKS5: the proxy URL, and the CONNECT through a proxy (RFC 1928) with
// username/password authentication (RFC 1929). The password goes to the
// proxy and nowhere else: no detail, error text or log holds it.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <openssl/crypto.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "verify/net/stream.h"

namespace verimex::engine {

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool percent_decode(std::string_view text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// A zeroed copy of a secret does not outlive its use in memory a later
// allocation might show.
struct wiped_string {
    std::string text;
    ~wiped_string()
    {
        if (!text.empty())
            ::OPENSSL_cleanse(text.data(), text.size());
    }
};

const char* reply_words(unsigned code)
{
    switch (code) {
    case 1:
        return "general SOCKS server failure";
    case 2:
        return "connection not allowed by ruleset";
    case 3:
        return "network unreachable";
    case 4:
        return "host unreachable";
    case 5:
        return "connection refused";
    case 6:
        return "TTL expired";
    case 7:
        return "command not supported";
    case 8:
        return "address type not supported";
    default:
        return "unassigned reply code";
    }
}

}  // namespace

bool parse_proxy(std::string_view url, proxy_settings& out)
{
    constexpr std::string_view scheme = "socks5://";
    if (url.size() < scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i])
            return false;
    std::string_view rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);

    proxy_settings parsed;
    // The user information ends at the last '@': a password with an '@'
    // that was not percent-encoded still parses.
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view info = rest.substr(0, at);
        const std::size_t colon = info.find(':');
        if (!percent_decode(info.substr(0, colon), parsed.user))
            return false;
        if (colon != std::string_view::npos && !percent_decode(info.substr(colon + 1), parsed.password))
            return false;
        // RFC 1929 carries each in one length byte, and a user is required.
        if (parsed.user.empty() || parsed.user.size() > 255 || parsed.password.size() > 255)
            return false;
        rest = rest.substr(at + 1);
    }

    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return false;
        host = rest.substr(1, close - 1);
        unsigned char bytes[16];
        if (::inet_pton(AF_INET6, std::string(host).c_str(), bytes) != 1)
            return false;
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return false;
            port = after.substr(1);
            if (port.empty())
                return false;
        }
    } else {
        const std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
            if (port.empty())
                return false;
        }
        for (char c : host)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
                return false;
    }
    if (host.empty())
        return false;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        const unsigned long value = std::stoul(std::string(port));
        if (value < 1 || value > 65535)
            return false;
        parsed.port = static_cast<std::uint16_t>(value);
    }
    parsed.host = host;
    out = std::move(parsed);
    return true;
}

}  // namespace verimex::engine

namespace verimex::engine::net {

connect_result socks5_connect(socket_stream& stream, const std::string& proxy_name, const proxy_settings& proxy,
                              const std::string& address, std::uint16_t port, deadline until)
{
    connect_result result;
    const auto refused = [&](int code, const std::string& what) {
        result.result = connect_result::status::proxy_error;
        result.error_code = code;
        result.detail = "the proxy " + proxy_name + " " + what;
        return result;
    };
    // A failed exchange with the proxy: its time-out is a time-out, a stop
    // a stop, the rest the proxy's failure.
    const auto io_failed = [&](io_status s, const char* during) {
        switch (s) {
        case io_status::timeout:
            result.result = connect_result::status::timeout;
            result.error_code = ETIMEDOUT;
            result.detail = "the proxy " + proxy_name + " did not answer " + during;
            return result;
        case io_status::cancelled:
            result.result = connect_result::status::cancelled;
            return result;
        case io_status::closed:
            return refused(0, std::string("closed the connection ") + during);
        default:
            result.result = connect_result::status::proxy_error;
            result.error_code = stream.error_code();
            result.detail = "the proxy " + proxy_name + " " + during + ": " + stream.error_text();
            return result;
        }
    };

    const bool authenticate = !proxy.user.empty();
    std::string hello = authenticate ? std::string("\x05\x02\x02\x00", 4) : std::string("\x05\x01\x00", 3);
    io_status s = stream.send(hello, until);
    if (s != io_status::ok)
        return io_failed(s, "to the greeting");
    std::string reply;
    if ((s = stream.read_exact(2, reply, until)) != io_status::ok)
        return io_failed(s, "to the greeting");
    if (reply[0] != 0x05)
        return refused(0, "does not speak SOCKS5");
    const auto method = static_cast<unsigned char>(reply[1]);
    if (method == 0xFF)
        return refused(0xFF, authenticate ? "accepts none of the authentication methods offered"
                                          : "wants a user name and password");
    if (method == 0x02 && authenticate) {
        wiped_string request;
        request.text += '\x01';
        request.text += static_cast<char>(proxy.user.size());
        request.text += proxy.user;
        request.text += static_cast<char>(proxy.password.size());
        request.text += proxy.password;
        if ((s = stream.send(request.text, until)) != io_status::ok)
            return io_failed(s, "to the user name and password");
        if ((s = stream.read_exact(2, reply, until)) != io_status::ok)
            return io_failed(s, "to the user name and password");
        if (reply[1] != 0x00)
            return refused(static_cast<unsigned char>(reply[1]), "refused the user name and password");
    } else if (method != 0x00) {
        return refused(method, "chose an authentication method that was not offered");
    }

    std::string connect("\x05\x01\x00", 3);
    unsigned char bytes[16];
    std::string host = address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (::inet_pton(AF_INET, host.c_str(), bytes) == 1) {
        connect += '\x01';
        connect.append(reinterpret_cast<const char*>(bytes), 4);
    } else if (::inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
        connect += '\x04';
        connect.append(reinterpret_cast<const char*>(bytes), 16);
    } else {
        result.result = connect_result::status::failed;
        result.error_code = EINVAL;
        result.detail = "not a numeric address: " + address;
        return result;
    }
    connect += static_cast<char>(port >> 8);
    connect += static_cast<char>(port & 0xFF);
    if ((s = stream.send(connect, until)) != io_status::ok)
        return io_failed(s, "to the CONNECT request");
    // VER REP RSV ATYP, then the bound address: its length depends on ATYP.
    if ((s = stream.read_exact(4, reply, until)) != io_status::ok)
        return io_failed(s, "to the CONNECT request");
    if (reply[0] != 0x05)
        return refused(0, "does not speak SOCKS5");
    const auto code = static_cast<unsigned char>(reply[1]);
    if (code != 0x00)
        return refused(code, "refused the connection to " + endpoint_text(host, port) + ": " + reply_words(code) +
                                 " (reply " + std::to_string(code) + ")");
    std::size_t rest = 0;
    const char type = reply[3];
    switch (type) {
    case 0x01:
        rest = 4 + 2;
        break;
    case 0x04:
        rest = 16 + 2;
        break;
    case 0x03:
        if ((s = stream.read_exact(1, reply, until)) != io_status::ok)
            return io_failed(s, "to the CONNECT request");
        rest = static_cast<unsigned char>(reply[0]) + 2u;
        break;
    default:
        return refused(0, "answered with an unknown address type");
    }
    if ((s = stream.read_exact(rest, reply, until)) != io_status::ok)
        return io_failed(s, "to the CONNECT request");
    // The address the proxy connected out from, which is the one the
    // server sees; a proxy that names none says 0.0.0.0 or ::, and a name
    // (type 3) is not an address.
    char bound[INET6_ADDRSTRLEN] = "";
    const int family = type == 0x01 ? AF_INET : type == 0x04 ? AF_INET6 : AF_UNSPEC;
    if (family != AF_UNSPEC && ::inet_ntop(family, reply.data(), bound, sizeof bound) != nullptr &&
        std::string_view(bound) != "0.0.0.0" && std::string_view(bound) != "::")
        result.local_address = bound;
    result.result = connect_result::status::ok;
    return result;
}

}  // namespace verimex::engine::net
