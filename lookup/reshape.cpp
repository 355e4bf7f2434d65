#include "lookup/reshape.h"

namespace verimex {

namespace {

constexpr std::string_view record = "mail exchanger = ";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One line without its line end.
void reshape_line(std::string_view line, std::string& out)
{
    const std::size_t at = line.find(record);
    if (at == std::string_view::npos) {
        out.append(line);
        return;
    }
    const std::size_t value = at + record.size();
    std::string_view rest = line.substr(value);

    // "10 host." : a preference, one blank, then a name. A host name holds
    // no blank, so this cannot take a name that merely starts with digits.
    std::size_t digits = 0;
    while (digits < rest.size() && is_digit(rest[digits]))
        ++digits;
    if (digits == 0 || digits + 1 >= rest.size() || rest[digits] != ' ' || rest[digits + 1] == ' ') {
        out.append(line);
        return;
    }
    std::string_view host = rest.substr(digits + 1);
    if (host.size() > 1 && host.back() == '.')
        host.remove_suffix(1);
    out.append(line.substr(0, value)).append(host);
}

}  // namespace

std::string reshape(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size() + raw.size() / 16);
    std::size_t pos = 0;
    while (pos < raw.size()) {
        const std::size_t lf = raw.find('\n', pos);
        if (lf == std::string_view::npos) {
            reshape_line(raw.substr(pos), out);
            break;
        }
        std::string_view line = raw.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        reshape_line(line, out);
        out.append("\r\n");
        pos = lf + 1;
    }
    return out;
}

}  // namespace verimex
