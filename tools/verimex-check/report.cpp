// Formatting of verimex-check's output and the exit status of a run.
#include "report.h"

#include <algorithm>

namespace verimex_check {

namespace {

constexpr std::string_view indent = "    ";

void append_escaped(std::string& out, char c)
{
    static constexpr char hex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\t': out += "\\t"; return;
    case '\\': out += "\\\\"; return;
    default: break;
    }
    if (byte < 0x20 || byte == 0x7f) {
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0x0f];
        return;
    }
    out += c;
}

std::string_view without_final_line_end(std::string_view text)
{
    const std::size_t last = text.find_last_not_of("\r\n");
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace

std::string escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        append_escaped(out, c);
    return out;
}

std::string result_line(const CheckResult& result)
{
    return escaped(result.address) + ": " + escaped(without_final_line_end(result.returnvar)) + "\n";
}

std::string error_line(const CheckResult& result)
{
    return "verimex-check: " + escaped(result.address) + ": " + escaped(result.platform_error) + "\n";
}

std::string transcript_block(std::string_view transcript)
{
    std::string out;
    while (!transcript.empty()) {
        std::size_t end = transcript.find('\n');
        std::string_view line;
        if (end == std::string_view::npos) {
            line = transcript;
            transcript = {};
        } else {
            line = transcript.substr(0, end);
            transcript.remove_prefix(end + 1);
        }
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        out += indent;
        out += escaped(line);
        out += '\n';
    }
    return out;
}

namespace {

// The length of the UTF-8 sequence at the start of bytes when it is whole
// and well formed; otherwise 0, with bad set to the bytes that belong to the
// broken sequence (its "maximal subpart", at least 1), which are replaced
// together by one U+FFFD, as decoders following Unicode's advice do.
std::size_t utf8_sequence(std::string_view bytes, std::size_t& bad)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    // The second byte's range is narrower after some leads: that is what
    // rules out overlong forms, surrogates and values past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const bool fits = i < bytes.size() && at(i) >= (i == 1 ? low : 0x80) && at(i) <= (i == 1 ? high : 0xbf);
        if (!fits) {
            bad = i;
            return 0;
        }
    }
    return length;
}

void append_json_string(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    while (!text.empty()) {
        const char c = text.front();
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0x0f];
                } else {
                    out += c;
                }
            }
            text.remove_prefix(1);
            continue;
        }
        std::size_t bad = 0;
        const std::size_t length = utf8_sequence(text, bad);
        if (length == 0) {
            out += "\xef\xbf\xbd";  // U+FFFD REPLACEMENT CHARACTER
            text.remove_prefix(bad);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    out += '"';
}

}  // namespace

std::string json_string(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    append_json_string(out, text);
    return out;
}

std::string json_line(const CheckResult& result)
{
    std::string out;
    out.reserve(64 + result.address.size() + result.returnvar.size() + result.transcript.size());
    out += "{\"address\":";
    append_json_string(out, result.address);
    out += ",\"returnvar\":";
    append_json_string(out, result.returnvar);
    out += ",\"verified\":";
    out += result.verified() ? "true" : "false";
    out += ",\"transcript\":";
    append_json_string(out, result.transcript);
    out += ",\"error\":";
    if (result.failed())
        append_json_string(out, result.platform_error);
    else
        out += "null";
    out += "}\n";
    return out;
}

std::string progress_line(std::size_t done, std::size_t total, std::chrono::milliseconds elapsed)
{
    constexpr std::size_t width = 24;
    const std::size_t filled = total == 0 ? width : std::min(done, total) * width / total;
    std::string out = "[";
    out.append(filled, '#');
    out.append(width - filled, '-');
    out += "] ";
    out += std::to_string(done) + "/" + std::to_string(total);

    // Tenths of an address per second, in whole numbers so the text does
    // not depend on the locale or on floating-point formatting.
    const auto ms = static_cast<unsigned long long>(std::max<std::chrono::milliseconds::rep>(elapsed.count(), 0));
    const unsigned long long tenths = ms == 0 ? 0 : (static_cast<unsigned long long>(done) * 10000 + ms / 2) / ms;
    out += "  " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "/s  ";

    const unsigned long long seconds = ms / 1000;
    const auto two = [](unsigned long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    if (seconds >= 3600)
        out += std::to_string(seconds / 3600) + ":" + two(seconds / 60 % 60) + ":" + two(seconds % 60);
    else
        out += std::to_string(seconds / 60) + ":" + two(seconds % 60);
    return out;
}

void Tally::add(const CheckResult& result)
{
    if (result.failed())
        any_failed_ = true;
    else if (!result.verified())
        any_not_verified_ = true;
}

ExitStatus Tally::status() const
{
    if (any_failed_)
        return platform_failed;
    return any_not_verified_ ? some_not_verified : all_verified;
}

}  // namespace verimex_check
