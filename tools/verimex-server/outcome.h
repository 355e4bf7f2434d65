// The kinds of outcome a check can have, as counted by /metrics and the
// page's chart: the component's result texts sorted into a few classes.
#pragma once

#include <array>
#include <string_view>

#include "checking.h"

namespace verimex_server {

enum class Outcome {
    verified,           // "000"
    rejected,           // a mail server's reply other than 250
    could_not_connect,  // "ERROR: could not connect to mail server"
    no_mail_server,     // "999 - could not find a mail server ..."
    timed_out,          // "ERROR: timeout after N seconds."
    other_error,        // any other "ERROR: ..." text, or a platform failure
};

inline constexpr std::array<Outcome, 6> all_outcomes = {
    Outcome::verified,  Outcome::rejected,  Outcome::could_not_connect,
    Outcome::no_mail_server, Outcome::timed_out, Outcome::other_error,
};

Outcome classify(const verimex_check::CheckResult& result);

// The label used in metrics and JSON: "verified", "could_not_connect", ...
std::string_view outcome_name(Outcome outcome);

}  // namespace verimex_server
