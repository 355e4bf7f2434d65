// Address syntax: the Mailbox of RFC 5321 section 4.1.2, with the UTF-8
// local parts of RFC 6531, and the form of the domain that goes on the wire.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace verimex::engine {

inline constexpr std::size_t max_local_part = 64;   // octets (RFC 5321 4.5.3.1.1)
inline constexpr std::size_t max_domain = 255;      // octets (4.5.3.1.2)
inline constexpr std::size_t max_path = 256;        // "<local@domain>" (4.5.3.1.3)

struct mailbox {
    std::string local;   // as given: a dot-atom, or a quoted string with its quotes
    std::string domain;  // for the wire: as given when ASCII, else its A-labels; or "[literal]" as given
    // An address literal's numeric address ("192.0.2.1", "2001:db8::1");
    // empty for a domain.
    std::string literal;
    // local@domain as it goes into RCPT TO and VRFY.
    std::string wire() const { return local + "@" + domain; }
};

// Nothing when the address is malformed: a bad local part or domain, a
// length over the limits, UTF-8 that is not valid, a domain that UTS #46
// refuses.
std::optional<mailbox> parse_mailbox(std::string_view address);

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
bool valid_utf8(std::string_view text);

// Whether text would break an SMTP command line (CR, LF or NUL in it).
bool unsafe_for_smtp(std::string_view text);

// The EHLO name when none is given: this machine's name, which is what a
// mail server expects (RFC 5321 4.1.4); "localhost" when it has none.
std::string host_name();

}  // namespace verimex::engine
