// The MX host scanner. It only searches text: each record is a line holding
// "mail exchanger = " followed directly by the host name and the line end.
#include "lookup/nextmx.h"

namespace verimex {

namespace {

constexpr std::string_view marker = "mail exchanger";
constexpr std::string_view record = "mail exchanger = ";

}  // namespace

std::optional<std::string> nextmx(std::string_view text, std::size_t& scanpos)
{
    const std::size_t from = scanpos == 0 ? 0 : scanpos - 1;
    if (from >= text.size() || text.find(marker, from) == std::string_view::npos)
        return std::nullopt;

    // NOTE: a "mail exchanger" with no " = " after it, anywhere further on,
    // ends the scan; starting over from the front of the text would hand out
    // the same records again and never end.
    const std::size_t at = text.find(record, from);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::size_t name = at + record.size();

    // A record cut off before its line end (the output is read only up to a
    // fixed size) has no trustworthy name: stop there.
    const std::size_t lf = text.find('\n', name);
    if (lf == std::string_view::npos)
        return std::nullopt;

    // Drop the CR of a CR LF line end, but only when it is there: a line
    // that ends in LF alone keeps its whole name.
    std::size_t end = lf;
    if (end > name && text[end - 1] == '\r')
        --end;
    scanpos = name + 1;
    return std::string(text.substr(name, end - name));
}

}  // namespace verimex
