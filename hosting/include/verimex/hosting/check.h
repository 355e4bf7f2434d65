// One check as every host runs it: an address and the engine's options in,
// the engine's report out (verimex/verify.h). The report is the one result
// type of the hosting library: the runs hand it on, the stores keep it, the
// outputs write it, and none of them learns what happened from its texts.
#pragma once

#include <functional>
#include <string>

#include "verimex/verify.h"

namespace verimex::hosting {

// Checks one address on the calling thread. The hosts run check(); tests
// hand in checks of their own. It should not throw; if it does, the
// exception's message becomes the report's error.
using CheckFunction = std::function<report(const std::string& address, const options& opts)>;

// The check the hosts run.
report check(const std::string& address, const options& opts);

// Runs fn for address, turning an exception into the report's error, so
// that one failing check cannot take its thread or its run down.
report checked(const CheckFunction& fn, const std::string& address, const options& opts);

}  // namespace verimex::hosting
