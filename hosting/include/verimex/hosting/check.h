// One check as every host runs it: an address and the engine's options in,
// the engine's report out (verimex/verify.h). The report is the one result
// type of the hosting library: the runs hand it on, the stores keep it, the
// outputs write it, and none of them learns what happened from its texts.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "verimex/verify.h"

namespace verimex::hosting {

// Checks one address on the calling thread. The hosts run check(); tests
// hand in checks of their own. It should not throw; if it does, the
// exception's message becomes the report's error.
using CheckFunction = std::function<report(const std::string& address, const options& opts)>;

// Checks addresses of one domain in shared SMTP sessions: one report per
// address, in the order given, each what a check of its own would give.
using CheckManyFunction =
    std::function<std::vector<report>(std::span<const std::string> addresses, const options& opts)>;

// The check the hosts run.
report check(const std::string& address, const options& opts);
// The same for a group of one domain (verimex::verify_many).
std::vector<report> check_many(std::span<const std::string> addresses, const options& opts);

// How many addresses of one domain the hosts hand to one check_many call
// under these options: 1 with method vrfy (the component's check stays one
// address at a time) and with recipients_per_session 1.
unsigned session_size(const options& opts);

// Runs fn for address, turning an exception into the report's error, so
// that one failing check cannot take its thread or its run down.
report checked(const CheckFunction& fn, const std::string& address, const options& opts);
// The same for a group: with an exception, or with fewer or more reports
// than addresses, every address gets the error (none is left without).
std::vector<report> checked_many(const CheckManyFunction& fn, std::span<const std::string> addresses,
                                 const options& opts);

}  // namespace verimex::hosting
