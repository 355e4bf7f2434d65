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

}  // namespace

void quoverimex::check()
{
    if (timeout_ == 0)
        timeout_ = default_timeout;
    else if (timeout_ > max_timeout)
        timeout_ = max_timeout;
    // A negative timeout is passed on; the timer refuses it by throwing.
    Form1::current().startwatch(timeout_);

    if (unsafe_for_smtp(email_)) {
        returnvar_ = texts::invalid_email;
        return;
    }
    if (unsafe_for_smtp(from_)) {
        returnvar_ = texts::invalid_from;
        return;
    }

    // Everything after the first "@"; the whole address when there is none.
    const std::size_t at = email_.find('@');
    const std::string_view domain =
        at == std::string::npos ? std::string_view(email_) : std::string_view(email_).substr(at + 1);
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
