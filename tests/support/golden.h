// The component's exact texts as the tests expect them, read from the one
// table of literals, tests/golden/texts.tsv (its head says the format).
// Natively the table is found in the source tree; under Wine the driver
// names it in VERIMEX_GOLDEN_TEXTS, as a Windows path. Nothing here comes
// from the component's own definitions: a text changed there alone fails
// the tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace verimex::golden {

namespace detail {

inline std::string table_path()
{
    if (const char* named = std::getenv("VERIMEX_GOLDEN_TEXTS"); named != nullptr && *named != '\0')
        return named;
#ifdef VERIMEX_TESTS_DIR
    return std::string(VERIMEX_TESTS_DIR) + "/golden/texts.tsv";
#else
    throw std::runtime_error("golden texts: VERIMEX_GOLDEN_TEXTS is not set");
#endif
}

// The text of a row with its escapes (\r, \n, \\) undone.
inline std::string unescape(std::string_view raw, const std::string& name)
{
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            text += raw[i];
            continue;
        }
        const char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
        switch (next) {
        case 'r': text += '\r'; break;
        case 'n': text += '\n'; break;
        case '\\': text += '\\'; break;
        default: throw std::runtime_error("golden texts: row " + name + " has an unknown escape");
        }
        ++i;
    }
    return text;
}

inline std::map<std::string, std::string, std::less<>> load()
{
    const std::string path = table_path();
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        throw std::runtime_error("golden texts: cannot read " + path);
    std::map<std::string, std::string, std::less<>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            throw std::runtime_error("golden texts: a row without a tab in " + path + ": " + line);
        std::string name = line.substr(0, tab);
        std::string text = unescape(std::string_view(line).substr(tab + 1), name);
        if (!rows.emplace(name, std::move(text)).second)
            throw std::runtime_error("golden texts: row " + name + " twice in " + path);
    }
    return rows;
}

}  // namespace detail

// The text called name, its blanks ("{}") filled in order by blanks; throws
// for an unknown name or a count of blanks that does not match the row.
inline std::string text(std::string_view name, std::initializer_list<std::string_view> blanks = {})
{
    static const std::map<std::string, std::string, std::less<>> rows = detail::load();
    const auto row = rows.find(name);
    if (row == rows.end())
        throw std::runtime_error("golden texts: no row " + std::string(name));
    std::string out;
    const std::string& form = row->second;
    auto next = blanks.begin();
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form.compare(i, 2, "{}") == 0) {
            if (next == blanks.end())
                throw std::runtime_error("golden texts: too few blanks for " + std::string(name));
            out.append(*next++);
            ++i;
        } else {
            out += form[i];
        }
    }
    if (next != blanks.end())
        throw std::runtime_error("golden texts: too many blanks for " + std::string(name));
    return out;
}

// One function a row, so a mistyped name does not compile.
inline std::string verified() { return text("verified"); }
inline std::string no_mail_server() { return text("no_mail_server"); }
inline std::string could_not_connect() { return text("could_not_connect"); }
inline std::string invalid_email() { return text("invalid_email"); }
inline std::string invalid_from() { return text("invalid_from"); }
inline std::string timed_out(int seconds) { return text("timed_out", {std::to_string(seconds)}); }
// code: the OS error number, as the component prints it (signed 32 bits).
inline std::string pipe_failed(std::int32_t code) { return text("pipe_failed", {std::to_string(code)}); }
inline std::string start_failed(std::int32_t code) { return text("start_failed", {std::to_string(code)}); }
inline std::string read_failed(std::int32_t code) { return text("read_failed", {std::to_string(code)}); }
inline std::string telnet_line(std::string_view host) { return text("telnet_line", {host}); }
inline std::string connect_error_line(std::string_view host) { return text("connect_error_line", {host}); }
inline std::string helo_line(std::string_view from) { return text("helo_line", {from}); }
inline std::string vrfy_line(std::string_view email) { return text("vrfy_line", {email}); }
inline std::string quit_line() { return text("quit_line"); }
inline std::string lookup_command(std::string_view domain, std::string_view server)
{
    return text("lookup_command", {domain, server});
}

}  // namespace verimex::golden
