// Runs the lookup command and keeps its output in the nslookup property.
#pragma once

#include <string_view>

namespace verimex {

class quoverimex;

// At most this much of the tool's output is ever read.
inline constexpr std::size_t lookup_read_limit = 1000;

// On success nslookup holds the tool's output (in the scanner's shape); on
// failure returnvar holds the error text and nslookup keeps what it had.
void runlookup(quoverimex& self, std::string_view command);

}  // namespace verimex
