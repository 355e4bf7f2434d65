// What the stores share: judging a result, keys and names, the status
// object and the export formats, and choosing the store for a location.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <ctime>

#include "component/texts.h"
#include "jobs/store.h"

namespace verimex_jobs {

namespace {

namespace texts = verimex::texts;

// The start of the timeout text, up to the time limit's number.
std::string_view timeout_prefix()
{
    static const std::string text = [] {
        std::string t = texts::timed_out(0);
        return t.substr(0, t.find('0'));
    }();
    return text;
}

bool starts_with_code(std::string_view text)
{
    return text.size() >= 3 && std::isdigit(static_cast<unsigned char>(text[0])) &&
           std::isdigit(static_cast<unsigned char>(text[1])) && std::isdigit(static_cast<unsigned char>(text[2]));
}

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Every byte sequence that is not UTF-8 as one U+FFFD, as --json does.
std::string as_utf8(std::string_view text)
{
    static constexpr std::string_view replacement = "\xef\xbf\xbd";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (b < 0x80) {
            out += text[i++];
            continue;
        } else if (b >= 0xc2 && b <= 0xdf) {
            length = 2;
            value = b & 0x1f;
        } else if (b >= 0xe0 && b <= 0xef) {
            length = 3;
            value = b & 0x0f;
        } else if (b >= 0xf0 && b <= 0xf4) {
            length = 4;
            value = b & 0x07;
        }
        bool ok = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            ok = (c & 0xc0) == 0x80;
            value = (value << 6) | (c & 0x3f);
        }
        if (ok) {
            const std::uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0x80;
            ok = value >= least && value <= 0x10ffff && !(value >= 0xd800 && value <= 0xdfff);
        }
        if (ok) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += replacement;
            ++i;
            // The continuation bytes of a broken sequence go with it.
            while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xc0) == 0x80)
                ++i;
        }
    }
    return out;
}

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

std::string csv_field(std::string_view text)
{
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

}  // namespace

Outcome outcome_of(const CheckRecord& record)
{
    if (!record.error.empty())
        return Outcome::other_error;
    const std::string_view r = record.returnvar;
    if (r == texts::verified)
        return Outcome::verified;
    if (r == texts::could_not_connect)
        return Outcome::could_not_connect;
    if (r == texts::no_mail_server)
        return Outcome::no_mail_server;
    if (r.starts_with(timeout_prefix()))
        return Outcome::timed_out;
    // Whatever else starts with a reply code is the server's own answer.
    if (starts_with_code(r))
        return Outcome::rejected;
    return Outcome::other_error;
}

bool is_temporary_reply(const CheckRecord& record)
{
    return outcome_of(record) == Outcome::rejected && record.returnvar[0] == '4';
}

std::string first_mail_exchanger(std::string_view transcript)
{
    // The transcript opens with the line the check writes when it starts
    // its first connection: "telnet: " + host.
    const std::string line = texts::telnet_line("");
    const std::string_view prefix = std::string_view(line).substr(0, line.size() - texts::crlf.size());
    if (!transcript.starts_with(prefix))
        return {};
    const std::size_t end = transcript.find(texts::crlf, prefix.size());
    if (end == std::string_view::npos)
        return {};
    return lower(transcript.substr(prefix.size(), end - prefix.size()));
}

std::string domain_of(std::string_view address)
{
    const std::size_t at = address.find('@');
    return at == std::string_view::npos ? std::string() : lower(address.substr(at + 1));
}

bool valid_job_name(std::string_view name)
{
    return !name.empty() && name.size() <= 200 &&
           std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string status_json(const JobStatus& s)
{
    nlohmann::ordered_json results = {
        {"verified", s.verified},   {"rejected", s.rejected},   {"could_not_connect", s.could_not_connect},
        {"no_mail_server", s.no_mail_server}, {"timed_out", s.timed_out}, {"other_errors", s.other_errors},
    };
    nlohmann::ordered_json object = {
        {"job", as_utf8(s.job)}, {"total", s.total},     {"done", s.done},        {"due", s.due},
        {"running", s.running},  {"deferred", s.deferred}, {"results", std::move(results)},
    };
    return object.dump();
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
        return "address,returnvar,verified,transcript,error,state,attempts,checked_at\r\n";
    return {};
}

bool export_job(Store& store, std::string_view job, ExportFormat format, std::uint64_t offset,
                std::optional<std::uint64_t> limit, const std::function<void(const std::string&)>& write)
{
    constexpr std::size_t piece = 64 * 1024;
    std::string chunk = export_header(format);
    const bool found = store.export_entries(job, offset, limit, [&](const Entry& entry) {
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

std::string export_line(const Entry& e, ExportFormat format)
{
    const bool verified = e.returnvar && !e.error && *e.returnvar == texts::verified && e.state == "done";
    if (format == ExportFormat::jsonl) {
        const auto optional_text = [](const std::optional<std::string>& t) {
            return t ? nlohmann::ordered_json(as_utf8(*t)) : nlohmann::ordered_json(nullptr);
        };
        nlohmann::ordered_json object = {
            {"address", as_utf8(e.address)},
            {"returnvar", optional_text(e.returnvar)},
            {"verified", verified},
            {"transcript", optional_text(e.transcript)},
            {"error", optional_text(e.error)},
            {"state", e.state},
            {"attempts", e.attempts},
            {"checked_at", e.checked_at ? nlohmann::ordered_json(time_text(*e.checked_at))
                                        : nlohmann::ordered_json(nullptr)},
        };
        return object.dump() + "\n";
    }
    std::string line = csv_field(as_utf8(e.address));
    line += ',' + csv_field(as_utf8(e.returnvar.value_or("")));
    line += verified ? ",true" : ",false";
    line += ',' + csv_field(as_utf8(e.transcript.value_or("")));
    line += ',' + csv_field(as_utf8(e.error.value_or("")));
    line += ',' + e.state;
    line += ',' + std::to_string(e.attempts);
    line += ',' + (e.checked_at ? time_text(*e.checked_at) : std::string());
    line += "\r\n";
    return line;
}

bool is_postgresql_uri(std::string_view location)
{
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::string printable_location(std::string_view location)
{
    if (!is_postgresql_uri(location))
        return std::string(location);
    const std::size_t start = location.find("://") + 3;
    const std::size_t at = location.find('@', start);
    const std::size_t slash = location.find('/', start);
    if (at == std::string_view::npos || (slash != std::string_view::npos && slash < at))
        return std::string(location);
    const std::size_t colon = location.find(':', start);
    if (colon == std::string_view::npos || colon > at)
        return std::string(location);
    return std::string(location.substr(0, colon + 1)) + "***" + std::string(location.substr(at));
}

}  // namespace verimex_jobs
