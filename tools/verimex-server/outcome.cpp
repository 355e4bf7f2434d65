// Sorting results into outcome classes.
#include "outcome.h"

namespace verimex_server {

Outcome classify(const verimex_check::CheckResult& result)
{
    // The component's texts, as it writes them. Every text of its own
    // starts with "ERROR: " or is "999 - ..."; anything else is what a mail
    // server said.
    const std::string_view text = result.returnvar;
    if (result.failed())
        return Outcome::other_error;
    if (result.verified())
        return Outcome::verified;
    if (text.starts_with("999 - could not find a mail server"))
        return Outcome::no_mail_server;
    if (text == "ERROR: could not connect to mail server")
        return Outcome::could_not_connect;
    if (text.starts_with("ERROR: timeout after "))
        return Outcome::timed_out;
    if (text.starts_with("ERROR: ") || text.empty())
        return Outcome::other_error;
    return Outcome::rejected;
}

std::string_view outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::verified: return "verified";
    case Outcome::rejected: return "rejected";
    case Outcome::could_not_connect: return "could_not_connect";
    case Outcome::no_mail_server: return "no_mail_server";
    case Outcome::timed_out: return "timed_out";
    case Outcome::other_error: return "other_error";
    }
    return "other_error";
}

}  // namespace verimex_server
