// The forms a job leaves a store in: the --status object, and the jsonl and
// csv exports of its addresses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verimex/hosting/store.h"

namespace verimex::hosting {

// The --status object on one line, without a line end:
// {"job":..,"total":..,"done":..,"due":..,"running":..,"deferred":..,
//  "results":{"verified":..,"rejected":..,"could_not_connect":..,
//  "no_mail_server":..,"timed_out":..,"other_errors":..}}
std::string status_json(const JobStatus& status);

enum class ExportFormat { jsonl, csv };
std::optional<ExportFormat> export_format(std::string_view name);  // "jsonl" or "csv"

// The CSV header row (with its CRLF); empty for jsonl.
std::string export_header(ExportFormat format);
// One entry: a JSON object and "\n" with the members of verimex-check's
// --json (address, returnvar, verified, transcript, error) and state,
// attempts, checked_at (RFC 3339, UTC, milliseconds; null before the first
// attempt); or one CSV record of the same columns ending in CRLF, quoted
// as RFC 4180 says. Bytes that are not UTF-8 become U+FFFD in both.
std::string export_line(const Entry& entry, ExportFormat format);

// One CSV field: as it is, or quoted as RFC 4180 says when it holds a
// comma, a quote or a line end. Bytes that are not UTF-8 become U+FFFD, as
// in JSON. A field that begins with '=', '+', '-', '@', a tab or a CR gets
// a leading "'", so that a spreadsheet shows it rather than runs it.
std::string csv_field(std::string_view text);

// An export as a reader gets it: export_header, then export_line for each
// address from offset on (at most limit of them), handed to write in
// pieces of about 64 KiB, so that no job of any size is held whole.
// Returns false, having written only the header, when there is no such
// job.
bool export_job(Store& store, std::string_view job, ExportFormat format, std::uint64_t offset,
                std::optional<std::uint64_t> limit, const std::function<void(const std::string&)>& write);

// Reads the next page of an export: a Store's export_page, through
// whichever connection the caller holds for that page.
using ExportPages = std::function<bool(ExportCursor& cursor, std::vector<Entry>& page)>;
// The same with each page read by read_page: a server's export holds a
// connection of its pool only while a page is read.
bool export_job(const ExportPages& read_page, ExportFormat format, std::uint64_t offset,
                std::optional<std::uint64_t> limit, const std::function<void(const std::string&)>& write);

}  // namespace verimex::hosting
