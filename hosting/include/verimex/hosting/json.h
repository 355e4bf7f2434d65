// JSON as every program of verimex writes it (RFC 8259): the --json lines,
// the job exports, the status object and the HTTP API's bodies. Each is
// built as an nlohmann-json value and written by json_text, the one place
// that decides what becomes of bytes that are not UTF-8.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "verimex/hosting/records.h"
#include "verimex/preflight.h"
#include "verimex/verify.h"

namespace verimex::hosting {

// Members keep the order they were added in, as a reader expects them.
using Json = nlohmann::ordered_json;

// bytes with each sequence that is not UTF-8 (a stray continuation byte, a
// cut-off or overlong sequence, a surrogate, a value past U+10FFFF)
// replaced by one U+FFFD: the bytes of its "maximal subpart" together, as
// decoders following Unicode's advice do. Valid UTF-8 passes unchanged.
std::string valid_utf8(std::string_view bytes);

// value on one line without a line end. Strings (and member names) go
// through valid_utf8 first, so any bytes a server or client sent give valid
// JSON; '"' and '\\' are escaped, and control characters become \b \f \n \r
// \t or \u00XX (DEL too).
std::string json_text(Json value);

// text as one JSON string, quotes included.
std::string json_string(std::string_view text);

// Which members a report is written with.
enum class report_members {
    // The component's five: address, returnvar, verified, transcript, error
    // (null unless the platform failed). Method vrfy writes these alone, so
    // its output is what it has always been.
    component,
    // Those and the engine's: method, verdict, reason, mx, code, enhanced,
    // catch_all, tls, tls_version, role_account, disposable.
    all,
};

// A report's members as --json writes them, in that order. The default is
// the component's five, which is what every document held before the
// engine's members came; a host asks for all of them where it runs the
// engine's methods.
Json report_json(const report& result, report_members members = report_members::component);

// The engine's members alone (method ... disposable), added to object in
// their order: for documents that carry a report beside members of their
// own, such as the job exports.
void add_engine_members(Json& object, const report& result);

// The preflight's report as one JSON object: blocked, cancelled, error
// (null when none), address, address_source, address_guess, and findings,
// each with check, status, subject, text, advice.
std::string preflight_json(const preflight_report& found);

// A job's settings as stored with it: {"method", "helo", "mail_from",
// "timeout" (null: each worker's own), "tls", "catch_all"}.
std::string job_settings_json(const JobSettings& settings);
// The reverse; StoreError for a text that is not such an object.
JobSettings parse_job_settings(std::string_view text);

// json_text(report_json(result, members)) and "\n": the --json line.
std::string json_line(const report& result, report_members members = report_members::component);

}  // namespace verimex::hosting
