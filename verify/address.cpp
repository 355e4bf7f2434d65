// Address syntax. The grammar is RFC 5321's Mailbox, widened by RFC 6531
// to UTF-8 in atoms and quoted strings; an internationalised domain is
// turned into its A-labels by libidn2 under UTS #46, so what goes on the
// wire and into DNS is always plain ASCII.
#include "verify/address.h"

#include <unistd.h>

#include <arpa/inet.h>
#include <idn2.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace verimex::engine {

namespace {

bool ascii_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// RFC 5322 atext, with RFC 6531's UTF8-non-ascii (checked as UTF-8 as a whole).
bool atext(unsigned char c)
{
    if (ascii_alpha(c) || ascii_digit(c) || c >= 0x80)
        return true;
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) != std::string_view::npos;
}

// The local part at the start of s; its length, or 0 when it is malformed.
std::size_t local_part_length(std::string_view s)
{
    if (s.empty())
        return 0;
    if (s[0] == '"') {
        // Quoted-string: qtextSMTP or quoted-pairSMTP, then the closing quote.
        for (std::size_t i = 1; i < s.size(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c == '"')
                return i + 1;
            if (c == '\\') {
                if (i + 1 >= s.size())
                    return 0;
                const auto next = static_cast<unsigned char>(s[i + 1]);
                if (next < 32 || next > 126)
                    return 0;
                ++i;
                continue;
            }
            if (c < 32 || c == 127)
                return 0;
        }
        return 0;
    }
    // Dot-string: atoms joined by single dots.
    std::size_t i = 0;
    bool need_atext = true;
    while (i < s.size() && s[i] != '@') {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '.') {
            if (need_atext)
                return 0;
            need_atext = true;
        } else if (atext(c)) {
            need_atext = false;
        } else {
            return 0;
        }
        ++i;
    }
    return need_atext ? 0 : i;
}

// RFC 5321 Domain in its ASCII form: sub-domains of letters, digits and
// inner hyphens, at most 63 octets each.
bool ascii_domain(std::string_view d)
{
    if (d.empty() || d.size() > max_domain)
        return false;
    std::size_t start = 0;
    while (true) {
        std::size_t end = d.find('.', start);
        if (end == std::string_view::npos)
            end = d.size();
        const std::string_view label = d.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char ch : label) {
            const auto c = static_cast<unsigned char>(ch);
            if (!ascii_alpha(c) && !ascii_digit(c) && c != '-')
                return false;
        }
        if (end == d.size())
            return true;
        start = end + 1;
    }
}

struct idn2_deleter {
    void operator()(char* p) const { idn2_free(p); }
};

// The A-label form of a domain; nothing when UTS #46 refuses it. Nontransitional processing is what browsers and mail software use
// today (ß stays ß); a name only the transitional rules take is still let
// through as they map it.
std::optional<std::string> to_ascii(std::string_view domain)
{
    bool plain = true;
    for (char c : domain)
        plain = plain && static_cast<unsigned char>(c) < 0x80;
    std::string in(domain);
    // An ASCII domain goes out as written: the case of its letters means
    // nothing to DNS or to a mail server, and servers echo the address as
    // they were sent it.
    if (plain)
        return in;
    for (int flags : {IDN2_NONTRANSITIONAL, IDN2_TRANSITIONAL}) {
        char* raw = nullptr;
        const int rc = idn2_to_ascii_8z(in.c_str(), &raw, flags);
        std::unique_ptr<char, idn2_deleter> out(raw);
        if (rc == IDN2_OK && out)
            return std::string(out.get());
    }
    return std::nullopt;
}

// "[192.0.2.1]" or "[IPv6:2001:db8::1]": the numeric address inside.
std::optional<std::string> address_literal(std::string_view d)
{
    if (d.size() < 3 || d.front() != '[' || d.back() != ']')
        return std::nullopt;
    const std::string inner(d.substr(1, d.size() - 2));
    unsigned char buf[16];
    if (inner.size() > 5 && inner.compare(0, 5, "IPv6:") == 0) {
        const std::string v6 = inner.substr(5);
        if (::inet_pton(AF_INET6, v6.c_str(), buf) == 1)
            return v6;
        return std::nullopt;
    }
    if (::inet_pton(AF_INET, inner.c_str(), buf) == 1)
        return inner;
    // General-address-literal (a tag of its own) names no standard
    // protocol anything can connect to.
    return std::nullopt;
}

}  // namespace

bool valid_utf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t n;
        std::uint32_t cp;
        if (c >= 0xc2 && c <= 0xdf) {
            n = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            n = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= text.size())
            return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += n + 1;
    }
    return true;
}

std::optional<mailbox> parse_mailbox(std::string_view address)
{
    if (!valid_utf8(address))
        return std::nullopt;
    const std::size_t local_len = local_part_length(address);
    if (local_len == 0 || local_len > max_local_part || local_len >= address.size() || address[local_len] != '@')
        return std::nullopt;

    mailbox m;
    m.local = std::string(address.substr(0, local_len));
    const std::string_view domain = address.substr(local_len + 1);
    // Checked before the C libraries see it: they read up to a NUL, and
    // would judge less than the whole domain.
    for (char ch : domain) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7f)
            return std::nullopt;
    }
    if (domain.starts_with('[')) {
        const std::optional<std::string> literal = address_literal(domain);
        if (!literal)
            return std::nullopt;
        m.domain = std::string(domain);
        m.literal = *literal;
    } else {
        std::optional<std::string> ascii = to_ascii(domain);
        if (!ascii || !ascii_domain(*ascii))
            return std::nullopt;
        m.domain = std::move(*ascii);
    }
    if (m.domain.size() > max_domain || m.local.size() + 1 + m.domain.size() + 2 > max_path)
        return std::nullopt;
    return m;
}

bool unsafe_for_smtp(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

}  // namespace verimex::engine
