// Method vrfy: the component's own check, run as it is, and its outcome
// read into a report.
#pragma once

#include <string_view>

#include <verimex/verify.h>

namespace verimex::engine {

// Runs a quoverimex check on the calling thread (from = helo, timeout,
// nslookup = dns_server) and fills returnvar, transcript, error and the
// classification of the reply that decided. A stop request raises the
// watchdog's flag, so the check ends as at its time limit, with cancelled
// set.
void run_vrfy(std::string_view address, const options& opts, report& out);

}  // namespace verimex::engine
