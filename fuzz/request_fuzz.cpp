// Fuzz target: verimex-server's reading of a request. The bytes of a
// request through Boost.Beast's parser with the server's limits, and its
// target through the server's own reading of path and query; the route
// match, against a regular expression of the same pattern (the segment a
// handler is given must be the one the pattern matched, or a request could
// pass the token check under one route and be served by another); the
// numbers and check parameters of a query; and the bearer token. The input
// is two texts, split at the first NUL byte.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <string_view>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "fuzz_target.h"
#include "request.h"
#include "routes.h"

namespace {

using namespace verimex_server;

bool all_digits(std::string_view s)
{
    for (const char c : s)
        if (c < '0' || c > '9')
            return false;
    return !s.empty();
}

// A route pattern from any bytes, shaped as the route table's are: the
// letters of their paths, and "*" only ever a whole segment.
std::string pattern_of(std::string_view bytes)
{
    static constexpr char letters[] = "/*ab.-_1";
    std::string out, segment;
    const auto end_segment = [&] {
        out += segment.find('*') == std::string::npos ? segment : "*";
        segment.clear();
    };
    for (const char c : bytes.substr(0, 24)) {
        const char letter = letters[static_cast<unsigned char>(c) % (sizeof letters - 1)];
        if (letter == '/') {
            end_segment();
            out += '/';
        } else {
            segment += letter;
        }
    }
    end_segment();
    return out;
}

// The pattern as a regular expression: "*" one segment, the rest itself.
std::string expression(std::string_view pattern)
{
    std::string out;
    for (const char c : pattern)
        out += c == '*' ? std::string("([^/]+)") : c == '.' ? std::string("\\.") : std::string(1, c);
    return out;
}

// The bytes as a request the way the server reads one: its head within
// the head's bound, its body within the body's, however framed; then the
// target's path and query.
void read_request(std::string_view bytes)
{
    namespace http = boost::beast::http;
    constexpr std::size_t max_body = 4096;
    http::request_parser<http::string_body> parser;
    parser.header_limit(8192);
    parser.body_limit(max_body);
    parser.eager(true);
    boost::beast::error_code ec;
    std::size_t used = 0;
    while (used < bytes.size() && !parser.is_done()) {
        const std::size_t n = parser.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), ec);
        if (ec == http::error::need_more) {
            ec = {};
            break;
        }
        if (ec || n == 0)
            break;
        used += n;
    }
    if (!parser.is_header_done())
        return;
    FUZZ_CHECK(parser.get().body().size() <= max_body);
    Request req;
    if (!parse_target(parser.get().target(), req))
        return;
    FUZZ_CHECK(req.path.empty() || req.path.front() == '/');
    // The first of repeated parameters is the one a handler reads.
    for (auto it = req.params.begin(); it != req.params.end(); it = req.params.upper_bound(it->first))
        FUZZ_CHECK(req.get_param_value(it->first) == it->second);
}

bool blank_at_an_end(std::string_view s)
{
    return !s.empty() && (s.front() == ' ' || s.front() == '\t' || s.back() == ' ' || s.back() == '\t');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = in.find('\0');
    const std::string_view a = in.substr(0, nul);
    const std::string_view b = nul == std::string_view::npos ? std::string_view() : in.substr(nul + 1);

    read_request(b);

    // The route match, against the expression of its pattern; what "*"
    // matched, put back in the pattern, gives the path again.
    {
        Route route;
        route.pattern = pattern_of(a);
        const std::string path(b.substr(0, 64));
        const bool by_regex = std::regex_match(path, std::regex(expression(route.pattern)));
        std::string segment;
        const bool matched = path_matches(route.pattern, path, &segment);
        FUZZ_CHECK(matched == by_regex);
        Route routes[] = {route};
        FUZZ_CHECK((find_route(routes, path) != nullptr) == by_regex);
        if (matched && route.pattern.find('*') != std::string::npos) {
            std::string back = route.pattern;
            back.replace(back.rfind('*'), 1, segment);
            FUZZ_CHECK(!segment.empty() && segment.find('/') == std::string::npos);
            FUZZ_CHECK(route.pattern.find('*') != route.pattern.rfind('*') || back == path);
        }
    }

    // Query numbers: only plain decimal digits, and the value they spell.
    if (const auto n = parse_count(a)) {
        FUZZ_CHECK(all_digits(a));
        std::string digits(a.substr(a.find_first_not_of('0') == std::string_view::npos ? a.size() - 1
                                                                                       : a.find_first_not_of('0')));
        FUZZ_CHECK(std::to_string(*n) == digits);
    }
    if (const auto t = parse_timeout(a)) {
        FUZZ_CHECK(all_digits(a) && *t >= 0);
        FUZZ_CHECK(parse_count(a) && *parse_count(a) == static_cast<std::uint64_t>(*t));
    }

    // Check parameters: a value refused says which parameter it was.
    for (const std::string_view name : check_param_names) {
        CheckParams params;
        if (const auto error = read_check_param(name, a, params))
            FUZZ_CHECK(error->starts_with(std::string(name) + ": "));
    }

    // The bearer token: its own header matches, a header of another token
    // (or the token without the scheme) does not.
    if (!b.empty() && !blank_at_an_end(a) && !blank_at_an_end(b)) {
        FUZZ_CHECK(bearer_matches("Bearer " + std::string(b), b));
        FUZZ_CHECK(!bearer_matches(b, b));
        if (a != b)
            FUZZ_CHECK(!bearer_matches("Bearer " + std::string(a), b));
    }
    FUZZ_CHECK(token_matches(a, b) == (a == b));

    return 0;
}
