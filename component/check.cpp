// check: one verification from end to end.
#include "verimex/quoverimex.h"

#include <string>
#include <string_view>

#include "component/texts.h"
#include "lookup/nextmx.h"
#include "lookup/runlookup.h"
#include "probe/dialog.h"
#include "watchdog/form1.h"

namespace verimex {

namespace {

constexpr std::int16_t default_timeout = 120;
constexpr std::int16_t max_timeout = 600;

// A line break or NUL in a text sent to a mail server would end our command
// early and let the rest pass as a command of the caller's choosing.
bool unsafe_for_smtp(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The domain is one word of the lookup tool's command line, split at blanks
// and tabs (and on Windows by the tool's own rules, where a double quote
// groups words). Whitespace, a control character or a double quote in it
// could add words of the caller's choosing, such as a DNS server to ask; a
// leading '-' would make it an option. No domain name holds any of these,
// so no real address is refused.
bool unsafe_for_lookup(std::string_view domain)
{
    if (domain.starts_with('-'))
        return true;
    for (std::size_t i = 0; i < domain.size(); ++i) {
        const auto c = static_cast<unsigned char>(domain[i]);
        if (c <= 0x20 || c == 0x7f || c == '"')
            return true;
        // Beyond ASCII, in UTF-8: the C1 controls and the no-break space
        // (U+0080 to U+00A0: C2 80 to C2 A0), the spaces U+2000 to U+200A
        // (E2 80 80 to E2 80 8A), and the other Unicode spaces.
        const std::string_view rest = domain.substr(i);
        const auto byte = [&](std::size_t n) { return n < rest.size() ? static_cast<unsigned char>(rest[n]) : 0; };
        if (c == 0xc2 && byte(1) >= 0x80 && byte(1) <= 0xa0)
            return true;
        if (c == 0xe2 && byte(1) == 0x80 && byte(2) >= 0x80 && byte(2) <= 0x8a)
            return true;
        // U+1680, U+2028, U+2029, U+202F, U+205F, U+3000.
        for (std::string_view space : {"\xe1\x9a\x80", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf",
                                       "\xe2\x81\x9f", "\xe3\x80\x80"})
            if (rest.starts_with(space))
                return true;
    }
    return false;
}

}  // namespace

void quoverimex::check()
{
    if (timeout_ == 0)
        timeout_ = default_timeout;
    else if (timeout_ > max_timeout)
        timeout_ = max_timeout;
    // A negative timeout is passed on; the timer refuses it by throwing.
    Form1::current().startwatch(timeout_);

    // Everything after the first "@"; the whole address when there is none.
    // The local part is not judged: quoted, it may hold blanks, and it goes
    // only into the vrfy line.
    const std::size_t at = email_.find('@');
    const std::string_view domain =
        at == std::string::npos ? std::string_view(email_) : std::string_view(email_).substr(at + 1);

    if (unsafe_for_smtp(email_) || unsafe_for_lookup(domain)) {
        returnvar_ = texts::invalid_email;
        return;
    }
    if (unsafe_for_smtp(from_)) {
        returnvar_ = texts::invalid_from;
        return;
    }

    const std::string command = texts::lookup_command(domain, nslookup_);

    returnvar_ = texts::no_mail_server;
    runlookup(*this, command);

    // Hosts in the order the lookup listed them; preferences are not read.
    std::size_t scanpos = 1;
    while (std::optional<std::string> host = nextmx(nslookup_, scanpos)) {
        Form1::current().yield();
        switch (probe(*this, *host)) {
        case ProbeOutcome::verified:
        case ProbeOutcome::timed_out:
            return;
        case ProbeOutcome::connect_failed:
        case ProbeOutcome::rejected:
            break;
        }
    }
}

}  // namespace verimex
