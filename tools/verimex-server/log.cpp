// The access and job-event lines of verimex-server.
#include "log.h"

#include "verimex/hosting/json.h"
#include "verimex/hosting/text.h"

namespace verimex_server {

namespace {

// A plain value: as it is when it holds only printable ASCII other than
// blanks, quotes, backslashes and "=", else in double quotes with \", \\,
// \n, \r, \t and \xNN for every other control byte. Bytes that are not
// UTF-8 become U+FFFD first, as in every JSON document of verimex.
void append_plain(std::string& out, std::string_view raw)
{
    bool bare = !raw.empty();
    for (const char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7f || c == '"' || c == '\\' || c == '=')
            bare = false;
    }
    if (bare) {
        out += raw;
        return;
    }
    out += '"';
    for (const char c : verimex::hosting::valid_utf8(raw)) {
        if (c == '"')
            out += "\\\"";
        else
            verimex::hosting::append_escaped(out, c);
    }
    out += '"';
}

}  // namespace

std::optional<LogFormat> log_format(std::string_view name)
{
    if (name == "plain")
        return LogFormat::plain;
    if (name == "json")
        return LogFormat::json;
    return std::nullopt;
}

std::string log_line(LogFormat format, std::string_view event, const LogFields& fields)
{
    if (format == LogFormat::json) {
        verimex::hosting::Json object;
        object["event"] = std::string(event);
        for (const auto& [key, value] : fields) {
            if (value.is_number)
                object[std::string(key)] = value.number;
            else if (value.is_bool)
                object[std::string(key)] = value.text == "true";
            else
                object[std::string(key)] = std::string(value.text);
        }
        return verimex::hosting::json_text(std::move(object)) + "\n";
    }
    std::string out = "event=";
    append_plain(out, event);
    for (const auto& [key, value] : fields) {
        out += ' ';
        out += key;
        out += '=';
        if (value.is_number)
            out += std::to_string(value.number);
        else
            append_plain(out, value.text);
    }
    out += '\n';
    return out;
}

void Log::access(std::string_view method, std::string_view path, int status, std::uint64_t bytes,
                 std::chrono::milliseconds took)
{
    event("access", {{"method", method},
                     {"path", path},
                     {"status", status},
                     {"bytes", bytes},
                     {"ms", static_cast<std::uint64_t>(took.count() < 0 ? 0 : took.count())}});
}

void Log::event(std::string_view name, const LogFields& fields)
{
    const std::string line = log_line(format_, name, fields);
    // One write per record under the lock, so lines of several threads
    // never interleave.
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fflush(stream_);
}

}  // namespace verimex_server
