// Escaping of server text for lines meant for people and logs.
#include "verimex/hosting/text.h"

namespace verimex::hosting {

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

std::string escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text)
        append_escaped(out, c);
    return out;
}

}  // namespace verimex::hosting
