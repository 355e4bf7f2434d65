// The pieces of request handling that need no server: reading query
// values, comparing tokens, matching paths, naming jobs, and the JSON
// bodies of replies. Each is a plain function, tested by itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http_message.h"

#include "verimex/hosting/json.h"
#include "verimex/verify.h"

namespace verimex_server {

inline constexpr const char* json_type = "application/json; charset=utf-8";

// Method vrfy is the component's own check, which connects directly: with
// a proxy it would go out past it, so a request for it is refused.
inline constexpr std::string_view vrfy_with_proxy =
    "method: vrfy connects directly, and this server sends its checks through a proxy";

// True when given equals expected, in a time that depends on expected's
// length only, so that a client cannot find the token byte by byte.
bool token_matches(std::string_view given, std::string_view expected);

// Whether an Authorization header carries the token ("Bearer TOKEN").
bool bearer_matches(std::string_view authorization, std::string_view token);

// "offset" and "limit": whole numbers from 0.
std::optional<std::uint64_t> parse_count(std::string_view text);

// "timeout" of a request: a whole number from 0 to 32767.
std::optional<std::int16_t> parse_timeout(std::string_view text);

// What a request may say of how its check (or its job's checks) is made:
// each is unset when the request does not give it, and the server's own
// setting stands.
struct CheckParams {
    std::optional<verimex::method> method;
    std::optional<std::string> from;       // the HELO name
    std::optional<std::string> mail_from;  // "" is the null sender
    std::optional<std::int16_t> timeout;
    std::optional<verimex::tls_mode> tls;
    std::optional<bool> catch_all;  // probe a random mailbox too
};

// The names CheckParams are given by, in a query and in a job's JSON body.
inline constexpr std::string_view check_param_names[] = {"method", "from", "mail_from", "timeout", "tls",
                                                      "catch_all"};

// Reads one of them from its text into params. Returns the error message
// for a value it cannot take ("method: expected vrfy, rcpt or auto"), or
// nothing; a name that is none of them is left alone.
std::optional<std::string> read_check_param(std::string_view name, std::string_view value, CheckParams& params);

// settings with what params give laid over them.
void apply(const CheckParams& params, verimex::options& settings);

// A reply body: the object on one line and a line end. Its texts may quote
// what a client sent: bytes that are not UTF-8 become U+FFFD.
std::string json_body(verimex::hosting::Json object);

// {"error": message} with a final line end.
std::string error_body(std::string_view message);

// Sets res to status with error_body(message).
void reply_error(Response& res, int status, std::string_view message);

// The words of an error reply the server did not write itself (400 for a
// request the HTTP layer cannot read, 413, 431, ...).
std::string_view reason(int status);

// Whether path matches pattern, whose "*" stands for one non-empty path
// segment; that segment in *segment, when given.
bool path_matches(std::string_view pattern, std::string_view path, std::string* segment = nullptr);

// The path and query of a request target into req (both percent-decoded,
// '+' in the query a space, as forms send it); false when the target is
// not a path with an optional query.
bool parse_target(std::string_view target, Request& req);

// The Allow header for these methods (GET stands for HEAD too).
std::string allow_header(const std::vector<std::string>& methods);

// The media type of a Content-Type value, lower-cased, parameters dropped.
std::string media_type(std::string_view value);

// A name for a job posted without one: the time and a random part.
std::string new_job_name();

// Eight random hexadecimal digits: what an error reply and its log line
// share, so that the one can be found from the other.
std::string error_id();

// A name as one URL path segment: unreserved characters as they are,
// every other byte as %XX.
std::string path_segment(std::string_view name);

// A file name for Content-Disposition: the job's name with anything but
// letters, digits, '-', '_' and '.' replaced.
std::string download_name(std::string_view job);

}  // namespace verimex_server
