// Fuzz target: any bytes a server or client may send, written the three
// ways the programs write text: as a JSON string (every JSON document goes
// through the one writer, json_text), as a CSV field of an export, and with
// the plain output's escaping. Each must decode to the same text: the JSON
// and the CSV to the bytes with each sequence that is not UTF-8 replaced by
// U+FFFD (the one policy), the plain line to the very bytes. The JSON is
// always valid and, like the plain line, carries no raw control character.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_target.h"
#include "report.h"  // verimex-check's plain output
#include "verimex/hosting/export.h"
#include "verimex/hosting/json.h"

namespace {

bool raw_control(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes behind verimex-check's escaping: \r \n \t \\ and \xNN.
std::string unescape_plain(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        FUZZ_CHECK(i + 1 < text.size());
        const char kind = text[++i];
        if (kind == 'r') {
            out += '\r';
        } else if (kind == 'n') {
            out += '\n';
        } else if (kind == 't') {
            out += '\t';
        } else if (kind == '\\') {
            out += '\\';
        } else {
            FUZZ_CHECK(kind == 'x' && i + 2 < text.size());
            const int high = hex_digit(text[i + 1]), low = hex_digit(text[i + 2]);
            FUZZ_CHECK(high >= 0 && low >= 0);
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

// One CSV field as RFC 4180 reads it.
std::string unquote_csv(std::string_view field)
{
    if (field.empty() || field.front() != '"') {
        FUZZ_CHECK(field.find_first_of(",\"\r\n") == std::string_view::npos);
        return std::string(field);
    }
    FUZZ_CHECK(field.size() >= 2 && field.back() == '"');
    std::string out;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        if (field[i] == '"') {
            // A quote inside stands doubled.
            FUZZ_CHECK(i + 2 < field.size() && field[i + 1] == '"');
            ++i;
        }
        out += field[i];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = verimex::hosting::valid_utf8(bytes);
    // Valid UTF-8 is left as it is, and the policy is idempotent.
    FUZZ_CHECK(verimex::hosting::valid_utf8(text) == text);

    const std::string json = verimex::hosting::json_string(bytes);
    FUZZ_CHECK(!raw_control(json));
    const nlohmann::json parsed = nlohmann::json::parse(json);  // throws, and so crashes, when invalid
    FUZZ_CHECK(parsed.is_string() && parsed.get<std::string>() == text);

    // The field reads back as the text, after the "'" that keeps a cell a
    // spreadsheet would run as a formula inert.
    const std::string csv = verimex::hosting::csv_field(bytes);
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    FUZZ_CHECK(unquote_csv(csv) == (formula ? "'" + text : text));

    const std::string plain = verimex_check::escaped(bytes);
    FUZZ_CHECK(!raw_control(plain));
    const std::string back = unescape_plain(plain);
    FUZZ_CHECK(back == bytes);
    FUZZ_CHECK(verimex::hosting::valid_utf8(back) == text);
    return 0;
}
