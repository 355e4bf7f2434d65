// The status object and the export formats.
#include "verimex/hosting/export.h"

#include <cstdio>
#include <ctime>

#include "verimex/hosting/json.h"

namespace verimex::hosting {

namespace {

std::string time_text(Millis at)
{
    const std::time_t seconds = static_cast<std::time_t>(at / 1000);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(at % 1000));
    return std::string(text, n) + millis;
}

// The engine's members, in the report's order.
constexpr std::string_view engine_members[] = {"method",   "verdict", "reason", "mx",           "code",      "enhanced",
                                               "catch_all", "tls",     "tls_version", "role_account", "disposable"};

std::string csv_engine_header()
{
    std::string header;
    for (const std::string_view member : engine_members)
        header += (header.empty() ? "" : ",") + std::string(member);
    return header;
}

// The entry's stored engine members, or each of them null when there are
// none yet (no attempt, or one recorded before they were stored).
void add_members(Json& object, const Entry& e)
{
    const Json stored = e.members ? Json::parse(*e.members, nullptr, false) : Json();
    for (const std::string_view member : engine_members) {
        const std::string key(member);
        object[key] = stored.is_object() && stored.contains(key) ? stored[key] : Json(nullptr);
    }
}

}  // namespace

std::string csv_field(std::string_view raw)
{
    std::string text = valid_utf8(raw);
    // A spreadsheet takes a cell that begins with one of these for a
    // formula, and a mail server's reply or an address posted by anyone
    // ends up in such cells: "=HYPERLINK(...)" would become a live link.
    // The leading apostrophe makes the cell text to the spreadsheet.
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string status_json(const JobStatus& s)
{
    Json results = {
        {"verified", s.verified},   {"rejected", s.rejected},   {"could_not_connect", s.could_not_connect},
        {"no_mail_server", s.no_mail_server}, {"timed_out", s.timed_out}, {"other_errors", s.other_errors},
    };
    Json verdicts = Json::object();
    for (const verdict v : {verdict::deliverable, verdict::undeliverable, verdict::risky, verdict::unknown})
        verdicts[std::string(name(v))] = s.by_verdict[static_cast<int>(v)];
    Json reasons = Json::object();
    for (const auto& [words, count] : s.by_reason) {
        const std::size_t space = words.find(' ');
        reasons[words.substr(0, space)][words.substr(space + 1)] = count;
    }
    Json object = {
        {"job", s.job},         {"total", s.total},       {"done", s.done},
        {"due", s.due},         {"running", s.running},   {"deferred", s.deferred},
        {"results", std::move(results)}, {"verdicts", std::move(verdicts)}, {"reasons", std::move(reasons)},
    };
    return json_text(std::move(object));
}

std::optional<ExportFormat> export_format(std::string_view name)
{
    if (name == "jsonl")
        return ExportFormat::jsonl;
    if (name == "csv")
        return ExportFormat::csv;
    return std::nullopt;
}

std::string export_header(ExportFormat format)
{
    if (format == ExportFormat::csv)
        return "address,returnvar,verified,transcript,error,state,attempts,checked_at," + csv_engine_header() + "\r\n";
    return {};
}

namespace {

// Each entry of an export, a page at a time; false when there is no such job.
bool each_entry(const ExportPages& read_page, std::uint64_t offset, std::optional<std::uint64_t> limit,
                const std::function<void(const Entry&)>& each)
{
    ExportCursor cursor;
    cursor.offset = offset;
    cursor.limit = limit;
    std::vector<Entry> page;
    while (!cursor.done) {
        if (!read_page(cursor, page))
            return false;
        for (const Entry& e : page)
            each(e);
    }
    return true;
}

}  // namespace

bool Store::export_entries(std::string_view job, std::uint64_t offset, std::optional<std::uint64_t> limit,
                           const std::function<void(const Entry&)>& each)
{
    const auto read_page = [&](ExportCursor& cursor, std::vector<Entry>& page) {
        return export_page(job, cursor, page);
    };
    return each_entry(read_page, offset, limit, each);
}

bool export_job(const ExportPages& read_page, ExportFormat format, std::uint64_t offset,
                std::optional<std::uint64_t> limit, const std::function<void(const std::string&)>& write)
{
    constexpr std::size_t piece = 64 * 1024;
    std::string chunk = export_header(format);
    const bool found = each_entry(read_page, offset, limit, [&](const Entry& entry) {
        chunk += export_line(entry, format);
        if (chunk.size() >= piece) {
            write(chunk);
            chunk.clear();
        }
    });
    if (!chunk.empty())
        write(chunk);
    return found;
}

bool export_job(Store& store, std::string_view job, ExportFormat format, std::uint64_t offset,
                std::optional<std::uint64_t> limit, const std::function<void(const std::string&)>& write)
{
    const auto read_page = [&](ExportCursor& cursor, std::vector<Entry>& page) {
        return store.export_page(job, cursor, page);
    };
    return export_job(read_page, format, offset, limit, write);
}

std::string export_line(const Entry& e, ExportFormat format)
{
    const bool verified = e.state == "done" && e.outcome == Outcome::verified;
    if (format == ExportFormat::jsonl) {
        const auto optional_text = [](const std::optional<std::string>& t) {
            return t ? Json(*t) : Json(nullptr);
        };
        Json object = {
            {"address", e.address},
            {"returnvar", optional_text(e.returnvar)},
            {"verified", verified},
            {"transcript", optional_text(e.transcript)},
            {"error", optional_text(e.error)},
            {"state", e.state},
            {"attempts", e.attempts},
            {"checked_at", e.checked_at ? Json(time_text(*e.checked_at)) : Json(nullptr)},
        };
        add_members(object, e);
        return json_text(std::move(object)) + "\n";
    }
    std::string line = csv_field(e.address);
    line += ',' + csv_field(e.returnvar.value_or(""));
    line += verified ? ",true" : ",false";
    line += ',' + csv_field(e.transcript.value_or(""));
    line += ',' + csv_field(e.error.value_or(""));
    line += ',' + e.state;
    line += ',' + std::to_string(e.attempts);
    line += ',' + (e.checked_at ? time_text(*e.checked_at) : std::string());
    Json members = Json::object();
    add_members(members, e);
    for (const std::string_view member : engine_members) {
        const Json& value = members[std::string(member)];
        line += ',';
        if (value.is_string())
            line += csv_field(value.get<std::string>());
        else if (!value.is_null())
            line += value.dump();
    }
    line += "\r\n";
    return line;
}

}  // namespace verimex::hosting
