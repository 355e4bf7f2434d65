// verimex-server's request helpers without a server: query numbers and
// their limits, tokens, path patterns and route lookup, names in URLs and
// file names, and error bodies.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "browser_guard.h"
#include "request.h"
#include "routes.h"
#include "verimex/hosting/records.h"

namespace {

using namespace verimex_server;

TEST(ServerRequest, QueryNumbersAreWholeDecimalsWithinTheirLimits)
{
    struct Case {
        std::string text;
        std::optional<std::uint64_t> count;
        std::optional<std::int16_t> timeout;
    };
    const std::vector<Case> cases = {
        {"0", 0, 0},
        {"007", 7, 7},
        {"32767", 32767, 32767},
        {"32768", 32768, std::nullopt},
        {"18446744073709551615", UINT64_MAX, std::nullopt},
        {"18446744073709551616", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"-1", std::nullopt, std::nullopt},
        {"+1", std::nullopt, std::nullopt},
        {" 1", std::nullopt, std::nullopt},
        {"1 ", std::nullopt, std::nullopt},
        {"1e3", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_count(c.text), c.count) << "'" << c.text << "'";
        EXPECT_EQ(parse_timeout(c.text), c.timeout) << "'" << c.text << "'";
    }
}

TEST(ServerRequest, TokensMatchOnlyWholeAndOnlyAsBearer)
{
    EXPECT_TRUE(token_matches("s3cret", "s3cret"));
    for (const char* other : {"", "s3cre", "s3cret!", "S3cret", "s3cres"})
        EXPECT_FALSE(token_matches(other, "s3cret")) << other;
    for (const char* header : {"Bearer s3cret", "bearer s3cret", "BEARER s3cret", "bEaReR s3cret"})
        EXPECT_TRUE(bearer_matches(header, "s3cret")) << header;
    for (const char* header : {"", "Bearer ", "Bearer  s3cret", "Basic s3cret", "Bearers3cret", "s3cret",
                               "Bearer S3cret", "Bearer\ts3cret"})
        EXPECT_FALSE(bearer_matches(header, "s3cret")) << header;
}

TEST(ServerRequest, HostFieldsNameThisServerOrAreRefused)
{
    const HostCheck on_loopback("127.0.0.1", {"verimex.example.org", "Mail-Check.example.org."});
    const HostCheck on_every("0.0.0.0", {});
    const HostCheck on_one("192.0.2.7", {});
    const struct {
        const char* host;
        bool loopback, every, one;
    } cases[] = {
        {"127.0.0.1:8025", true, true, true},
        {"127.0.0.1", true, true, true},
        {"127.8.9.10:1", true, true, true},
        {"LOCALHOST:8025", true, true, true},
        {"localhost.", true, true, true},
        {"[::1]:8025", true, true, true},
        {"[::1]", true, true, true},
        {"verimex.example.org:8025", true, false, false},
        {"VERIMEX.example.org", true, false, false},
        {"mail-check.example.org", true, false, false},
        {"192.0.2.7:8025", false, true, true},
        {"[2001:db8::1]:8025", false, true, false},
        // A name that resolves here for somebody else's page.
        {"attacker.example:8025", false, false, false},
        {"localhost.attacker.example", false, false, false},
        {"127.0.0.1.attacker.example", false, false, false},
        // Malformed.
        {"", false, false, false},
        {"127.0.0.1:80x", false, false, false},
        {"[::1", false, false, false},
        {"[::1]x", false, false, false},
        {"[nothing]:80", false, false, false},
        {"a b:80", false, false, false},
        {"user@127.0.0.1", false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(on_loopback.allows(c.host), c.loopback) << c.host;
        EXPECT_EQ(on_every.allows(c.host), c.every) << c.host;
        EXPECT_EQ(on_one.allows(c.host), c.one) << c.host;
    }
}

TEST(ServerRequest, OnlyTheServersOwnPageIsItsOrigin)
{
    EXPECT_TRUE(same_origin("http://127.0.0.1:8025", "127.0.0.1:8025"));
    EXPECT_TRUE(same_origin("HTTP://LocalHost:8025", "localhost:8025"));
    for (const char* origin : {"null", "", "http://127.0.0.1:8026", "https://127.0.0.1:8025",
                               "http://localhost:8025", "http://attacker.example", "http://127.0.0.1:8025/"})
        EXPECT_FALSE(same_origin(origin, "127.0.0.1:8025")) << origin;
    EXPECT_FALSE(from_a_page("", ""));
    EXPECT_FALSE(from_a_page("", "none"));
    EXPECT_TRUE(from_a_page("http://x", ""));
    for (const char* site : {"same-origin", "same-site", "cross-site"})
        EXPECT_TRUE(from_a_page("", site)) << site;
}

TEST(ServerRequest, RoutesAreFoundByPatternOneSegmentPerStar)
{
    const std::vector<Route> table = {
        {"/", false, {{"GET", nullptr, nullptr}}},
        {"/static/app.js", false, {{"GET", nullptr, nullptr}}},
        {"/v1/jobs", true, {{"GET", nullptr, nullptr}, {"POST", nullptr, nullptr}}},
        {"/v1/jobs/*", true, {{"GET", nullptr, nullptr}, {"DELETE", nullptr, nullptr}}},
        {"/v1/jobs/*/results", true, {{"GET", nullptr, nullptr}}},
    };
    const std::vector<std::pair<std::string, std::string>> found = {
        {"/", "/"},
        {"/static/app.js", "/static/app.js"},
        {"/v1/jobs", "/v1/jobs"},
        {"/v1/jobs/list1", "/v1/jobs/*"},
        {"/v1/jobs/a%2Fb", "/v1/jobs/*"},
        {"/v1/jobs/list1/results", "/v1/jobs/*/results"},
    };
    for (const auto& [path, pattern] : found) {
        const Route* route = find_route(table, path);
        ASSERT_NE(route, nullptr) << path;
        EXPECT_EQ(route->pattern, pattern) << path;
    }
    for (const char* path : {"", "/v1", "/v1/jobs/", "/v1/jobs//results", "/v1/jobs/a/b", "/v1/jobs/a/results/x",
                             "/static/app.jsx", "/static/appXjs"})
        EXPECT_EQ(find_route(table, path), nullptr) << path;

    // The segment a handler gets is the one "*" matched; the same table
    // gives the Allow header.
    std::string segment;
    EXPECT_TRUE(path_matches(table[4].pattern, "/v1/jobs/list%201/results", &segment));
    EXPECT_EQ(segment, "list%201");
    EXPECT_FALSE(path_matches(table[4].pattern, "/v1/jobs/a/b/results", &segment));
    EXPECT_EQ(allow_header(table[3].methods()), "GET, HEAD, DELETE");
    EXPECT_EQ(allow_header(table[2].methods()), "GET, HEAD, POST");
}

TEST(ServerRequest, NamesInUrlsAndFileNames)
{
    EXPECT_EQ(media_type(" Application/JSON ; charset=utf-8"), "application/json");
    EXPECT_EQ(media_type("text/plain"), "text/plain");
    EXPECT_EQ(media_type(""), "");
    EXPECT_EQ(path_segment("list-1_a.b~c"), "list-1_a.b~c");
    EXPECT_EQ(path_segment("a b/\xc3\xa9"), "a%20b%2F%C3%A9");
    EXPECT_EQ(download_name("a b/../\xc3\xa9.csv"), "a_b_..___.csv");  // each byte of é too
    const std::string made = new_job_name();
    EXPECT_TRUE(std::regex_match(made, std::regex("job-[0-9]{8}-[0-9]{6}-[0-9a-f]{6}"))) << made;
    EXPECT_TRUE(verimex::hosting::valid_job_name(made));
    EXPECT_NE(new_job_name(), made);
}

TEST(ServerRequest, ErrorBodiesAreOneLineOfValidJson)
{
    EXPECT_EQ(error_body("no such job"), "{\"error\":\"no such job\"}\n");
    EXPECT_EQ(error_body("no such path: /a\"b\n\xff"), "{\"error\":\"no such path: /a\\\"b\\n\xef\xbf\xbd\"}\n");
    EXPECT_EQ(reason(413), "request body too large");
    EXPECT_EQ(reason(599), "server error");
    EXPECT_EQ(reason(499), "request refused");
}

// What a request says of its check, laid over the server's settings: each
// value taken or refused with the message a client sees, and only the
// settings given changing anything.
TEST(ServerRequest, CheckParametersAreReadOrRefusedAndOnlyThoseGivenApply)
{
    struct Case {
        std::string name;
        std::string value;
        std::optional<std::string> error;
    };
    const std::string method_error = "method: expected vrfy, rcpt or auto";
    const std::string tls_error = "tls: expected try, require or off";
    const std::string sender_error = "mail_from: expected an address, or nothing for the null sender";
    const std::vector<Case> cases = {
        {"method", "vrfy", std::nullopt},     {"method", "rcpt", std::nullopt},
        {"method", "auto", std::nullopt},     {"method", "automatic", method_error},
        {"method", "RCPT", method_error},     {"method", "", method_error},
        {"tls", "try", std::nullopt},         {"tls", "require", std::nullopt},
        {"tls", "off", std::nullopt},         {"tls", "on", tls_error},
        {"mail_from", "", std::nullopt},      {"mail_from", "probe@example.org", std::nullopt},
        {"mail_from", "x", sender_error},     {"mail_from", "@example.org", sender_error},
        {"mail_from", "probe@", sender_error}, {"mail_from", "a b@example.org", sender_error},
        {"mail_from", "a@b>\r\nDATA", sender_error}, {"mail_from", "a@b\x7f", sender_error},
        {"mail_from", std::string(250, 'a') + "@b.example", sender_error},
        {"timeout", "32767", std::nullopt},   {"timeout", "-1", std::string("timeout: expected a whole number of seconds from 0 to 32767")},
        {"from", "", std::nullopt},           {"unrelated", "anything", std::nullopt},
    };
    for (const Case& c : cases) {
        CheckParams params;
        EXPECT_EQ(read_check_param(c.name, c.value, params), c.error) << c.name << "=" << c.value;
    }

    verimex::options base;
    base.helo = "server.example";
    base.timeout = 30;
    CheckParams params;
    ASSERT_FALSE(read_check_param("from", "", params));  // empty: the server's name stays
    ASSERT_FALSE(read_check_param("method", "rcpt", params));
    ASSERT_FALSE(read_check_param("mail_from", "probe@example.org", params));
    ASSERT_FALSE(read_check_param("tls", "require", params));
    verimex::options laid = base;
    apply(params, laid);
    EXPECT_EQ(laid.method, verimex::method::rcpt);
    EXPECT_EQ(laid.mail_from, "probe@example.org");
    EXPECT_EQ(laid.tls, verimex::tls_mode::require);
    EXPECT_EQ(laid.helo, "server.example");
    EXPECT_EQ(laid.timeout, 30);
    verimex::options untouched = base;
    apply(CheckParams{}, untouched);
    EXPECT_EQ(untouched.method, base.method);
    EXPECT_EQ(untouched.tls, base.tls);
    EXPECT_EQ(untouched.mail_from, "");
}

}  // namespace
