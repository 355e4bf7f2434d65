// Address syntax: what RFC 5321's Mailbox takes and refuses, the lengths,
// UTF-8, and the A-label form of internationalised domains.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verify/address.h"

namespace verimex::engine {
namespace {

// The whole of a literal that holds NUL bytes.
template <std::size_t N>
std::string with_nul(const char (&text)[N])
{
    return std::string(text, N - 1);
}

struct syntax_case {
    std::string address;
    bool valid;
    std::string wire = {};     // the form for RCPT TO, when valid
    std::string literal = {};  // an address literal's address
};

TEST(AddressSyntax, Table)
{
    const std::string local64(64, 'a');
    const std::string label63(63, 'b');
    // 4 labels of 63 and the dots: 255 octets.
    const std::string domain255 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'c') + ".d";
    const std::vector<syntax_case> cases = {
        {"alice@example.test", true, "alice@example.test"},
        {"Alice.Smith+tag@Example.TEST", true, "Alice.Smith+tag@Example.TEST"},
        {"a!#$%&'*+-/=?^_`{|}~z@example.test", true, "a!#$%&'*+-/=?^_`{|}~z@example.test"},
        {"\"john doe\"@example.test", true, "\"john doe\"@example.test"},
        {"\"a\\\"b@c\"@example.test", true, "\"a\\\"b@c\"@example.test"},
        {"user@[192.0.2.1]", true, "user@[192.0.2.1]", "192.0.2.1"},
        {"user@[IPv6:2001:db8::1]", true, "user@[IPv6:2001:db8::1]", "2001:db8::1"},
        {"j\xc3\xb6rg@example.test", true, "j\xc3\xb6rg@example.test"},
        // UTS #46: mapped to lower case, then A-labels; ß kept (nontransitional).
        {"user@b\xc3\xbc" "cher.example", true, "user@xn--bcher-kva.example"},
        {"user@B\xc3\x9c" "CHER.example", true, "user@xn--bcher-kva.example"},
        {"user@fa\xc3\x9f.de", true, "user@xn--fa-hia.de"},
        {local64 + "@example.test", true, local64 + "@example.test"},
        {"x@" + domain255, false},  // the path "<x@...>" is over 256
        {std::string(local64.size() + 1, 'a') + "@example.test", false},
        {"", false},
        {"alice", false},
        {"@example.test", false},
        {"alice@", false},
        {".alice@example.test", false},
        {"alice.@example.test", false},
        {"al..ice@example.test", false},
        {"al ice@example.test", false},
        {"alice@exa mple.test", false},
        {"alice@example..test", false},
        {"alice@-example.test", false},
        {"alice@example-.test", false},
        {"alice@" + std::string(64, 'b') + ".test", false},
        {"alice@example.test.", false},
        {"alice@example_test.com", false},
        {"alice@@example.test", false},
        {"a@b@example.test", false},
        {"\"unterminated@example.test", false},
        {"\"ctl\x01\"@example.test", false},
        {"alice@example.test\r\nRCPT TO:<x@y>", false},
        {"alice\r\n@example.test", false},
        {with_nul("ali\0ce@example.test"), false},
        {"user@[300.1.1.1]", false},
        {"user@[IPv6:nothex]", false},
        {"user@[tag:whatever]", false},
        {"user@[192.0.2.1", false},
        // What a C library would stop reading at.
        {with_nul("user@[192.0.2.1\0\0]"), false},
        {with_nul("user@b\xc3\xbc" "cher\0.evil"), false},
        // Not UTF-8: a lone continuation byte, an overlong '/', a surrogate.
        {"j\x80rg@example.test", false},
        {"\xc0\xafx@example.test", false},
        {"\xed\xa0\x80x@example.test", false},
        {"j\xc3@example.test", false},
        // An IDN that UTS #46 refuses (a disallowed code point, U+2615 is fine, U+0000 not).
        {"user@\xe2\x80\xae" "evil.example", false},
    };
    for (const syntax_case& c : cases) {
        SCOPED_TRACE(c.address);
        const std::optional<mailbox> m = parse_mailbox(c.address);
        ASSERT_EQ(m.has_value(), c.valid);
        if (!m)
            continue;
        EXPECT_EQ(m->wire(), c.wire);
        EXPECT_EQ(m->literal, c.literal);
    }
}

TEST(AddressSyntax, Utf8Validation)
{
    EXPECT_TRUE(valid_utf8("plain"));
    EXPECT_TRUE(valid_utf8("\xe2\x82\xac \xf0\x9f\x98\x80"));  // euro sign, emoji
    EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));             // past U+10FFFF
    EXPECT_FALSE(valid_utf8("\xe0\x80\xaf"));                 // overlong
    EXPECT_FALSE(valid_utf8("\xe2\x82"));                     // cut short
}

}  // namespace
}  // namespace verimex::engine
