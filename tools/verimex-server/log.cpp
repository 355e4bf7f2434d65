// The access and job-event lines of verimex-server.
#include "log.h"

#include <nlohmann/json.hpp>

namespace verimex_server {

namespace {

// Length of the UTF-8 sequence at text[i], or 0 when it is not valid
// UTF-8 (overlong forms, surrogates and code points past U+10FFFF too).
std::size_t utf8_sequence(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (b < 0x80)
        return 1;
    if ((b & 0xe0) == 0xc0) {
        length = 2;
        code = b & 0x1f;
    } else if ((b & 0xf0) == 0xe0) {
        length = 3;
        code = b & 0x0f;
    } else if ((b & 0xf8) == 0xf0) {
        length = 4;
        code = b & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3f);
    }
    static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

// A plain value: as it is when it holds only printable ASCII other than
// blanks, quotes, backslashes and "=", else in double quotes with \", \\,
// \n, \r, \t and \xNN for every other control byte and every byte that is
// not part of valid UTF-8.
void append_plain(std::string& out, std::string_view text)
{
    bool bare = !text.empty();
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7f || c == '"' || c == '\\' || c == '=')
            bare = false;
    }
    if (bare) {
        out += text;
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8_sequence(text, i);
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        ++i;
        switch (b) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (b < 0x20 || b >= 0x7f) {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0x0f];
        } else {
            out += static_cast<char>(b);
        }
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
        nlohmann::ordered_json object;
        object["event"] = std::string(event);
        for (const auto& [key, value] : fields) {
            if (value.is_number)
                object[std::string(key)] = value.number;
            else if (value.is_bool)
                object[std::string(key)] = value.text == "true";
            else
                object[std::string(key)] = std::string(value.text);
        }
        // Bytes that are not UTF-8 become U+FFFD, as in every JSON reply.
        return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
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
