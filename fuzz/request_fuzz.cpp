// Fuzz target: verimex-server's own reading of a request, before and beside
// the HTTP library: the route match its pre-routing answers by against the
// regular expression the library dispatches by (the two must never
// disagree, or a request could pass the token check under one route and be
// served by another), the numbers and check parameters of a query, and the
// bearer token. The input is two texts, split at the first NUL byte.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <string_view>

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

    // The route match, against the expression the server installs.
    {
        Route route;
        route.pattern = pattern_of(a);
        const std::string path(b.substr(0, 64));
        const bool by_regex = std::regex_match(path, std::regex(route.expression()));
        FUZZ_CHECK(path_matches(route.pattern, path) == by_regex);
        Route routes[] = {route};
        FUZZ_CHECK((find_route(routes, path) != nullptr) == by_regex);
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
